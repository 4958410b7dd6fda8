// SPDX-License-Identifier: MIT
// The link's messages: their bytes, their timing and the capacities of the
// buffers that carry them. Pure functions over bytes: no I/O, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel::wire {

// Content bytes per write. The pauses that keep a header apart from its
// content are in LinkTiming (link/link_timing.h).
inline constexpr size_t kPieceSize = 200;

// Capacities, terminator included, as every peer sizes them.
inline constexpr size_t kReceiveBufferSize = 504;      // one read: 503 bytes
inline constexpr size_t kSendTextCapacity = 200;       // a plain text message
inline constexpr size_t kHeaderCapacity = 200;         // a formatted file header
inline constexpr size_t kArgumentCapacity = 200;       // listener's name, pattern, save path
inline constexpr size_t kSizeTextCapacity = 20;        // listener's size text
inline constexpr size_t kPolledSizeTextCapacity = 24;  // polled reader's size text
inline constexpr size_t kRequestedNameCapacity = 100;  // requested name, wide characters
inline constexpr size_t kRequestTextCapacity = 500;    // asking side's 8-bit name or pattern
inline constexpr size_t kRequestCapacity = 504;        // asking side's formatted request
inline constexpr size_t kStatusCapacity = 2000;        // status text, wide characters
inline constexpr size_t kPendingSaveCapacity = 500;    // pending save path, wide characters

inline constexpr size_t kMaxRead = kReceiveBufferSize - 1;

inline constexpr std::string_view kFileWord = "FILE:";
inline constexpr std::string_view kListWord = "LIST:";
inline constexpr std::string_view kGetWord = "GILE:";

enum class MessageKind { GetRequest, ListRequest, FileHeader, TextMessage };

struct Message {
  MessageKind kind = MessageKind::TextMessage;
  // The name or pattern of a request or header; the text of a TextMessage, up
  // to its first zero byte.
  std::string argument;
  // A FileHeader's announced size.
  int32_t size = 0;
  // Bytes of the read that this message took: after the "|" that closes a
  // request, after the second "|" of a FileHeader, else the whole read.
  size_t end = 0;
  // Set when a field outgrew its buffer, the size is negative or out of range,
  // or a FileHeader is not whole: the message must not be acted on. Says why.
  std::string refusal;
};

// Recognises one read as the listener takes it.
Message Recognise(std::string_view read);

// Whether `read` may begin a FileHeader that has not arrived whole: one to four
// bytes of "FILE:", or "FILE:" with fewer than the two "|" that end its name
// and its size. The listener reads on before it recognises such a read.
bool IsPartialHeader(std::string_view read);

// The same for the polled reader, except that a "FILE:" read whose name is
// followed by a space is whole: it is the polled form, its size running on
// into the file's first bytes.
bool IsPartialPolledHeader(std::string_view read);

// Recognises one read as the polled reader takes it: a "FILE:" read in the
// listener's form is a FileHeader as above; any other "FILE:" read is the
// polled header, its name ending at the first space and its size following,
// and the bytes after the size's digits are the file's first bytes;
// everything else, requests included, is a TextMessage.
Message RecognisePolled(std::string_view read);

// Reads a decimal number in the manner of atoi: leading blanks and a sign,
// stops at the first non-digit, no digits gives 0. Nothing when the value does
// not fit a signed 32-bit number.
std::optional<int32_t> ParseSize(std::string_view text);

// The formatted messages, or nothing, saying why when `why` is given, when
// their name or pattern cannot be carried: it holds the separator or a control
// byte, a name is empty, or the message would not fit the buffers that carry
// it. Every message a sender announces is checked here and nowhere else.
std::optional<std::string> FormatFileHeader(std::string_view name, int64_t size,
                                            std::string* why = nullptr);
std::optional<std::string> FormatGetRequest(std::string_view name, std::string* why = nullptr);
std::optional<std::string> FormatListRequest(std::string_view pattern, std::string* why = nullptr);
// A plain text message, or nothing when it would not fit the sender's buffer.
std::optional<std::string> FormatTextMessage(std::string_view text, std::string* why = nullptr);

}  // namespace tarvel::wire
