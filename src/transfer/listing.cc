#include "transfer/listing.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "link/link_text.h"
#include "platform/codepage.h"
#include "platform/device_files.h"
#include "platform/directory_search.h"

namespace tarvel {
namespace {

std::string DateLine(const CalendarTime& time) {
  char line[56];
  std::snprintf(line, sizeof line, "%04d %02d %02d-%02d:%02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return line;
}

// An entry's name as the listing shows it: a CR, LF or other control byte
// would let a name start lines of its own and forge entries, so each is
// written as "?".
std::string ListedName(const LinkState& state, const DirectoryEntry& entry) {
  std::string ignored;
  std::string name =
      ToLinkText(state.env(), Utf8ToUtf16(entry.name), &ignored).value_or(entry.name);
  for (char& c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return name;
}

// Each entry: its name, its date, an empty line, every line ended by "\r\n".
std::string ListingText(const LinkState& state, const std::vector<DirectoryEntry>& entries) {
  std::string text;
  for (const DirectoryEntry& entry : entries) {
    text += ListedName(state, entry);
    text += "\r\n" + DateLine(entry.lastWrite) + "\r\n\r\n";
  }
  return text;
}

std::optional<std::vector<DirectoryEntry>> Search(const std::string& root,
                                                  std::u16string_view pattern, std::string* why) {
  if (pattern.empty()) return std::vector<DirectoryEntry>();
  std::optional<FileLocation> location = ResolveDevicePath(root, Utf16ToUtf8(pattern), why);
  if (!location) return std::nullopt;
  return SearchDirectory(*location, why);
}

}  // namespace

bool WriteListing(LinkState& state, std::u16string_view pattern, std::string* why) {
  std::string root = DeviceRoot(state.env());
  std::optional<std::vector<DirectoryEntry>> entries = Search(root, pattern, why);
  if (!entries) return false;
  std::string text = ListingText(state, *entries);
  std::optional<FileLocation> location = ResolveDevicePath(root, kListingFilePath, why);
  std::unique_ptr<OutputFile> file =
      location ? CreateOutputFile(*location, ClashPolicy::Overwrite, why) : nullptr;
  if (!file) return false;
  if (!file->Write(text.data(), text.size(), nullptr) || !file->Commit(nullptr)) {
    *why = "cannot write the listing file";
    return false;
  }
  return true;
}

}  // namespace tarvel
