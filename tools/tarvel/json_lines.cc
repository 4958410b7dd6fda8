#include "json_lines.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "command_link.h"
#include "event_watch.h"
#include "tarvel.h"

namespace tarvel_cli {
namespace {

std::atomic<bool> jsonLines{false};
std::mutex outputLock;

// The length of the UTF-8 sequence starting at `at`, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t Utf8Length(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = lead < 0x80                    ? 1
                  : lead >= 0xc2 && lead <= 0xdf ? 2
                  : lead >= 0xe0 && lead <= 0xef ? 3
                  : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  unsigned char second = length > 1 ? byte(at + 1) : 0;
  if (lead == 0xe0 && second < 0xa0) return 0;   // overlong
  if (lead == 0xed && second >= 0xa0) return 0;  // a surrogate
  if (lead == 0xf0 && second < 0x90) return 0;   // overlong
  if (lead == 0xf4 && second >= 0x90) return 0;  // past U+10FFFF
  return length;
}

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7f) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    out += escaped;
  } else {
    out += static_cast<char>(c);
  }
}

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void CivilFromDays(long long days, int* year, unsigned* month, unsigned* day) {
  days += 719468;
  long long era = (days >= 0 ? days : days - 146096) / 146097;
  auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned shifted = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  *month = shifted < 10 ? shifted + 3 : shifted - 9;
  *year = static_cast<int>(static_cast<long long>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0));
}

bool NamesFile(int kind) {
  switch (kind) {
    case TARVEL_EVENT_RECEIVED:
    case TARVEL_EVENT_ANSWER:
    case TARVEL_EVENT_SENT:
    case TARVEL_EVENT_GET_ANSWERED:
    case TARVEL_EVENT_POLLED_FILE:
      return true;
    default:
      return false;
  }
}

// Where an event's path is on this host: a device path beneath the device
// root, any other path as the library used it.
std::filesystem::path LocalPath(const std::string& path) {
  if (path.empty() || path[0] != '\\') return std::filesystem::u8path(path);
  std::string root = LinkSetting("root");
  std::string relative = path.substr(1);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path base = std::filesystem::u8path(!root.empty() ? root : ".");
  return base / std::filesystem::u8path(relative);
}

std::optional<long long> FileBytes(const std::string& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(LocalPath(path), failure);
  if (failure) return std::nullopt;
  return static_cast<long long>(size);
}

}  // namespace

void SetJsonLines(bool on) {
  jsonLines.store(on);
}

bool JsonLines() {
  return jsonLines.load();
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    size_t length = Utf8Length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else if (length == 1) {
      AppendEscaped(out, static_cast<unsigned char>(text[at++]));
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out + "\"";
}

std::string JsonKindName(int kind) {
  switch (kind) {
    case TARVEL_EVENT_RECEIVED:
      return "received";
    case TARVEL_EVENT_SENT:
      return "sent";
    case TARVEL_EVENT_GET_ANSWERED:
      return "answered";
    case TARVEL_EVENT_LISTED:
      return "listed";
    case TARVEL_EVENT_PEER_TEXT:
      return "text";
    case TARVEL_EVENT_POLLED_TEXT:
      return "polled-text";
    case TARVEL_EVENT_POLLED_FILE:
      return "polled-file";
    case TARVEL_EVENT_FAILURE:
      return "failure";
    case TARVEL_EVENT_DROPPED:
      return "dropped";
    case TARVEL_EVENT_ANSWER:
      return "answer";
    case TARVEL_EVENT_NOTICE:
      return "notice";
    default:
      return "unknown";
  }
}

std::string JsonObject(const JsonRecord& record) {
  std::string out = "{\"time\":" + JsonString(record.time) +
                    ",\"kind\":" + JsonString(record.kind) + ",\"text\":" + JsonString(record.text);
  out += ",\"path\":" + (record.path ? JsonString(*record.path) : std::string("null"));
  out += ",\"peer\":" + (record.peer ? JsonString(*record.peer) : std::string("null"));
  out += ",\"bytes\":" + (record.bytes ? std::to_string(*record.bytes) : std::string("null"));
  if (record.modified) out += ",\"modified\":" + JsonString(*record.modified);
  return out + "}";
}

std::string JsonTimeNow() {
  using namespace std::chrono;
  long long ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  long long seconds = ms / 1000;
  long long days = seconds / 86400;
  long long inDay = seconds % 86400;
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", year, month, day,
                inDay / 3600, inDay / 60 % 60, inDay % 60, ms % 1000);
  return text;
}

void EmitJson(JsonRecord record) {
  if (record.time.empty()) record.time = JsonTimeNow();
  std::string line = JsonObject(record) + "\n";
  std::lock_guard<std::mutex> hold(outputLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void EmitJsonEvent(const LinkEvent& event) {
  JsonRecord record;
  record.kind = JsonKindName(event.kind);
  record.text = event.text;
  if (!event.peer.empty()) record.peer = event.peer;
  if (NamesFile(event.kind)) {
    record.path = event.text;
    record.bytes = FileBytes(event.text);
  }
  EmitJson(std::move(record));
}

}  // namespace tarvel_cli
