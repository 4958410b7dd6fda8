// SPDX-License-Identifier: MIT
// Keeping messages apart on the wire. The peer takes everything that reaches
// it between two of its looks at the port as one message, and a receive in
// progress takes whatever comes next as the file's missing content. So after
// every message the line stays quiet for the timing's message gap, and after
// a file that stopped short for the hold that outlasts the peer's patience.
// Both hold for every writer of the device: the threads of this process, and
// through the device's line record the processes that use it after this one,
// even when this one was killed mid-file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/link_timing.h"
#include "platform/environment.h"
#include "platform/line_record.h"
#include "platform/mutex.h"

namespace tarvel {

class QuietLine {
 public:
  // `notify` passes a notice on to the host: a wait and its reason, or a
  // record that cannot be kept.
  QuietLine(const LinkTiming& timing, Environment env,
            std::function<void(const std::string&)> notify);

  // Writes go to the device named `key` from now on, and its record is used.
  // When no record can be kept the line is still kept quiet within this
  // process, and a notice says why (once per device and process).
  void Attach(const std::string& key);

  enum class Use {
    Message,  // one write: a text or a request
    File,     // a file header, the sender's pause and the content
  };
  // Waits until the line may be written, then claims it for `use`: nothing
  // else is written to the device, by this process or another, until Release.
  // Between its looks it calls `wait` with the milliseconds to wait, which
  // returns false to give up (the device is stopping, or its port went); Claim
  // then returns false. A wait for an incomplete file to be discarded is told
  // in a notice; the short gap after a message is not. The caller holds the
  // device's write lock from here to Release.
  bool Claim(Use use, const std::function<bool(int milliseconds)>& wait);
  // While a file's content goes out: keeps the record's time of the last byte
  // current. Cheap: it writes the record at most every kRefreshMs.
  void StillSending();

  enum class End {
    Whole,       // everything announced went out
    Incomplete,  // a file's content stopped short: the peer still waits for it
  };
  // Ends the claim: the line stays quiet for the message gap, or for the hold
  // after an incomplete file.
  void Release(End end);

  // How often a file's content in flight refreshes the record.
  static constexpr int kRefreshMs = 500;
  // How often a waiting writer looks at the record again.
  static constexpr int kLookMs = 200;

 private:
  enum class Kind { Message, Content, Incomplete };
  struct Quiet {
    int64_t until = 0;  // SharedClockMs
    Kind kind = Kind::Message;
  };
  struct Look {
    Quiet quiet;
    bool busy = false;  // a writer of another process is at work
    bool claimed = false;
  };

  Look TryClaim(Use use);
  bool TryClaimRecord(const std::shared_ptr<LineRecord>& record, Use use, int64_t now, Look& look);
  bool Tell(const Look& look, int64_t now);
  void Write(const Quiet& quiet);
  void GiveUpRecord(const std::string& why);
  Quiet ClaimQuiet(Use use, int64_t now) const;
  bool Stale(const Quiet& quiet, int64_t now) const;
  std::shared_ptr<LineRecord> Record(std::string* key);

  const LinkTiming timing_;
  const Environment env_;
  const std::function<void(const std::string&)> notify_;

  Mutex lock_;
  std::string key_ GUARDED_BY(lock_);
  std::shared_ptr<LineRecord> record_ GUARDED_BY(lock_);

  // Guarded by the device's write lock, as the callers hold it.
  Quiet inProcess_;
  std::string inProcessKey_;             // the device inProcess_ was left on
  std::string claimKey_;                 // the device of the claim in hand
  std::shared_ptr<LineRecord> claimed_;  // the record this claim marked
  int64_t lastRefresh_ = 0;
};

}  // namespace tarvel
