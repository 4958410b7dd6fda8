// SPDX-License-Identifier: MIT
// Code pages other than the built-in Windows-1252, through the C library's iconv.
// Wide text crosses iconv as UTF-16LE bytes so that the byte order is explicit and
// no byte-order mark is read or written.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "platform/codepage_backend.h"

namespace tarvel {
namespace {

constexpr size_t kHeadroom = 16;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : handle_(to.empty() || from.empty() ? kNoConverter : iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return handle_ != kNoConverter; }
  iconv_t get() const { return handle_; }

 private:
  // An empty name would make iconv pick the locale's code page; it counts as unknown.
  iconv_t handle_;
};

// Collects iconv's output in a buffer that grows whenever iconv runs out of room,
// so that no text is ever cut.
class Transcoder {
 public:
  Transcoder(iconv_t converter, size_t expected_size)
      : converter_(converter), out_(expected_size + kHeadroom, '\0') {}

  // Converts as much of `*in` as it can and leaves `*in` at what is left. Returns
  // 0 when everything was taken, else the errno that stopped iconv (EILSEQ or
  // EINVAL) with `*in` starting at the sequence it could not take.
  int Take(std::string_view* in) {
    while (!in->empty()) {
      char* from = const_cast<char*>(in->data());
      size_t from_left = in->size();
      size_t result = Call(&from, &from_left);
      int error = errno;
      *in = std::string_view(from, from_left);
      if (result != static_cast<size_t>(-1)) continue;
      if (error != E2BIG) return error;
      Grow();
    }
    return 0;
  }

  // Writes whatever a stateful code page needs to return to its initial state.
  void Finish() {
    while (Call(nullptr, nullptr) == static_cast<size_t>(-1) && errno == E2BIG) Grow();
  }

  void AppendRaw(std::string_view bytes) {
    if (out_.size() - used_ < bytes.size()) out_.resize(used_ + bytes.size() + out_.size());
    std::memcpy(out_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
  }

  std::string Release() {
    out_.resize(used_);
    return std::move(out_);
  }

 private:
  size_t Call(char** from, size_t* from_left) {
    char* to = out_.data() + used_;
    size_t to_left = out_.size() - used_;
    size_t result = iconv(converter_, from, from_left, &to, &to_left);
    int error = errno;
    used_ = static_cast<size_t>(to - out_.data());
    errno = error;
    return result;
  }

  void Grow() { out_.resize(out_.size() * 2); }

  iconv_t converter_;
  std::string out_;
  size_t used_ = 0;
};

std::string ToUtf16LeBytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::u16string FromUtf16LeBytes(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                  static_cast<unsigned char>(bytes[at + 1]) << 8);
  }
  return text;
}

// Bytes taken by the character at the start of UTF-16LE `bytes`: four for a
// surrogate pair, so that the pair becomes one replacement, else two.
size_t Utf16LeCharacterSize(std::string_view bytes) {
  auto unit = [&](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) |
                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
  };
  if (bytes.size() >= 4 && unit(0) >= 0xD800 && unit(0) <= 0xDBFF && unit(2) >= 0xDC00 &&
      unit(2) <= 0xDFFF) {
    return 4;
  }
  return bytes.size() < 2 ? bytes.size() : 2;
}

}  // namespace

std::optional<std::string> PlatformWideToCodePage(std::u16string_view text,
                                                  const std::string& codepage) {
  Converter converter(codepage, "UTF-16LE");
  if (!converter.ok()) return std::nullopt;
  std::string bytes = ToUtf16LeBytes(text);
  std::string_view rest = bytes;
  Transcoder out(converter.get(), text.size());
  while (out.Take(&rest) != 0) {
    rest.remove_prefix(Utf16LeCharacterSize(rest));
    // The '?' goes through the converter too, so it is right in any code page.
    std::string_view question("?\0", 2);
    if (out.Take(&question) != 0) out.AppendRaw("?");
  }
  out.Finish();
  return out.Release();
}

std::optional<std::u16string> PlatformCodePageToWide(std::string_view text,
                                                     const std::string& codepage) {
  Converter converter("UTF-16LE", codepage);
  if (!converter.ok()) return std::nullopt;
  std::string_view rest = text;
  Transcoder out(converter.get(), text.size() * 2);
  while (out.Take(&rest) != 0) {
    rest.remove_prefix(1);
    out.AppendRaw(std::string_view("\xFD\xFF", 2));  // U+FFFD
  }
  out.Finish();
  return FromUtf16LeBytes(out.Release());
}

}  // namespace tarvel
