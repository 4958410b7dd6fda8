// SPDX-License-Identifier: MIT
// The pauses and limits of the link in one record. The defaults are the
// wire's own values, which every peer relies on: the C interface never
// changes them. Tests and fuzzing carry shorter ones, so that they do not
// wait for the clock.
#pragma once

namespace tarvel {

struct LinkTiming {
  // Listener: how long it waits between looks at an idle port.
  int pollIntervalMs = 100;
  // A read, once its first byte has come, ends after this much silence: bytes
  // that arrive closer together than this are one message.
  int readQuietGapMs = 100;
  // Listener: after recognising a file header, before taking its content.
  int receiverPauseMs = 200;
  // Sender: after a file header, before its content; what keeps the header
  // alone in its read at the peer.
  int senderPauseMs = 1000;
  // A receive gives up when the line stays quiet this long mid-file.
  int quietLineLimitMs = 10000;
  // A write that makes no progress for this long gives up.
  int writeStallLimitMs = 5000;
  // What follows a refused file header is thrown away until the line has been
  // quiet this long: longer than the sender's pause, so none of the content
  // is ever taken for messages.
  int refusedDiscardQuietMs = 1500;
  // After a file that stopped short of its announced size, the sender writes
  // nothing for this long: longer than the peer's quiet-line limit, so the
  // peer has given up on that file before the next message arrives and takes
  // no message for its missing content.
  int shortFileHoldMs = 11000;
  // After every message (a text, a request, a file's header and content) the
  // sender keeps the line quiet this long, so that the peer reads that message
  // alone and the next one apart. A peer looks at an idle port every 100 ms
  // and ends a read after 100 ms of silence; when our last write returns, up
  // to a full tty output buffer (4 KiB, 160 ms at 256000 baud) may still be on
  // its way out; the rest is margin for the peer's scheduling and for a radio
  // link that holds bytes back and delivers them in a burst.
  int messageGapMs = 400;
};

}  // namespace tarvel
