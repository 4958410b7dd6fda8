// SPDX-License-Identifier: MIT
#include "transfer/gateway.h"

#include <utility>
#include <vector>

#include "link/link_settings.h"
#include "transfer/listener.h"

namespace tarvel {

Gateway::Gateway(LinkState& link, int peers)
    : link_(link), peers_(peers), tearDown_([this] { TearDownLoop(); }) {}

Gateway::~Gateway() {
  std::map<uint64_t, PeerLink> stopping;
  {
    MutexLock lock(lock_);
    stopping_ = true;
  }
  changed_.NotifyAll();
  tearDown_.join();
  {
    MutexLock lock(lock_);
    stopping.swap(links_);
  }
  // Each link stops its listener and closes its peer's connection as it goes.
  stopping.clear();
}

std::unique_ptr<LinkState> Gateway::MakePeerLink(const std::string& device) {
  auto state = std::make_unique<LinkState>(link_.env(), link_.timing());
  state->Requests().KeepListingApart();
  state->Reports().Events().ForwardTo(&link_.Reports().Events(), BluetoothAddressOf(device));
  return state;
}

std::string Gateway::Take(std::unique_ptr<SerialDevice> connection, const std::string& device) {
  MutexLock lock(lock_);
  if (stopping_) return "the incoming serial port is closing";
  // The link's own port has a peer: the peer links hold the rest.
  if (ConnectedLocked() + 1 >= static_cast<size_t>(peers_)) {
    std::string limit = std::to_string(peers_);
    return limit + " peers are connected already: at most " + limit + " at a time";
  }
  uint64_t id = nextId_++;
  PeerLink link{device, std::make_shared<IncomingPort>(), MakePeerLink(device)};
  link.port->OnPeerGone([this, id] { PeerGone(id); });
  std::string refusal;
  if (!link.port->Offer(std::move(connection), device, &refusal)) return refusal;
  link.state->Slot().ReplacePort(link.port);
  StartListening(*link.state);
  links_.emplace(id, std::move(link));
  return "";
}

void Gateway::Disconnect(const std::string& device) {
  std::vector<std::shared_ptr<IncomingPort>> ports;
  {
    MutexLock lock(lock_);
    for (auto& [id, link] : links_) {
      if (link.device == device && !link.gone) ports.push_back(link.port);
    }
  }
  // Outside the lock: the port tells PeerGone, which takes it.
  for (auto& port : ports) port->Disconnect(device);
}

void Gateway::PeerGone(uint64_t id) {
  {
    MutexLock lock(lock_);
    auto found = links_.find(id);
    if (found == links_.end() || found->second.gone) return;
    found->second.gone = true;
  }
  changed_.NotifyAll();
}

size_t Gateway::ConnectedPeerLinks() {
  MutexLock lock(lock_);
  return ConnectedLocked();
}

size_t Gateway::PeerLinks() {
  MutexLock lock(lock_);
  return links_.size();
}

bool Gateway::AnyGone() const {
  for (const auto& [id, link] : links_) {
    if (link.gone) return true;
  }
  return false;
}

size_t Gateway::ConnectedLocked() const {
  size_t connected = 0;
  for (const auto& [id, link] : links_) {
    if (!link.gone) ++connected;
  }
  return connected;
}

std::optional<std::vector<std::unique_ptr<LinkState>>> Gateway::AwaitLeaving() {
  MutexLock lock(lock_);
  while (!stopping_ && !AnyGone()) changed_.Wait(lock_);
  if (stopping_) return std::nullopt;
  std::vector<std::unique_ptr<LinkState>> leaving;
  for (auto it = links_.begin(); it != links_.end();) {
    if (!it->second.gone) {
      ++it;
      continue;
    }
    leaving.push_back(std::move(it->second.state));
    it = links_.erase(it);
  }
  return leaving;
}

void Gateway::TearDownLoop() {
  // The links go outside the lock: a listener that stops may still report,
  // and its port may still tell of its peer.
  while (std::optional<std::vector<std::unique_ptr<LinkState>>> leaving = AwaitLeaving()) {
    leaving->clear();
  }
}

void StartGatewayIfAsked(LinkState& state) {
  if (state.HasGateway()) return;
  int peers = PeerLimit(state.env());
  if (peers > 1) state.AdoptGateway(std::make_unique<Gateway>(state, peers));
}

}  // namespace tarvel
