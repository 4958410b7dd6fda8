#include "wire/wire_format.h"

#include <algorithm>
#include <limits>

namespace tarvel::wire {
namespace {

// Every field is terminated 8-bit text: a zero byte ends the field it falls in.
std::string_view UpToZero(std::string_view read) {
  return read.substr(0, read.find('\0'));
}

// The argument of every message starts at the seventh byte; the sixth, a space
// in every message a peer writes, is skipped whatever it is.
constexpr size_t kArgumentStart = 6;

std::string_view ArgumentRegion(std::string_view text) {
  return text.size() > kArgumentStart ? text.substr(kArgumentStart) : std::string_view();
}

bool StartsWith(std::string_view read, std::string_view word) {
  return read.substr(0, word.size()) == word;
}

Message TextMessageOf(std::string_view read) {
  Message message;
  message.kind = MessageKind::TextMessage;
  message.argument = std::string(UpToZero(read));
  message.end = read.size();
  return message;
}

// A request's argument runs to the first "|", or to the end of the read.
Message RequestOf(MessageKind kind, std::string_view read) {
  Message message;
  message.kind = kind;
  std::string_view region = ArgumentRegion(UpToZero(read));
  size_t bar = region.find('|');
  message.argument = std::string(region.substr(0, bar));
  message.end = bar == std::string_view::npos ? read.size() : kArgumentStart + bar + 1;
  if (message.argument.size() >= kArgumentCapacity) {
    message.refusal =
        "request argument longer than " + std::to_string(kArgumentCapacity - 1) + " bytes";
  }
  return message;
}

void ReadSizeText(Message& message, std::string_view sizeText, size_t capacity) {
  if (sizeText.size() >= capacity) {
    message.refusal = "size text longer than " + std::to_string(capacity - 1) + " bytes";
    return;
  }
  std::optional<int32_t> size = ParseSize(sizeText);
  if (!size) {
    message.refusal = "size " + std::string(sizeText) + " out of range";
    return;
  }
  message.size = *size;
  if (*size < 0) message.refusal = "negative size " + std::string(sizeText);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The bytes of `text` that a decimal read in the manner of atoi takes:
// leading blanks, a sign and the digits.
size_t NumberLength(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  size_t digits = at;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  return digits == at ? 0 : digits;
}

// "FILE: name|size|": the name runs to the first "|", the size text from there
// to the next "|" or the end of the read.
Message FileHeaderOf(std::string_view read) {
  Message message;
  message.kind = MessageKind::FileHeader;
  message.end = read.size();
  std::string_view region = ArgumentRegion(UpToZero(read));
  size_t firstBar = region.find('|');
  message.argument = std::string(region.substr(0, firstBar));
  if (firstBar == std::string_view::npos) {
    message.refusal = "file header incomplete: no size";
    return message;
  }
  std::string_view rest = region.substr(firstBar + 1);
  size_t secondBar = rest.find('|');
  if (secondBar != std::string_view::npos) {
    message.end = kArgumentStart + firstBar + 1 + secondBar + 1;
  }
  ReadSizeText(message, rest.substr(0, secondBar), kSizeTextCapacity);
  if (secondBar == std::string_view::npos && message.refusal.empty()) {
    message.refusal = "file header incomplete: no \"|\" after the size";
  }
  return message;
}

bool HasListenerHeaderForm(std::string_view read) {
  std::string_view region = ArgumentRegion(UpToZero(read));
  size_t firstBar = region.find('|');
  return firstBar != std::string_view::npos &&
         region.find('|', firstBar + 1) != std::string_view::npos;
}

// "FILE: name size": the name ends at the first space, the size text runs to
// the end of the read.
Message PolledHeaderOf(std::string_view read) {
  Message message;
  message.kind = MessageKind::FileHeader;
  message.end = read.size();
  std::string_view region = ArgumentRegion(UpToZero(read));
  size_t space = region.find(' ');
  // A name too long for its buffer is refused by the receiver, which still
  // drains the announced bytes; so the size is read whatever the name.
  message.argument = std::string(region.substr(0, space));
  if (space == std::string_view::npos) return message;
  // Bytes after the digits are the file's first bytes, so only the number
  // itself counts against the size text's buffer.
  std::string_view after = region.substr(space + 1);
  size_t number = NumberLength(after);
  ReadSizeText(message, after.substr(0, number), kPolledSizeTextCapacity);
  if (message.refusal.empty() && message.size > 0) {
    message.end = kArgumentStart + space + 1 + number;
  }
  return message;
}

std::nullopt_t Refuse(std::string* why, std::string reason) {
  if (why != nullptr) *why = std::move(reason);
  return std::nullopt;
}

bool IsControlByte(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// Why a name or pattern cannot stand as a message's argument; nothing when it
// can. The peer cuts the argument at the separator and would act on a
// different name; a control byte ends fields and lines wherever the name is
// shown or listed.
std::optional<std::string> ArgumentFault(std::string_view argument, bool isName) {
  if (isName && argument.empty()) return "the name is empty";
  if (argument.find('|') != std::string_view::npos) {
    return std::string(argument) + " holds the separator \"|\"";
  }
  if (std::any_of(argument.begin(), argument.end(), IsControlByte)) {
    return std::string(isName ? "the name" : "the pattern") + " holds a control byte";
  }
  return std::nullopt;
}

std::string LongerThan(std::string_view what, size_t capacity) {
  return std::string(what) + " is longer than " + std::to_string(capacity - 1) + " bytes";
}

// "WORD: argument|", within the asking side's buffers.
std::optional<std::string> FormatRequest(std::string_view word, std::string_view argument,
                                         bool isName, std::string* why) {
  if (std::optional<std::string> fault = ArgumentFault(argument, isName))
    return Refuse(why, *fault);
  if (argument.size() >= kRequestTextCapacity) {
    return Refuse(why, LongerThan(isName ? "the name" : "the pattern", kRequestTextCapacity));
  }
  std::string request = std::string(word) + " " + std::string(argument) + "|";
  if (request.size() >= kRequestCapacity) {
    return Refuse(why, LongerThan("the request", kRequestCapacity));
  }
  return request;
}

}  // namespace

Message Recognise(std::string_view read) {
  if (StartsWith(read, kFileWord)) return FileHeaderOf(read);
  if (StartsWith(read, kListWord)) return RequestOf(MessageKind::ListRequest, read);
  if (StartsWith(read, kGetWord)) return RequestOf(MessageKind::GetRequest, read);
  return TextMessageOf(read);
}

bool IsPartialHeader(std::string_view read) {
  if (StartsWith(read, kFileWord)) return !HasListenerHeaderForm(read);
  // One to four bytes of "FILE:": the rest of the word may still be on its way.
  return !read.empty() && read.size() < kFileWord.size() && StartsWith(kFileWord, read);
}

bool IsPartialPolledHeader(std::string_view read) {
  // A space after the name starts the polled form's size, whose end no byte
  // marks: reading on would only take the file's content into the header.
  return IsPartialHeader(read) &&
         ArgumentRegion(UpToZero(read)).find(' ') == std::string_view::npos;
}

Message RecognisePolled(std::string_view read) {
  if (!StartsWith(read, kFileWord)) return TextMessageOf(read);
  if (HasListenerHeaderForm(read)) return FileHeaderOf(read);
  return PolledHeaderOf(read);
}

std::optional<int32_t> ParseSize(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  int64_t value = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : std::numeric_limits<int32_t>::max();
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::optional<std::string> FormatFileHeader(std::string_view name, int64_t size, std::string* why) {
  if (std::optional<std::string> fault = ArgumentFault(name, true)) return Refuse(why, *fault);
  if (size < 0 || size > std::numeric_limits<int32_t>::max()) {
    return Refuse(why, "a size of " + std::to_string(size) + " bytes cannot be announced");
  }
  std::string header =
      std::string(kFileWord) + " " + std::string(name) + "|" + std::to_string(size) + "|";
  if (header.size() >= kHeaderCapacity)
    return Refuse(why, LongerThan("the header", kHeaderCapacity));
  return header;
}

std::optional<std::string> FormatGetRequest(std::string_view name, std::string* why) {
  return FormatRequest(kGetWord, name, true, why);
}

std::optional<std::string> FormatListRequest(std::string_view pattern, std::string* why) {
  return FormatRequest(kListWord, pattern, false, why);
}

std::optional<std::string> FormatTextMessage(std::string_view text, std::string* why) {
  if (text.size() >= kSendTextCapacity)
    return Refuse(why, LongerThan("the text", kSendTextCapacity));
  return std::string(text);
}

}  // namespace tarvel::wire
