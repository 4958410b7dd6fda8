// SPDX-License-Identifier: MIT
#include "link/quiet_line.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

namespace tarvel {
namespace {

constexpr const char* kKindWords[] = {"message", "content", "incomplete"};

// A record reads "<until> <kind>\n", until in SharedClockMs. Anything else,
// an empty record included, asks for no quiet.
bool ParseRecord(const std::string& text, int64_t& until, int& kind) {
  const char* start = text.c_str();
  char* end = nullptr;
  long long parsed = std::strtoll(start, &end, 10);
  if (end == start || *end != ' ') return false;
  std::string word = text.substr(static_cast<size_t>(end + 1 - start));
  if (!word.empty() && word.back() == '\n') word.pop_back();
  for (int i = 0; i < 3; ++i) {
    if (word == kKindWords[i]) {
      until = parsed;
      kind = i;
      return true;
    }
  }
  return false;
}

// The devices whose record this process has said it cannot keep: said once.
bool FirstComplaint(const std::string& key) {
  static Mutex lock;
  static std::set<std::string>* told = new std::set<std::string>();
  MutexLock guard(lock);
  return told->insert(key).second;
}

}  // namespace

QuietLine::QuietLine(const LinkTiming& timing, Environment env,
                     std::function<void(const std::string&)> notify)
    : timing_(timing), env_(std::move(env)), notify_(std::move(notify)) {}

void QuietLine::Attach(const std::string& key) {
  {
    MutexLock guard(lock_);
    if (key == key_ && record_) return;
  }
  std::string why;
  std::shared_ptr<LineRecord> record = OpenLineRecord(key, env_, &why);
  {
    MutexLock guard(lock_);
    key_ = key;
    record_ = record;
  }
  if (!record) GiveUpRecord(why);
}

std::shared_ptr<LineRecord> QuietLine::Record(std::string* key) {
  MutexLock guard(lock_);
  *key = key_;
  return record_;
}

void QuietLine::GiveUpRecord(const std::string& why) {
  std::string key;
  {
    MutexLock guard(lock_);
    record_.reset();
    key = key_;
  }
  if (FirstComplaint(key)) {
    notify_("cannot keep the line record of " + key + " (" + why +
            "): messages are kept apart within this process only");
  }
}

QuietLine::Quiet QuietLine::ClaimQuiet(Use use, int64_t now) const {
  // Should this process die while it writes, the next writer waits as long
  // as the last byte may still come out: a message's write may stall before
  // it ends, and a file's content may run on until the next refresh and its
  // last write's stall, after which the peer still waits out its own limit.
  if (use == Use::Message)
    return {now + timing_.writeStallLimitMs + timing_.messageGapMs, Kind::Message};
  return {now + kRefreshMs + timing_.writeStallLimitMs + timing_.shortFileHoldMs, Kind::Content};
}

bool QuietLine::Stale(const Quiet& quiet, int64_t now) const {
  // No writer ever asks for more quiet than a claim of a file does; a time
  // beyond that was written on another clock (before a restart, or by a
  // system whose clock was set back) and asks for nothing.
  int64_t longest =
      kRefreshMs + timing_.writeStallLimitMs + timing_.shortFileHoldMs + timing_.messageGapMs;
  return quiet.until > now + longest;
}

bool QuietLine::TryClaimRecord(const std::shared_ptr<LineRecord>& record, Use use, int64_t now,
                               Look& look) {
  std::string why;
  bool ok = record->Update(
      [&](std::string& text) {
        Quiet recorded;
        int kind = 0;
        if (ParseRecord(text, recorded.until, kind)) recorded.kind = static_cast<Kind>(kind);
        if (!Stale(recorded, now) && recorded.until > look.quiet.until) look.quiet = recorded;
        look.busy = record->OtherWriting();
        if (look.busy || now < look.quiet.until) return false;
        // A mark another holder took since the look is theirs: wait for it.
        if (!record->BeginWriting()) {
          look.busy = true;
          return false;
        }
        Quiet claim = ClaimQuiet(use, now);
        text = std::to_string(claim.until) + " " + kKindWords[static_cast<int>(claim.kind)] + "\n";
        look.claimed = true;
        return true;
      },
      &why);
  if (ok) return true;
  if (look.claimed) record->EndWriting();
  look.claimed = false;
  look.busy = false;
  GiveUpRecord(why);
  return false;
}

QuietLine::Look QuietLine::TryClaim(Use use) {
  int64_t now = SharedClockMs();
  Look look;
  std::string key;
  std::shared_ptr<LineRecord> record = Record(&key);
  // What this process left on another device asks nothing of this one.
  const Quiet remembered = key == inProcessKey_ ? inProcess_ : Quiet{};
  look.quiet = remembered;
  claimKey_ = key;
  if (record && TryClaimRecord(record, use, now, look)) {
    if (look.claimed) claimed_ = record;
    return look;
  }
  // Without a record, this process's own memory of the line decides.
  look.claimed = now >= remembered.until;
  return look;
}

bool QuietLine::Tell(const Look& look, int64_t now) {
  if (look.busy) {
    if (look.quiet.kind != Kind::Content) return false;
    notify_("waiting: another process is sending a file on this device");
    return true;
  }
  if (look.quiet.kind == Kind::Message) return false;
  int64_t seconds = (look.quiet.until - now + 999) / 1000;
  if (seconds <= 0) return false;
  notify_("waiting " + std::to_string(seconds) + " s: the peer is discarding an incomplete file");
  return true;
}

bool QuietLine::Claim(Use use, const std::function<bool(int)>& wait) {
  bool told = false;
  for (;;) {
    Look look = TryClaim(use);
    if (look.claimed) {
      lastRefresh_ = SharedClockMs();
      return true;
    }
    int64_t now = SharedClockMs();
    if (!told) told = Tell(look, now);
    int64_t left = look.busy ? kLookMs : std::clamp<int64_t>(look.quiet.until - now, 1, kLookMs);
    if (!wait(static_cast<int>(left))) return false;
  }
}

void QuietLine::StillSending() {
  int64_t now = SharedClockMs();
  if (now - lastRefresh_ < kRefreshMs) return;
  lastRefresh_ = now;
  Write(ClaimQuiet(Use::File, now));
}

void QuietLine::Write(const Quiet& quiet) {
  if (!claimed_) return;
  std::string why;
  bool ok = claimed_->Update(
      [&](std::string& text) {
        text = std::to_string(quiet.until) + " " + kKindWords[static_cast<int>(quiet.kind)] + "\n";
        return true;
      },
      &why);
  if (!ok) {
    claimed_->EndWriting();
    claimed_.reset();
    GiveUpRecord(why);
  }
}

void QuietLine::Release(End end) {
  int64_t now = SharedClockMs();
  inProcessKey_ = claimKey_;
  inProcess_ = end == End::Whole ? Quiet{now + timing_.messageGapMs, Kind::Message}
                                 : Quiet{now + timing_.shortFileHoldMs, Kind::Incomplete};
  Write(inProcess_);
  if (claimed_) claimed_->EndWriting();
  claimed_.reset();
}

}  // namespace tarvel
