// SPDX-License-Identifier: MIT
// A small record per serial device, shared by every process on this machine
// that writes to the device: a line of text saying until when the line must
// stay quiet, and a mark that a writer is at work on it now. The record lives
// in a file; the update lock and the writer's mark are locks on that file,
// which the system drops when their process ends, however it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/environment.h"

namespace tarvel {

// Milliseconds on a clock that every process on this machine reads alike, so
// that a time one process records means the same to the next.
int64_t SharedClockMs();

// One name for the device at `path` however it is named (a link to a tty, or
// the tty itself), so that two names of one device share one record.
std::string CanonicalDeviceName(const std::string& path);

class LineRecord {
 public:
  virtual ~LineRecord() = default;
  // Reads the record's text under its update lock, which keeps every other
  // holder in any process out meanwhile, and lets `change` rewrite the text:
  // when it returns true the new text replaces the old. BeginWriting and
  // OtherWriting may be called inside `change`. False, saying why, when the
  // record cannot be read or written.
  virtual bool Update(const std::function<bool(std::string& text)>& change, std::string* why) = 0;
  // Marks this holder as writing to the line, until EndWriting or the end of
  // its process.
  virtual bool BeginWriting() = 0;
  virtual void EndWriting() = 0;
  // Whether another holder, in this process or any other, is marked as writing.
  virtual bool OtherWriting() = 0;
  // Where the record is, for messages.
  virtual const std::string& Location() const = 0;
};

// Opens the record of the device named `key`, creating it when missing:
// readable and writable by every user, as every user allowed to use the
// device must be able to keep the line quiet. In the folder TARVEL_LINE_RECORDS
// names when it is set (for tests), else in a folder that every user shares
// (on Linux /run/lock/tarvel, falling back to the user's own runtime folder).
// Nothing, saying why, when no record can be kept.
std::unique_ptr<LineRecord> OpenLineRecord(const std::string& key, const Environment& env,
                                           std::string* why);

// The file name of the record of the device `key`: every byte outside
// [A-Za-z0-9.-] is spelled "_" and two hex digits, so no two keys share one.
std::string LineRecordName(const std::string& key);

}  // namespace tarvel
