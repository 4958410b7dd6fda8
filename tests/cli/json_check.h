// SPDX-License-Identifier: MIT
// A strict reader of the flat JSON objects that --json writes: string, number
// and null members only. Refuses anything that is not valid JSON, a raw
// control character in a string, and bytes that are not UTF-8.
#pragma once

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tarvel::testing {

// A member's value: the decoded string, the number's text, or "null".
struct JsonValue {
  enum Type { String, Number, Null } type = Null;
  std::string text;
};
using JsonObject = std::map<std::string, JsonValue>;

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  std::optional<JsonObject> Object() {
    JsonObject object;
    if (!Take('{')) return std::nullopt;
    if (Take('}')) return End(object);
    do {
      std::optional<std::string> name = String();
      if (!name || !Take(':')) return std::nullopt;
      std::optional<JsonValue> value = Value();
      if (!value || !object.emplace(*name, *value).second) return std::nullopt;
    } while (Take(','));
    if (!Take('}')) return std::nullopt;
    return End(object);
  }

 private:
  std::optional<JsonObject> End(const JsonObject& object) {
    return at_ == text_.size() ? std::optional<JsonObject>(object) : std::nullopt;
  }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  std::optional<JsonValue> Value() {
    if (text_.compare(at_, 4, "null") == 0) return at_ += 4, JsonValue{JsonValue::Null, "null"};
    if (at_ < text_.size() && text_[at_] == '"') {
      std::optional<std::string> s = String();
      if (!s) return std::nullopt;
      return JsonValue{JsonValue::String, *s};
    }
    size_t start = at_;
    Take('-');
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == start || (at_ == start + 1 && text_[start] == '-')) return std::nullopt;
    return JsonValue{JsonValue::Number, text_.substr(start, at_ - start)};
  }
  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
  // The UTF-8 sequence at at_, copied to `out`; false when it is not one.
  bool Utf8(std::string& out) {
    auto lead = static_cast<unsigned char>(text_[at_]);
    size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                    : lead >= 0xe0 && lead <= 0xef ? 3
                    : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                   : 0;
    if (length == 0 || at_ + length > text_.size()) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((static_cast<unsigned char>(text_[at_ + i]) & 0xc0) != 0x80) return false;
    }
    out.append(text_, at_, length);
    at_ += length;
    return true;
  }
  bool Escape(std::string& out) {
    if (at_ >= text_.size()) return false;
    char c = text_[at_++];
    static const std::string kSimple = "\"\\/bfnrt";
    static const std::string kMeaning = "\"\\/\b\f\n\r\t";
    if (size_t i = kSimple.find(c); i != std::string::npos) return out += kMeaning[i], true;
    if (c != 'u' || at_ + 4 > text_.size()) return false;
    unsigned code = 0;
    std::istringstream digits(text_.substr(at_, 4));
    if (!(digits >> std::hex >> code) || !digits.eof()) return false;
    at_ += 4;
    AppendUtf8(out, code);
    return true;
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size()) {
      auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return ++at_, out;
      if (c < 0x20) return std::nullopt;
      if (c == '\\') {
        ++at_;
        if (!Escape(out)) return std::nullopt;
      } else if (c < 0x80) {
        out += static_cast<char>(c);
        ++at_;
      } else if (!Utf8(out)) {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  const std::string& text_;
  size_t at_ = 0;
};

// Every line of `output` as an object; a line that is not one fails the test
// through `bad`, which then holds it.
inline std::vector<JsonObject> JsonLinesOf(const std::string& output, std::string* bad) {
  std::vector<JsonObject> objects;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::optional<JsonObject> object = JsonReader(line).Object();
    if (!object) {
      *bad = line;
      return objects;
    }
    objects.push_back(*object);
  }
  return objects;
}

}  // namespace tarvel::testing
