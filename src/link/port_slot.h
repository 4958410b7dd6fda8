// SPDX-License-Identifier: MIT
// A link's open port and the listener threads that read it, bound together by
// one signal: a listener waits on it for a port to appear, and for the stop
// that ends it; replacing the port and stopping the listeners announce on it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "link/device/serial_device.h"
#include "platform/mutex.h"

namespace tarvel {

class PortSlot {
 public:
  PortSlot() = default;
  // Stops the listeners and closes the port. The owner stops them earlier
  // when their loops use anything that goes before the slot.
  ~PortSlot();
  PortSlot(const PortSlot&) = delete;
  PortSlot& operator=(const PortSlot&) = delete;

  // The open port, or nothing. A caller works on its own reference, so a port
  // closed meanwhile fails its operations but is never released under it.
  std::shared_ptr<SerialDevice> Port() const EXCLUDES(portLock_);
  // Installs `port` (or nothing) and closes the one it replaces, which ends
  // every wait on it.
  void ReplacePort(std::shared_ptr<SerialDevice> port) EXCLUDES(portLock_, listenerLock_);
  // The open port, once there is one; nothing when the listeners are to stop.
  std::shared_ptr<SerialDevice> WaitForPort() EXCLUDES(listenerLock_);

  // Runs `loop` on a thread of its own until StopListeners.
  void StartListener(std::function<void()> loop) EXCLUDES(listenerLock_);
  // Closes the port, which wakes a listener waiting on it for input, and
  // joins the listeners. Listeners started afterwards run again.
  void StopListeners() EXCLUDES(listenerLock_, portLock_);
  bool StopRequested() const { return stopRequested_.load(); }
  // Waits `milliseconds`; true at once when the listeners are to stop.
  bool WaitForStop(int milliseconds) EXCLUDES(listenerLock_);

 private:
  mutable Mutex portLock_;
  std::shared_ptr<SerialDevice> port_ GUARDED_BY(portLock_);

  Mutex listenerLock_;
  // Announces, under listenerLock_, a stop requested or a port replaced.
  CondVar stopSignal_;
  // Written under listenerLock_, so that a wait on stopSignal_ sees each
  // change; read without it by StopRequested.
  std::atomic<bool> stopRequested_{false};
  std::vector<std::thread> listeners_ GUARDED_BY(listenerLock_);
};

}  // namespace tarvel
