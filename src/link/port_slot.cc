// SPDX-License-Identifier: MIT
#include "link/port_slot.h"

#include <chrono>
#include <utility>

namespace tarvel {

PortSlot::~PortSlot() {
  StopListeners();
  ReplacePort(nullptr);
}

std::shared_ptr<SerialDevice> PortSlot::Port() const {
  MutexLock lock(portLock_);
  return port_;
}

void PortSlot::ReplacePort(std::shared_ptr<SerialDevice> port) {
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

std::shared_ptr<SerialDevice> PortSlot::WaitForPort() {
  MutexLock lock(listenerLock_);
  for (;;) {
    if (stopRequested_.load()) return nullptr;
    std::shared_ptr<SerialDevice> port = Port();
    if (port) return port;
    stopSignal_.Wait(listenerLock_);
  }
}

void PortSlot::StartListener(std::function<void()> loop) {
  MutexLock lock(listenerLock_);
  listeners_.emplace_back(std::move(loop));
}

void PortSlot::StopListeners() {
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

bool PortSlot::WaitForStop(int milliseconds) {
  const CondVar::Clock::time_point deadline =
      CondVar::Clock::now() + std::chrono::milliseconds(milliseconds);
  MutexLock lock(listenerLock_);
  while (!stopRequested_.load()) {
    if (!stopSignal_.WaitUntil(listenerLock_, deadline)) return stopRequested_.load();
  }
  return true;
}

}  // namespace tarvel
