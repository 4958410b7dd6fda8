#include "transfer/listing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
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
std::string ListedName(const Environment& env, const DirectoryEntry& entry) {
  std::string ignored;
  std::string name = ToLinkText(env, Utf8ToUtf16(entry.name), &ignored).value_or(entry.name);
  for (char& c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return name;
}

// Each entry: its name, its date, an empty line, every line ended by "\r\n".
std::string ListingText(const Environment& env, const std::vector<DirectoryEntry>& entries) {
  std::string text;
  for (const DirectoryEntry& entry : entries) {
    text += ListedName(env, entry);
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

// A listing kept in memory, read as a file.
class KeptListingFile final : public InputFile {
 public:
  explicit KeptListingFile(std::string text) : text_(std::move(text)) {}
  int64_t Size() const override { return static_cast<int64_t>(text_.size()); }
  std::ptrdiff_t Read(void* buffer, size_t count) override {
    size_t taken = std::min(count, text_.size() - at_);
    std::memcpy(buffer, text_.data() + at_, taken);
    at_ += taken;
    return static_cast<std::ptrdiff_t>(taken);
  }

 private:
  const std::string text_;
  size_t at_ = 0;
};

// Whether two paths beneath the root name the same file, as a device's file
// system that ignores letter case sees them.
bool SameDevicePath(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::unique_ptr<InputFile> OpenKeptListing(const Environment& env, const PendingRequests& requests,
                                           const FileLocation& location) {
  if (!requests.ListingApart()) return nullptr;
  std::string why;
  std::optional<FileLocation> listing = ResolveDevicePath(DeviceRoot(env), kListingFilePath, &why);
  if (!listing || listing->root != location.root || !SameDevicePath(listing->path, location.path)) {
    return nullptr;
  }
  std::optional<std::string> kept = requests.KeptListing();
  if (!kept) return nullptr;
  return std::make_unique<KeptListingFile>(std::move(*kept));
}

bool WriteListing(const Environment& env, PendingRequests& requests, std::u16string_view pattern,
                  std::string* why) {
  std::string root = DeviceRoot(env);
  std::optional<std::vector<DirectoryEntry>> entries = Search(root, pattern, why);
  if (!entries) return false;
  std::string text = ListingText(env, *entries);
  if (requests.ListingApart()) {
    requests.KeepListing(std::move(text));
    return true;
  }
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
