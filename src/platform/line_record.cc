#include "platform/line_record.h"

namespace tarvel {

std::string LineRecordName(const std::string& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "line-";
  for (char c : key) {
    auto byte = static_cast<unsigned char>(c);
    bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                 (byte >= '0' && byte <= '9') || byte == '.' || byte == '-';
    if (plain) {
      name += c;
    } else {
      name += '_';
      name += kHex[byte >> 4];
      name += kHex[byte & 15];
    }
  }
  return name;
}

}  // namespace tarvel
