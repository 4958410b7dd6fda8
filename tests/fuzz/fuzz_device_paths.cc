// SPDX-License-Identifier: MIT
// Arbitrary device paths, as a peer or the host may name them, mapped beneath
// a device root: whatever is accepted stays beneath the root.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/device_files.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRoot = "/srv/device-root";

void CheckConfined(const std::string& root, const tarvel::FileLocation& location) {
  FUZZ_CHECK(location.root == (root.empty() ? "." : root));
  const std::string& path = location.path;
  FUZZ_CHECK(!path.empty());
  FUZZ_CHECK(path.front() != '/');
  FUZZ_CHECK(path.find('\\') == std::string::npos);
  FUZZ_CHECK(path.find('\0') == std::string::npos);
  // Components are plain names: no "..", no ".", no empty one (a single
  // trailing '/' only marks a folder).
  std::string_view rest(path);
  if (rest.back() == '/') rest.remove_suffix(1);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view component = rest.substr(start, end - start);
    FUZZ_CHECK(!component.empty());
    FUZZ_CHECK(component != "..");
    FUZZ_CHECK(component != ".");
    start = end + 1;
  }
  // Lexically, root/path never leaves the root.
  fs::path joined = (fs::path(kRoot) / path).lexically_normal();
  fs::path relative = joined.lexically_relative(kRoot);
  FUZZ_CHECK(!relative.empty());
  FUZZ_CHECK(*relative.begin() != "..");
}

void CheckDevicePath(const std::string& root, std::string_view input) {
  std::string why;
  std::optional<tarvel::FileLocation> location = tarvel::ResolveDevicePath(root, input, &why);
  if (!location) {
    FUZZ_CHECK(!why.empty());
    return;
  }
  CheckConfined(root, *location);
  // A resolved path resolves to itself: nothing is left to normalise.
  std::optional<tarvel::FileLocation> again = tarvel::ResolveDevicePath(root, location->path, &why);
  FUZZ_CHECK(again && again->path == location->path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckDevicePath(kRoot, input);
  CheckDevicePath("", input);

  // A host path beginning with '\' is a device path and confined the same way.
  std::string why;
  std::optional<tarvel::FileLocation> host = tarvel::ResolveHostPath(kRoot, input, &why);
  if (host && !input.empty() && input.front() == '\\') CheckConfined(kRoot, *host);
  if (host && host->root.empty()) FUZZ_CHECK(host->path == input);
  return 0;
}
