#include "link/link_text.h"

#include "platform/codepage.h"

namespace tarvel {

std::u16string Utf8ToStatus(std::string_view text) {
  return Utf8ToUtf16(text);
}

std::optional<std::string> ToLinkText(const Environment& env, std::u16string_view text,
                                      std::string* why) {
  std::string codepage = LinkCodePage(env);
  std::optional<std::string> converted = WideToCodePage(text, codepage);
  if (!converted && why) *why = "unknown code page " + codepage;
  return converted;
}

std::optional<std::string> ToWireName(const Environment& env, std::u16string_view name,
                                      std::string* why) {
  std::string codepage = LinkCodePage(env);
  std::optional<std::string> exact = WideToCodePage(name, codepage, Unheld::Refuse);
  if (exact) return exact;
  if (!WideToCodePage(u"", codepage)) {
    *why = "unknown code page " + codepage;
  } else {
    *why = Utf16ToUtf8(name) + " holds a character that code page " + codepage + " cannot carry";
  }
  return std::nullopt;
}

std::u16string FromLinkText(const Environment& env, std::string_view text) {
  std::optional<std::u16string> converted = CodePageToWide(text, LinkCodePage(env));
  if (converted) return *converted;
  return CodePageToWide(text, "WINDOWS-1252").value_or(std::u16string());
}

std::optional<std::u16string_view> HostText(const char16_t* text) {
  if (text == nullptr) return std::nullopt;
  return std::u16string_view(text);
}

}  // namespace tarvel
