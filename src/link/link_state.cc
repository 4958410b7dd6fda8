#include "link/link_state.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "link/bluetooth_ports.h"
#include "link/device/incoming_port.h"
#include "link/link_text.h"

namespace tarvel {
namespace {

constexpr size_t kMaxPendingSaves = 64;

}  // namespace

LinkState::LinkState(Environment env, LinkTiming timing)
    : env_(std::move(env)),
      timing_(timing),
      line_(writeLock_, timing_, env_, [this](const std::string& text) { Notify(text); }),
      reader_(timing_),
      bluetooth_(std::make_unique<BluetoothPorts>(
          env_, timing_, [this](const std::string& text) { Notify(text); })) {}

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
  StopListeners();
  ReplacePort(nullptr);
}

std::u16string LinkState::Status() const {
  MutexLock lock(textLock_);
  return std::u16string(status_);
}

void LinkState::SetStatus(std::u16string_view text) {
  // Every text the library writes fits; refuse rather than cut one that would not.
  if (text.size() >= wire::kStatusCapacity) {
    SetStatus(u"FAIL: status text too long");
    return;
  }
  MutexLock lock(textLock_);
  std::copy(text.begin(), text.end(), status_);
  status_[text.size()] = u'\0';
}

namespace {

// The status text that shows a result of `kind`.
std::u16string_view StatusPrefix(EventKind kind) {
  switch (kind) {
    case EventKind::Received:
    case EventKind::Answer:
      return u"RECV: ";
    case EventKind::Sent:
      return u"SENT: ";
    case EventKind::GetAnswered:
      return u"FILE: ";
    case EventKind::Listed:
      return u"LIST: ";
    case EventKind::Failure:
      return u"FAIL: ";
    default:
      return u"";
  }
}

}  // namespace

void LinkState::Report(EventKind kind, std::u16string_view text) {
  std::u16string shown = std::u16string(StatusPrefix(kind)) + std::u16string(text);
  if (shown.size() >= wire::kStatusCapacity) {
    Fail("status text too long");
    return;
  }
  SetStatus(shown);
  events_.Push(kind, text, CurrentPeer());
}

std::string LinkState::CurrentPeer() const {
  std::shared_ptr<SerialDevice> port = Port();
  auto* incoming = dynamic_cast<IncomingPort*>(port.get());
  return incoming ? incoming->PeerAddress() : std::string();
}

void LinkState::KeepListing(std::string text) {
  MutexLock lock(textLock_);
  keptListing_ = std::move(text);
}

std::optional<std::string> LinkState::KeptListing() const {
  MutexLock lock(textLock_);
  return keptListing_;
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

void LinkState::Notify(std::string_view text) {
  events_.Push(EventKind::Notice, Utf8ToStatus(text));
}

void LinkState::Fail(std::string_view reason) {
  std::u16string wide = Utf8ToStatus(reason);
  SetLastFailure(wide);
  Report(EventKind::Failure, wide);
}

uint64_t LinkState::AddPendingSave(std::string_view requestedName, std::u16string_view savePath) {
  MutexLock lock(textLock_);
  // Requests the peer never answers would pile up; the oldest go first, and
  // an answer that comes for one of them after all is saved under its own name.
  if (pendingSaves_.size() >= kMaxPendingSaves) pendingSaves_.pop_front();
  uint64_t ticket = nextTicket_++;
  pendingSaves_.push_back({ticket, std::string(requestedName), std::u16string(savePath)});
  return ticket;
}

void LinkState::WithdrawPendingSave(uint64_t ticket) {
  MutexLock lock(textLock_);
  auto found = std::find_if(pendingSaves_.begin(), pendingSaves_.end(),
                            [&](const PendingSave& save) { return save.ticket == ticket; });
  if (found != pendingSaves_.end()) pendingSaves_.erase(found);
}

std::optional<std::u16string> LinkState::TakePendingSave(std::string_view announcedName) {
  MutexLock lock(textLock_);
  auto found =
      std::find_if(pendingSaves_.begin(), pendingSaves_.end(),
                   [&](const PendingSave& save) { return save.requestedName == announcedName; });
  if (found == pendingSaves_.end()) return std::nullopt;
  std::u16string path = std::move(found->savePath);
  pendingSaves_.erase(found);
  return path;
}

std::vector<std::u16string> LinkState::PendingSaves(std::string_view requestedName) const {
  MutexLock lock(textLock_);
  std::vector<std::u16string> paths;
  for (const PendingSave& save : pendingSaves_) {
    if (save.requestedName == requestedName) paths.push_back(save.savePath);
  }
  return paths;
}

size_t LinkState::PendingSaveCount() const {
  MutexLock lock(textLock_);
  return pendingSaves_.size();
}

void LinkState::ClearPendingSaves() {
  MutexLock lock(textLock_);
  pendingSaves_.clear();
}

std::shared_ptr<SerialDevice> LinkState::Port() const {
  MutexLock lock(portLock_);
  return port_;
}

void LinkState::ReplacePort(std::shared_ptr<SerialDevice> port) {
  std::shared_ptr<SerialDevice> old;
  {
    MutexLock lock(portLock_);
    old = std::exchange(port_, std::move(port));
  }
  if (old) old->Close();
  // A listener without a port waits for one on the stop signal; taking the
  // lock orders this wake-up after its look at the port.
  { MutexLock lock(listenerLock_); }
  stopSignal_.NotifyAll();
}

std::shared_ptr<SerialDevice> LinkState::WaitForPort() {
  MutexLock lock(listenerLock_);
  for (;;) {
    if (stopRequested_.load()) return nullptr;
    std::shared_ptr<SerialDevice> port = Port();
    if (port) return port;
    stopSignal_.Wait(listenerLock_);
  }
}

void LinkState::SetProgress(long long done, long long total) {
  MutexLock lock(progressLock_);
  progressDone_ = done;
  progressTotal_ = total;
}

void LinkState::Progress(long long& done, long long& total) const {
  MutexLock lock(progressLock_);
  done = progressDone_;
  total = progressTotal_;
}

void LinkState::StartListener(std::function<void()> loop) {
  MutexLock lock(listenerLock_);
  listeners_.emplace_back(std::move(loop));
}

void LinkState::StopListeners() {
  std::vector<std::thread> stopping;
  {
    MutexLock lock(listenerLock_);
    stopRequested_ = true;
    stopping.swap(listeners_);
  }
  stopSignal_.NotifyAll();
  ReplacePort(nullptr);
  for (auto& listener : stopping) listener.join();
  MutexLock lock(listenerLock_);
  stopRequested_ = false;
}

bool LinkState::WaitForStop(int milliseconds) {
  const CondVar::Clock::time_point deadline =
      CondVar::Clock::now() + std::chrono::milliseconds(milliseconds);
  MutexLock lock(listenerLock_);
  while (!stopRequested_.load()) {
    if (!stopSignal_.WaitUntil(listenerLock_, deadline)) return stopRequested_.load();
  }
  return true;
}

}  // namespace tarvel
