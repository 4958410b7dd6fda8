// SPDX-License-Identifier: MIT
// What a link's requests leave waiting: the save paths of the host's get
// requests until their answers come, and the listing kept for the peer's get
// of the listing file when the link keeps its listings apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mutex.h"

namespace tarvel {

class PendingRequests {
 public:
  // At most this many save paths wait; adding one more forgets the oldest.
  static constexpr size_t kMaxSaves = 64;

  PendingRequests() = default;
  PendingRequests(const PendingRequests&) = delete;
  PendingRequests& operator=(const PendingRequests&) = delete;

  // The save paths of get requests that await their answers, each kept under
  // the requested name as it went on the wire, so that only the answer to a
  // request is saved at its path. An empty path saves the answer under its own
  // name. Adding returns a ticket that withdraws the request again. Requests
  // the peer never answers would pile up: past kMaxSaves the oldest go, and an
  // answer that comes for one of them after all is saved under its own name.
  uint64_t AddSave(std::string_view requestedName, std::u16string_view savePath) EXCLUDES(lock_);
  void WithdrawSave(uint64_t ticket) EXCLUDES(lock_);
  // The save path of the oldest request pending for `announcedName`, which
  // that file answers and so ends; nothing when no request awaits that name.
  std::optional<std::u16string> TakeSave(std::string_view announcedName) EXCLUDES(lock_);
  // The save paths pending for `requestedName`, oldest first.
  std::vector<std::u16string> Saves(std::string_view requestedName) const EXCLUDES(lock_);
  size_t SaveCount() const EXCLUDES(lock_);
  void ClearSaves() EXCLUDES(lock_);

  // Makes the listings this link writes for its peer its own, kept in memory
  // and served to that peer's get of the listing file, instead of the listing
  // file in the device root that other links share. A gateway's peer links do.
  void KeepListingApart() { listingApart_ = true; }
  bool ListingApart() const { return listingApart_.load(); }
  void KeepListing(std::string text) EXCLUDES(lock_);
  std::optional<std::string> KeptListing() const EXCLUDES(lock_);

 private:
  struct PendingSave {
    uint64_t ticket;
    std::string requestedName;
    std::u16string savePath;
  };

  mutable Mutex lock_;
  std::deque<PendingSave> saves_ GUARDED_BY(lock_);
  uint64_t nextTicket_ GUARDED_BY(lock_) = 1;
  std::atomic<bool> listingApart_{false};
  std::optional<std::string> keptListing_ GUARDED_BY(lock_);
};

}  // namespace tarvel
