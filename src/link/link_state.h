// SPDX-License-Identifier: MIT
// The state of one device: its port, its status text, its pending save path
// and its listeners. The C interface keeps one for the loaded library; tests
// make as many as they like, each with its own platform settings.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/device/serial_device.h"
#include "link/events.h"
#include "link/link_timing.h"
#include "link/message_reader.h"
#include "link/quiet_line.h"
#include "platform/environment.h"
#include "platform/mutex.h"
#include "wire/wire_format.h"

namespace tarvel {

class BluetoothPorts;
class PeerOverflow;

class LinkState {
 public:
  explicit LinkState(Environment env = ProcessEnvironment(), LinkTiming timing = LinkTiming());
  // Stops the listeners and closes the port.
  ~LinkState();
  LinkState(const LinkState&) = delete;
  LinkState& operator=(const LinkState&) = delete;

  const Environment& env() const { return env_; }
  // The link's pauses and limits, fixed for the state's life.
  const LinkTiming& timing() const { return timing_; }

  // The status text. Writers replace it whole, under the state's lock. The
  // pointer is the text in place, for the C interface; it stays the same for
  // the state's whole life.
  const char16_t* StatusPointer() const { return status_; }
  std::u16string Status() const EXCLUDES(textLock_);
  // Replaces the status with a text that is no result (a blank, a polled
  // reader's interim name); nothing is queued.
  void SetStatus(std::u16string_view text) EXCLUDES(textLock_);
  // A result: the status shows it ("RECV: <path>", a peer's text, …) and the
  // event queue records it with its kind, and with the Bluetooth peer on the
  // port when the port is the incoming one.
  void Report(EventKind kind, std::u16string_view text);
  // Sets "FAIL: <reason>", queues the failure, and makes it the calling
  // thread's last failure.
  void Fail(std::string_view reason);
  // Queues a notice for the host: neither a result nor a failure, so the
  // status keeps showing the last result.
  void Notify(std::string_view text);
  EventQueue& Events() { return events_; }

  // The save paths of get requests that await their answers, each kept under
  // the requested name as it went on the wire, so that only the answer to a
  // request is saved at its path. An empty path saves the answer under its own
  // name. Adding returns a ticket that withdraws the request again.
  uint64_t AddPendingSave(std::string_view requestedName, std::u16string_view savePath)
      EXCLUDES(textLock_);
  void WithdrawPendingSave(uint64_t ticket) EXCLUDES(textLock_);
  // The save path of the oldest request pending for `announcedName`, which
  // that file answers and so ends; nothing when no request awaits that name.
  std::optional<std::u16string> TakePendingSave(std::string_view announcedName) EXCLUDES(textLock_);
  // The save paths pending for `requestedName`, oldest first.
  std::vector<std::u16string> PendingSaves(std::string_view requestedName) const
      EXCLUDES(textLock_);
  size_t PendingSaveCount() const EXCLUDES(textLock_);
  void ClearPendingSaves() EXCLUDES(textLock_);

  // The quiet kept on the line between messages, and after a file that
  // stopped short, for every writer of the device in any process. Used with
  // the write lock held, apart from Attach: its claims require
  // Line().WriteLock(), the same lock as WriteLock().
  QuietLine& Line() { return line_; }

  // The open port, or nothing. A caller works on its own reference, so a port
  // closed meanwhile fails its operations but is never released under it.
  std::shared_ptr<SerialDevice> Port() const EXCLUDES(portLock_);
  // Installs `port` (or nothing) and closes the one it replaces, which ends
  // every wait on it.
  void ReplacePort(std::shared_ptr<SerialDevice> port) EXCLUDES(portLock_, listenerLock_);
  // The open port, once there is one; nothing when the listeners are to stop.
  std::shared_ptr<SerialDevice> WaitForPort() EXCLUDES(listenerLock_);

