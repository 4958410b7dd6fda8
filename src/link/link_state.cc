// SPDX-License-Identifier: MIT
#include "link/link_state.h"

#include <utility>

#include "link/bluetooth_ports.h"
#include "link/device/incoming_port.h"

namespace tarvel {

LinkState::LinkState(Environment env, LinkTiming timing)
    : env_(std::move(env)),
      timing_(timing),
      reports_([this] { return CurrentPeer(); }),
      line_(writeLock_, timing_, env_, [this](const std::string& text) { reports_.Notify(text); }),
      reader_(timing_),
      bluetooth_(std::make_unique<BluetoothPorts>(
          env_, timing_, [this](const std::string& text) { reports_.Notify(text); })) {}

LinkState::~LinkState() {
  std::unique_ptr<PeerOverflow> gateway;
  {
    MutexLock lock(gatewayLock_);
    gateway = std::move(gateway_);
  }
  if (gateway) {
    // Withdrawn first, so that no peer comes to it while it stops.
    bluetooth_->SetOverflow(nullptr);
    gateway.reset();
  }
  // Before any part goes: the listeners work on all of them.
  slot_.StopListeners();
  slot_.ReplacePort(nullptr);
}

std::string LinkState::CurrentPeer() const {
  std::shared_ptr<SerialDevice> port = slot_.Port();
  auto* incoming = dynamic_cast<IncomingPort*>(port.get());
  return incoming ? incoming->PeerAddress() : std::string();
}

void LinkState::AdoptGateway(std::unique_ptr<PeerOverflow> gateway) {
  // Goes once the lock is released: a gateway stops its peer links as it goes.
  std::unique_ptr<PeerOverflow> spare;
  MutexLock lock(gatewayLock_);
  // The gateway in place stays: replacing it would end the connections of its
  // peers, and free it while the door may still be handing it a peer.
  if (gateway_) {
    spare = std::move(gateway);
    return;
  }
  gateway_ = std::move(gateway);
  bluetooth_->SetOverflow(gateway_.get());
}

bool LinkState::HasGateway() {
  MutexLock lock(gatewayLock_);
  return gateway_ != nullptr;
}

}  // namespace tarvel
