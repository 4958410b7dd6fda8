// SPDX-License-Identifier: MIT
#include "link/pending_requests.h"

#include <algorithm>
#include <utility>

namespace tarvel {

uint64_t PendingRequests::AddSave(std::string_view requestedName, std::u16string_view savePath) {
  MutexLock lock(lock_);
  if (saves_.size() >= kMaxSaves) saves_.pop_front();
  uint64_t ticket = nextTicket_++;
  saves_.push_back({ticket, std::string(requestedName), std::u16string(savePath)});
  return ticket;
}

void PendingRequests::WithdrawSave(uint64_t ticket) {
  MutexLock lock(lock_);
  auto found = std::find_if(saves_.begin(), saves_.end(),
                            [&](const PendingSave& save) { return save.ticket == ticket; });
  if (found != saves_.end()) saves_.erase(found);
}

std::optional<std::u16string> PendingRequests::TakeSave(std::string_view announcedName) {
  MutexLock lock(lock_);
  auto found = std::find_if(saves_.begin(), saves_.end(), [&](const PendingSave& save) {
    return save.requestedName == announcedName;
  });
  if (found == saves_.end()) return std::nullopt;
  std::u16string path = std::move(found->savePath);
  saves_.erase(found);
  return path;
}

std::vector<std::u16string> PendingRequests::Saves(std::string_view requestedName) const {
  MutexLock lock(lock_);
  std::vector<std::u16string> paths;
  for (const PendingSave& save : saves_) {
    if (save.requestedName == requestedName) paths.push_back(save.savePath);
  }
  return paths;
}

size_t PendingRequests::SaveCount() const {
  MutexLock lock(lock_);
  return saves_.size();
}

void PendingRequests::ClearSaves() {
  MutexLock lock(lock_);
  saves_.clear();
}

void PendingRequests::KeepListing(std::string text) {
  MutexLock lock(lock_);
  keptListing_ = std::move(text);
}

std::optional<std::string> PendingRequests::KeptListing() const {
  MutexLock lock(lock_);
  return keptListing_;
}

}  // namespace tarvel
