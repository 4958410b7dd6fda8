// SPDX-License-Identifier: MIT
// Arbitrary reads through both recognisers and the size parser.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "wire/wire_format.h"

namespace {

using tarvel::wire::Message;
using tarvel::wire::MessageKind;

std::string_view UpToZero(std::string_view read) {
  return read.substr(0, read.find('\0'));
}

bool IsRequest(MessageKind kind) {
  return kind == MessageKind::GetRequest || kind == MessageKind::ListRequest;
}

// What every recognised message must satisfy, whichever recogniser made it.
// A polled header ends after its size digits, or after the "|" of the
// sender's form: what follows in the read is the file's first bytes.
void CheckShape(std::string_view read, const Message& m, bool polled) {
  FUZZ_CHECK(m.end <= read.size());
  if (m.kind == MessageKind::TextMessage) {
    FUZZ_CHECK(m.argument == UpToZero(read));
    FUZZ_CHECK(m.end == read.size());
    FUZZ_CHECK(m.refusal.empty());
    return;
  }
  // Fields are terminated text: no zero byte and no separator inside.
  FUZZ_CHECK(m.argument.find('\0') == std::string::npos);
  FUZZ_CHECK(read.substr(0, 5) == "FILE:" || read.substr(0, 5) == "LIST:" ||
             read.substr(0, 5) == "GILE:");
  if (m.end < read.size()) {
    FUZZ_CHECK(m.end > 6);
    char last = read[m.end - 1];
    if (polled && m.kind == MessageKind::FileHeader) {
      FUZZ_CHECK(last == '|' || (last >= '0' && last <= '9'));
    } else {
      FUZZ_CHECK(last == '|');
    }
  }
  if (IsRequest(m.kind)) {
    FUZZ_CHECK(m.argument.find('|') == std::string::npos);
    // A request ends right after the "|" that closes its argument.
    if (m.end < read.size()) FUZZ_CHECK(m.end == 6 + m.argument.size() + 1);
    if (m.refusal.empty()) FUZZ_CHECK(m.argument.size() < tarvel::wire::kArgumentCapacity);
  }
}

// The formatted form of a recognised message is recognised as the same message.
void CheckRoundTrip(const Message& m) {
  if (!m.refusal.empty()) return;
  std::optional<std::string> formatted;
  switch (m.kind) {
    case MessageKind::FileHeader:
      formatted = tarvel::wire::FormatFileHeader(m.argument, m.size);
      break;
    case MessageKind::GetRequest:
      formatted = tarvel::wire::FormatGetRequest(m.argument);
      break;
    case MessageKind::ListRequest:
      formatted = tarvel::wire::FormatListRequest(m.argument);
      break;
    case MessageKind::TextMessage:
      return;
  }
  if (!formatted) return;
  Message again = tarvel::wire::Recognise(*formatted);
  FUZZ_CHECK(again.refusal.empty());
  FUZZ_CHECK(again.kind == m.kind);
  FUZZ_CHECK(again.argument == m.argument);
  FUZZ_CHECK(again.size == m.size);
  FUZZ_CHECK(again.end == formatted->size());
  // The sender's own header is a file for the polled reader too.
  if (m.kind == MessageKind::FileHeader) {
    Message polled = tarvel::wire::RecognisePolled(*formatted);
    FUZZ_CHECK(polled.kind == MessageKind::FileHeader);
    FUZZ_CHECK(polled.argument == m.argument && polled.size == m.size);
  }
}

// ParseSize against the C library's own decimal reader.
void CheckParseSize(std::string_view text) {
  std::string terminated(text);
  errno = 0;
  long long expected = std::strtoll(terminated.c_str(), nullptr, 10);
  bool fits = errno != ERANGE && expected >= INT32_MIN && expected <= INT32_MAX;
  std::optional<int32_t> parsed = tarvel::wire::ParseSize(text);
  FUZZ_CHECK(parsed.has_value() == fits);
  if (parsed) FUZZ_CHECK(*parsed == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view read(reinterpret_cast<const char*>(data), size);

  Message m = tarvel::wire::Recognise(read);
  CheckShape(read, m, false);
  CheckRoundTrip(m);

  Message polled = tarvel::wire::RecognisePolled(read);
  CheckShape(read, polled, true);
  FUZZ_CHECK(polled.kind == MessageKind::FileHeader || polled.kind == MessageKind::TextMessage);
  if (read.substr(0, 5) != "FILE:") FUZZ_CHECK(polled.kind == MessageKind::TextMessage);
  CheckRoundTrip(polled);

  CheckParseSize(read);
  return 0;
}
