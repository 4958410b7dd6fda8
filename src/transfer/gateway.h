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

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/bluetooth_ports.h"
#include "link/device/incoming_port.h"
#include "link/link_state.h"

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

  std::string Take(std::unique_ptr<SerialDevice> connection, const std::string& device) override;
  void Disconnect(const std::string& device) override;

  // The peer links whose peer is connected.
  size_t ConnectedPeerLinks();
  // The peer links not yet torn down, whether their peer is there or not.
  size_t PeerLinks();

 private:
  struct PeerLink {
    std::string device;
    std::shared_ptr<IncomingPort> port;
    std::unique_ptr<LinkState> state;
    bool gone = false;
  };

  std::unique_ptr<LinkState> MakePeerLink(const std::string& device);
  void PeerGone(uint64_t id);
  // On the gateway's thread: tears down the links whose peer left.
  void TearDownLoop();

  LinkState& link_;
  const int peers_;

  std::mutex lock_;
  std::condition_variable changed_;
  // Everything below is guarded by lock_.
  bool stopping_ = false;
  uint64_t nextId_ = 1;
  std::map<uint64_t, PeerLink> links_;
  size_t connected_ = 0;
  std::thread tearDown_;
};

// Makes `state` a gateway when its "peers" setting (PeerLimit) is above 1 and
// it has none yet.
void StartGatewayIfAsked(LinkState& state);

}  // namespace tarvel
