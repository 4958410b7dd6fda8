// SPDX-License-Identifier: MIT
// Results for programs: with --json, every event the command reports is one
// JSON object on a line of its own on standard output, and nothing else is
// written there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvel_cli {

struct LinkEvent;

// Turns JSON lines on or off for the whole command; off unless --json.
void SetJsonLines(bool on);
bool JsonLines();

// `text` as a JSON string, quotes included. Control characters become
// \u00XX, and bytes that are not UTF-8 become U+FFFD, so that the result is
// valid JSON whatever the peer sent.
std::string JsonString(std::string_view text);

// The lowercase name of an event kind: "received", "polled-text", ...
std::string JsonKindName(int kind);

// One object, without the line end: time, kind, text, path (null unless it
// names a file), peer (null: links carry no peer yet) and bytes (null unless
// known).
struct JsonRecord {
  std::string time;  // ISO 8601 UTC with milliseconds
  std::string kind;
  std::string text;
  std::optional<std::string> path;
  std::optional<long long> bytes;
  std::optional<std::string> modified;  // a listing entry's time, as listed
  std::optional<std::string> peer;      // the Bluetooth peer's address
};
std::string JsonObject(const JsonRecord& record);

// The time now as "2026-12-10T11:02:25.123Z".
std::string JsonTimeNow();

// Writes a record as one line on standard output, whole, whichever thread
// calls it.
void EmitJson(JsonRecord record);
// An event of the library: its path and size as far as the command knows them.
void EmitJsonEvent(const LinkEvent& event);

}  // namespace tarvel_cli
