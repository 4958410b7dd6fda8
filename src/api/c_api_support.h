// SPDX-License-Identifier: MIT
// What the two halves of the exported C interface share: the link object the
// header declares, the host's wide text, and running a host's call so that no
// exception crosses the boundary.
#pragma once

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "link/events.h"
#include "link/link_settings.h"
#include "link/link_state.h"
#include "tarvel.h"

#define TARVEL_EXPORT extern "C" __attribute__((visibility("default")))

// One link: its settings, and the state that reads them as its environment.
struct TarvelLink {
  explicit TarvelLink(std::shared_ptr<tarvel::LinkSettings> table)
      : settings(std::move(table)), state(tarvel::SettingsEnvironment(settings)) {}

  std::shared_ptr<tarvel::LinkSettings> settings;
  tarvel::LinkState state;
};

namespace tarvel::c_api {

static_assert(sizeof(tarvel_wchar) == sizeof(char16_t), "wide text is UTF-16 on every platform");

// The host's wide type (wchar_t on Windows) holds the same UTF-16 units as the
// library's char16_t.
inline const char16_t* Inward(const tarvel_wchar* text) {
  return reinterpret_cast<const char16_t*>(text);
}
inline const tarvel_wchar* Outward(const char16_t* text) {
  return reinterpret_cast<const tarvel_wchar*>(text);
}

// Copies `text` into the host's buffer, cut to `capacity` and terminated, and
// returns its full length.
inline int CopyOut(const std::u16string& text, tarvel_wchar* buffer, int capacity) {
  if (buffer != nullptr && capacity > 0) {
    size_t count = std::min(text.size(), static_cast<size_t>(capacity) - 1);
    std::copy_n(text.begin(), count, buffer);
    buffer[count] = 0;
  }
  return static_cast<int>(text.size());
}

// The text a call on no link returns in place of a link's status text.
inline const tarvel_wchar* NoStatus() {
  static const char16_t empty[1] = {0};
  return Outward(empty);
}

// Runs `call` on `link` as one call of the host's: it starts with no failure
// of its own. A null link, and anything thrown (memory exhausted), is the
// calling thread's failure, and the call returns `onFailure`.
template <typename Result, typename Call>
Result Guarded(TarvelLink* link, Result onFailure, Call call) {
  try {
    ClearLastFailure();
    if (link == nullptr) {
      SetLastFailure(u"no link: the link is null");
      return onFailure;
    }
    return call(link->state);
  } catch (const std::exception& error) {
    try {
      if (link != nullptr)
        link->state.Reports().Fail(std::string("internal error: ") + error.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return onFailure;
}

}  // namespace tarvel::c_api
