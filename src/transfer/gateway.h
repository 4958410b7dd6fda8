// SPDX-License-Identifier: MIT
// A gateway: a link whose incoming port serves several Bluetooth peers at once.
// The first peer to connect while the link's own incoming port is free takes
// that port, and the host's calls on the link go to it, as on any link. Every
// further peer, up to the link's "peers" setting in all, gets a peer link of its
// own made here: its own port on the peer's connection, its own listener and
// pending requests, the same device root and settings, and a listing kept apart
// from every other peer's. Its results come to the gateway link's event queue
// with the peer's address. A peer beyond the limit is refused; one that leaves
// frees its place, and its link is torn down on the gateway's own thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "link/bluetooth_ports.h"
#include "link/device/incoming_port.h"
#include "link/link_state.h"
#include "platform/mutex.h"

namespace tarvel {

class Gateway final : public PeerOverflow {
 public:
  // Serves up to `peers` peers at once on `link`'s incoming port, the link's
  // own peer included. `link` outlives the gateway.
  Gateway(LinkState& link, int peers);
  // Stops every peer link, closing its connection.
  ~Gateway() override;
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  std::string Take(std::unique_ptr<SerialDevice> connection, const std::string& device) override
      EXCLUDES(lock_);
  void Disconnect(const std::string& device) override EXCLUDES(lock_);

  // The peer links whose peer is connected.
  size_t ConnectedPeerLinks() EXCLUDES(lock_);
  // The peer links not yet torn down, whether their peer is there or not.
  size_t PeerLinks() EXCLUDES(lock_);

 private:
  struct PeerLink {
    std::string device;
    std::shared_ptr<IncomingPort> port;
    std::unique_ptr<LinkState> state;
    bool gone = false;
  };

  std::unique_ptr<LinkState> MakePeerLink(const std::string& device);
  void PeerGone(uint64_t id) EXCLUDES(lock_);
  // On the gateway's thread: tears down the links whose peer left.
  void TearDownLoop() EXCLUDES(lock_);
  // Waits until a peer link's peer has left, and takes those links out;
  // nothing once the gateway is stopping.
  std::optional<std::vector<std::unique_ptr<LinkState>>> AwaitLeaving() EXCLUDES(lock_);
  bool AnyGone() const REQUIRES(lock_);
  // The peer links whose peer is still connected.
  size_t ConnectedLocked() const REQUIRES(lock_);

  LinkState& link_;
  const int peers_;

  Mutex lock_;
  // Announces, under lock_, a peer gone or the gateway stopping.
  CondVar changed_;
  bool stopping_ GUARDED_BY(lock_) = false;
  uint64_t nextId_ GUARDED_BY(lock_) = 1;
  std::map<uint64_t, PeerLink> links_ GUARDED_BY(lock_);
  // Started by the constructor and joined by the destructor, on the thread
  // that owns the gateway; never touched by another.
  std::thread tearDown_;
};

// Makes `state` a gateway when its "peers" setting (PeerLimit) is above 1 and
// it has none yet.
void StartGatewayIfAsked(LinkState& state);

}  // namespace tarvel
