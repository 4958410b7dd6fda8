// SPDX-License-Identifier: MIT
#include "link/events.h"

#include <utility>

namespace tarvel {

void EventQueue::ForwardTo(EventQueue* target, std::string peer) {
  MutexLock guard(lock_);
  forward_ = target;
  forwardPeer_ = std::move(peer);
}

void EventQueue::Push(EventKind kind, std::u16string_view text, std::string_view peer) {
  EventQueue* forward = nullptr;
  std::string forwardPeer;
  {
    MutexLock guard(lock_);
    forward = forward_;
    forwardPeer = forwardPeer_;
  }
  if (forward) return forward->Push(kind, text, forwardPeer);
  {
    MutexLock guard(lock_);
    if (events_.size() == kCapacity) {
      events_.pop_front();
      ++dropped_;
    }
    events_.push_back(Event{kind, std::u16string(text), std::string(peer)});
  }
  arrived_.NotifyOne();
}

std::optional<Event> EventQueue::TakeLocked() {
  if (dropped_ > 0) {
    std::string count = std::to_string(std::exchange(dropped_, 0));
    return Event{EventKind::Dropped, std::u16string(count.begin(), count.end()), std::string()};
  }
  if (events_.empty()) return std::nullopt;
  Event next = std::move(events_.front());
  events_.pop_front();
  return next;
}

std::optional<Event> EventQueue::Next(std::chrono::milliseconds timeout) {
  CondVar::Clock::time_point deadline = CondVar::Clock::now() + timeout;
  MutexLock guard(lock_);
  while (events_.empty() && dropped_ == 0 && !woken_) {
    if (timeout.count() < 0) {
      arrived_.Wait(lock_);
    } else if (!arrived_.WaitUntil(lock_, deadline)) {
      break;
    }
  }
  std::optional<Event> next = TakeLocked();
  // A wake ends one wait that found no event; with an event it waits for the
  // next call, which then ends at once, as a time-out may.
  if (!next) woken_ = false;
  return next;
}

void EventQueue::Wake() {
  {
    MutexLock guard(lock_);
    woken_ = true;
  }
  arrived_.NotifyAll();
}

namespace {

struct ThreadFailure {
  bool failed = false;
  std::u16string reason;
};

ThreadFailure& CallingThreadFailure() {
  thread_local ThreadFailure failure;
  return failure;
}

}  // namespace

void ClearLastFailure() {
  ThreadFailure& failure = CallingThreadFailure();
  failure.failed = false;
  failure.reason.clear();
}

void SetLastFailure(std::u16string_view reason) {
  ThreadFailure& failure = CallingThreadFailure();
  failure.failed = true;
  failure.reason.assign(reason);
}

std::optional<std::u16string> LastFailure() {
  const ThreadFailure& failure = CallingThreadFailure();
  if (!failure.failed) return std::nullopt;
  return failure.reason;
}

}  // namespace tarvel