  // Held by a writer for a whole message, and for a whole file from header to
  // last piece, so that messages never interleave on the wire. Named through
  // the line, whose claims require it, so that the compiler sees one lock.
  Mutex& WriteLock() RETURN_CAPABILITY(Line().WriteLock()) { return line_.WriteLock(); }
  // Whole messages out of the port, for the listener and the polled reader:
  // the lock a reader holds for a whole message, and the bytes read already
  // that belong to the next one.
  MessageReader& Reader() { return reader_; }

  // Bytes done and announced of the transfer in progress; 0 and 0 when none.
  void SetProgress(long long done, long long total) EXCLUDES(progressLock_);
  void Progress(long long& done, long long& total) const EXCLUDES(progressLock_);

  // Runs `loop` on a thread of its own until StopListeners.
  void StartListener(std::function<void()> loop) EXCLUDES(listenerLock_);
  // Closes the port, which wakes a listener waiting on it for input, and
  // joins the listeners.
  void StopListeners() EXCLUDES(listenerLock_, portLock_);
  bool StopRequested() const { return stopRequested_.load(); }
  // Waits `milliseconds`; true at once when the listeners are to stop.
  bool WaitForStop(int milliseconds) EXCLUDES(listenerLock_);

  // The ports that stand on Bluetooth connections, and the registration of
  // the incoming one; lasts as long as the state.
  BluetoothPorts& Bluetooth() { return *bluetooth_; }

  // Makes the listings this link writes for its peer its own, kept in memory
  // and served to that peer's get of the listing file, instead of the listing
  // file in the device root that other links share. A gateway's peer links do.
  void KeepListingApart() { listingApart_ = true; }
  bool ListingApart() const { return listingApart_.load(); }
  void KeepListing(std::string text) EXCLUDES(textLock_);
  std::optional<std::string> KeptListing() const EXCLUDES(textLock_);

  // The gateway that serves the peers the incoming port has no room for; it
  // is stopped, with every peer link of its, before the state goes. A state
  // keeps the first gateway it adopts: a later one is dropped at once, so that
  // two threads that start serving together leave one gateway in place.
  void AdoptGateway(std::unique_ptr<PeerOverflow> gateway) EXCLUDES(gatewayLock_);
  bool HasGateway() EXCLUDES(gatewayLock_);

 private:
  // The address of the Bluetooth peer on the incoming port, when the port is it.
  std::string CurrentPeer() const;

  Environment env_;
  const LinkTiming timing_;

  struct PendingSave {
    uint64_t ticket;
    std::string requestedName;
    std::u16string savePath;
  };

  mutable Mutex textLock_;
  // Read without the lock only through StatusPointer, by the C interface,
  // whose hosts read it between their own calls.
  char16_t status_[wire::kStatusCapacity] GUARDED_BY(textLock_) = {};
  std::deque<PendingSave> pendingSaves_ GUARDED_BY(textLock_);
  uint64_t nextTicket_ GUARDED_BY(textLock_) = 1;
  EventQueue events_;

  mutable Mutex portLock_;
  std::shared_ptr<SerialDevice> port_ GUARDED_BY(portLock_);

  // The write lock; line_ names it (WriteLock) and guards its claim with it.
  Mutex writeLock_;
  QuietLine line_;
  MessageReader reader_;

  mutable Mutex progressLock_;
  long long progressDone_ GUARDED_BY(progressLock_) = 0;
  long long progressTotal_ GUARDED_BY(progressLock_) = 0;

  Mutex listenerLock_;
  // Announces, under listenerLock_, a stop requested or a port replaced.
  CondVar stopSignal_;
  // Written under listenerLock_, so that a wait on stopSignal_ sees each
  // change; read without it by StopRequested.
  std::atomic<bool> stopRequested_{false};
  std::vector<std::thread> listeners_ GUARDED_BY(listenerLock_);

  std::atomic<bool> listingApart_{false};
  std::optional<std::string> keptListing_ GUARDED_BY(textLock_);

  Mutex gatewayLock_;
  std::unique_ptr<PeerOverflow> gateway_ GUARDED_BY(gatewayLock_);

  // Last, so that it goes first: no notice reaches the state once it is going.
  std::unique_ptr<BluetoothPorts> bluetooth_;
};

}  // namespace tarvel
