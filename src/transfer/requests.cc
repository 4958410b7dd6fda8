// SPDX-License-Identifier: MIT
// Asking the peer for a file or a listing.
#include <optional>
#include <string>

#include "link/link_text.h"
#include "link/port_io.h"
#include "platform/codepage.h"
#include "transfer/operations.h"

namespace tarvel {
namespace {

using Formatter = std::optional<std::string> (*)(std::string_view, std::string*);

// The request's message, or nothing (saying why) when its argument cannot be
// carried exactly or the message would not fit.
std::optional<std::string> Request(const Environment& env, std::u16string_view argument,
                                   Formatter format, std::string* wireArgument, std::string* why) {
  std::optional<std::string> bytes = ToWireName(env, argument, why);
  if (!bytes) return std::nullopt;
  std::optional<std::string> message = format(*bytes, why);
  if (message && wireArgument) *wireArgument = std::move(*bytes);
  return message;
}

}  // namespace

int GetFile(LinkState& state, const char16_t* localSavePath, const char16_t* remoteName) {
  std::optional<std::u16string_view> savePath = HostText(localSavePath);
  std::optional<std::u16string_view> name = HostText(remoteName);
  if (!savePath || !name) {
    state.Reports().Fail("get needs a save path and a remote name");
    return kDone;
  }
  std::string why;
  std::string requested;
  std::optional<std::string> request =
      Request(state.env(), *name, wire::FormatGetRequest, &requested, &why);
  if (request && savePath->size() >= wire::kPendingSaveCapacity) {
    why = "save path longer than " + std::to_string(wire::kPendingSaveCapacity - 1) + " characters";
    request.reset();
  }
  if (!request) {
    state.Reports().Fail("cannot ask for " + Utf16ToUtf8(*name) + ": " + why);
    return kDone;
  }
  // The save path is in place before the request goes out, since the answer
  // may be recognised at once; a request that did not go out is withdrawn.
  uint64_t ticket = state.Requests().AddSave(requested, *savePath);
  if (!WriteMessage(state.Slot(), state.Line(), *request, &why)) {
    state.Requests().WithdrawSave(ticket);
    state.Reports().Fail("cannot ask for " + Utf16ToUtf8(*name) + ": " + why);
  }
  return kDone;
}

int ListFiles(LinkState& state, const char16_t* pattern) {
  std::optional<std::u16string_view> wide = HostText(pattern);
  if (!wide) {
    state.Reports().Fail("list needs a pattern");
    return kDone;
  }
  std::string why;
  std::optional<std::string> request =
      Request(state.env(), *wide, wire::FormatListRequest, nullptr, &why);
  if (!request || !WriteMessage(state.Slot(), state.Line(), *request, &why)) {
    state.Reports().Fail("cannot ask for a listing of " + Utf16ToUtf8(*wide) + ": " + why);
  }
  return kDone;
}

}  // namespace tarvel
