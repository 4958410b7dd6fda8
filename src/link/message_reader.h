// SPDX-License-Identifier: MIT
// Whole messages out of a link's port, for each of its readers: the listener
// and the polled reader. The reader owns the bytes already read that belong
// to the next message, and the lock that one reader holds for a whole
// message, its file content included, so that two readers never share one
// message's bytes. How reads become messages is decided here and nowhere else.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "link/device/serial_device.h"
#include "link/link_timing.h"
#include "platform/mutex.h"
#include "wire/wire_format.h"

namespace tarvel {

class MessageReader {
 public:
  // The two ways a read is taken as a message: the listener's, and the polled
  // reader's, whose own header form is whole once a space follows the name.
  enum class Framing { Listener, Polled };

  explicit MessageReader(const LinkTiming& timing);
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // Held by a reader for a whole message.
  Mutex& Lock() RETURN_CAPABILITY(lock_) { return lock_; }

  // The next message: the bytes carried from the last one, or else everything
  // waiting on the port (at most one read's worth each time). A read that
  // holds only the start of a file header (from the first byte of "FILE:" on)
  // is read on until the header is whole, the line has been quiet for the
  // read's quiet gap, or a read's worth has come; a start not followed in time
  // stays what it is, a text. What follows the message in the read (the next
  // message, or a file's first bytes) is carried. Nothing when nothing is
  // waiting or the port cannot be queried or read.
  std::optional<wire::Message> Next(SerialDevice& port, Framing framing) REQUIRES(lock_);

  // Whether bytes of the next message have been read already.
  bool HasCarried() const REQUIRES(lock_) { return !carried_.empty(); }
  // Takes up to `most` carried bytes: the start of a file's content, which
  // came in the read of its header.
  std::string TakeCarried(size_t most) REQUIRES(lock_);
  // Forgets the carried bytes: they were read from a port since closed.
  void DropCarried() REQUIRES(lock_) { carried_.clear(); }

  // Throws away what follows a refused file header, whose size cannot be
  // trusted, so that none of its content is taken for messages: the carried
  // bytes, then everything the port brings until the line has been quiet for
  // the refused-content gap, the device fails, or `stopping` says so.
  void DiscardRefusedContent(SerialDevice& port, const std::function<bool()>& stopping)
      REQUIRES(lock_);

 private:
  // The next read: carried bytes, or what waits on the port.
  std::optional<std::string> TakeNextRead(SerialDevice& port) REQUIRES(lock_);
  // Appends what the port brings while `partial` holds of the read.
  void ReadOnWhile(bool (*partial)(std::string_view), SerialDevice& port, std::string& read) const;

  const int quietGapMs_;
  const int refusedDiscardQuietMs_;
  Mutex lock_;
  std::string carried_ GUARDED_BY(lock_);
};

}  // namespace tarvel
