// SPDX-License-Identifier: MIT
// One device: its settings and timing, and the parts that its operations work
// on, each with its own locks: the port and its listeners (PortSlot), what
// its requests leave waiting (PendingRequests), what it tells the host
// (Reporting), the quiet kept on its line and the reader of its messages;
// beside them its Bluetooth ports and the gateway it may serve. The C
// interface keeps one per link; tests make as many as they like, each with
// its own platform settings.
#pragma once

#include <memory>
#include <string>

#include "link/link_timing.h"
#include "link/message_reader.h"
#include "link/pending_requests.h"
#include "link/port_slot.h"
#include "link/quiet_line.h"
#include "link/reporting.h"
#include "platform/environment.h"
#include "platform/mutex.h"

namespace tarvel {

class BluetoothPorts;
class PeerOverflow;

class LinkState {
 public:
  explicit LinkState(Environment env = ProcessEnvironment(), LinkTiming timing = LinkTiming());
  // Stops the gateway and the listeners and closes the port.
  ~LinkState();
  LinkState(const LinkState&) = delete;
  LinkState& operator=(const LinkState&) = delete;

  const Environment& env() const { return env_; }
  // The link's pauses and limits, fixed for the state's life.
  const LinkTiming& timing() const { return timing_; }

  // The open port, the listeners and their stop.
  PortSlot& Slot() { return slot_; }
  // The host's get requests awaiting answers, and the listing kept apart.
  PendingRequests& Requests() { return requests_; }
  const PendingRequests& Requests() const { return requests_; }
  // The status text, the event queue and the progress. A result is reported
  // with the Bluetooth peer on the port when the port is the incoming one.
  Reporting& Reports() { return reports_; }
  const Reporting& Reports() const { return reports_; }

  // The quiet kept on the line between messages, and after a file that
  // stopped short, for every writer of the device in any process. Used with
  // the write lock held, apart from Attach: its claims require
  // Line().WriteLock(), the same lock as WriteLock().
  QuietLine& Line() { return line_; }
  // Held by a writer for a whole message, and for a whole file from header to
  // last piece, so that messages never interleave on the wire. Named through
  // the line, whose claims require it, so that the compiler sees one lock.
  Mutex& WriteLock() RETURN_CAPABILITY(Line().WriteLock()) { return line_.WriteLock(); }
  // Whole messages out of the port, for the listener and the polled reader:
  // the lock a reader holds for a whole message, and the bytes read already
  // that belong to the next one.
  MessageReader& Reader() { return reader_; }

  // The ports that stand on Bluetooth connections, and the registration of
  // the incoming one; lasts as long as the state.
  BluetoothPorts& Bluetooth() { return *bluetooth_; }

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

  // Before the parts that report through it, so that it outlives them; the
  // slot before it, as it asks the slot for the peer.
  PortSlot slot_;
  Reporting reports_;
  PendingRequests requests_;

  // The write lock; line_ names it (WriteLock) and guards its claim with it.
  Mutex writeLock_;
  QuietLine line_;
  MessageReader reader_;

  Mutex gatewayLock_;
  std::unique_ptr<PeerOverflow> gateway_ GUARDED_BY(gatewayLock_);

  // Last, so that it goes first: no notice reaches the state once it is going.
  std::unique_ptr<BluetoothPorts> bluetooth_;
};

}  // namespace tarvel
