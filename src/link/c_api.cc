// SPDX-License-Identifier: MIT
// The exported C interface: thin calls onto the library's one device state.
// No exception crosses this boundary.
#include "tarvel.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "link/bluetooth_ports.h"
#include "link/operations.h"

#define TARVEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

static_assert(sizeof(tarvel_wchar) == sizeof(char16_t), "wide text is UTF-16 on every platform");
static_assert(static_cast<int>(tarvel::EventKind::Received) == TARVEL_EVENT_RECEIVED &&
                  static_cast<int>(tarvel::EventKind::Failure) == TARVEL_EVENT_FAILURE &&
                  static_cast<int>(tarvel::EventKind::Dropped) == TARVEL_EVENT_DROPPED &&
                  static_cast<int>(tarvel::EventKind::Answer) == TARVEL_EVENT_ANSWER &&
                  static_cast<int>(tarvel::EventKind::Notice) == TARVEL_EVENT_NOTICE,
              "the event kinds are numbered as the header says");

// The host's wide type (wchar_t on Windows) holds the same UTF-16 units as the
// library's char16_t.
const char16_t* Inward(const tarvel_wchar* text) {
  return reinterpret_cast<const char16_t*>(text);
}
const tarvel_wchar* Outward(const char16_t* text) {
  return reinterpret_cast<const tarvel_wchar*>(text);
}

// Never destroyed: unloading stops no listener and closes no port. On Windows
// a destructor could not even try, as the process's other threads are gone
// before a DLL's static objects go, and joining the listener would hang the
// host's exit.
tarvel::LinkState& ModuleState() {
  static tarvel::LinkState* state = new tarvel::LinkState;
  return *state;
}

// Copies `text` into the host's buffer, cut to `capacity` and terminated, and
// returns its full length.
int CopyOut(const std::u16string& text, tarvel_wchar* buffer, int capacity) {
  if (buffer != nullptr && capacity > 0) {
    size_t count = std::min(text.size(), static_cast<size_t>(capacity) - 1);
    std::copy_n(text.begin(), count, buffer);
    buffer[count] = 0;
  }
  return static_cast<int>(text.size());
}

// Runs `call` as one call of the host's: it starts with no failure of its own.
// Should anything throw (memory exhausted), reports it instead.
template <typename Result, typename Call>
Result Guarded(Result onFailure, Call call) {
  try {
    tarvel::ClearLastFailure();
    return call(ModuleState());
  } catch (const std::exception& error) {
    try {
      ModuleState().Fail(std::string("internal error: ") + error.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return onFailure;
}

}  // namespace

TARVEL_EXPORT int TarvelPortOpen(int port) {
  return Guarded(tarvel::kPortUnavailable, [&](auto& s) { return tarvel::PortOpen(s, port); });
}

TARVEL_EXPORT const tarvel_wchar* TarvelPortRead(void) {
  return Outward(
      Guarded(ModuleState().StatusPointer(), [](auto& s) { return tarvel::PortRead(s); }));
}

TARVEL_EXPORT int TarvelPortClose(void) {
  return Guarded(tarvel::kDone, [](auto& s) { return tarvel::PortClose(s); });
}

TARVEL_EXPORT int TarvelPortSend(const tarvel_wchar* text) {
  return Guarded(tarvel::kDone, [&](auto& s) { return tarvel::PortSend(s, Inward(text)); });
}

TARVEL_EXPORT int TarvelPortCreate(void) {
  return Guarded(tarvel::kDone, [](auto& s) { return tarvel::PortCreate(s); });
}

TARVEL_EXPORT int TarvelServer(void) {
  return Guarded(tarvel::kDone, [](auto& s) { return tarvel::Server(s); });
}

TARVEL_EXPORT int TarvelSendFile(const tarvel_wchar* localPath, const tarvel_wchar* remoteName) {
  return Guarded(tarvel::kDone, [&](auto& s) {
    return tarvel::SendFile(s, Inward(localPath), Inward(remoteName));
  });
}

TARVEL_EXPORT int TarvelGetFile(const tarvel_wchar* localSavePath, const tarvel_wchar* remoteName) {
  return Guarded(tarvel::kDone, [&](auto& s) {
    return tarvel::GetFile(s, Inward(localSavePath), Inward(remoteName));
  });
}

TARVEL_EXPORT int TarvelListFiles(const tarvel_wchar* pattern) {
  return Guarded(tarvel::kDone, [&](auto& s) { return tarvel::ListFiles(s, Inward(pattern)); });
}

TARVEL_EXPORT const tarvel_wchar* TarvelCheckText(int blank) {
  return Outward(
      Guarded(ModuleState().StatusPointer(), [&](auto& s) { return tarvel::CheckText(s, blank); }));
}

TARVEL_EXPORT int TarvelStatusCopy(tarvel_wchar* buffer, int capacity) {
  return Guarded(0, [&](auto& s) { return CopyOut(s.Status(), buffer, capacity); });
}

TARVEL_EXPORT int TarvelProgress(long long* done, long long* total) {
  return Guarded(0, [&](auto& s) {
    long long doneNow = 0, totalNow = 0;
    s.Progress(doneNow, totalNow);
    if (done != nullptr) *done = doneNow;
    if (total != nullptr) *total = totalNow;
    return totalNow > 0 || doneNow > 0 ? 1 : 0;
  });
}

TARVEL_EXPORT int TarvelNextEvent(int timeoutMs, tarvel_wchar* text, int capacity) {
  return Guarded(TARVEL_EVENT_NONE, [&](auto& s) {
    std::optional<tarvel::Event> event = s.Events().Next(std::chrono::milliseconds(timeoutMs));
    if (!event) {
      CopyOut(std::u16string(), text, capacity);
      return TARVEL_EVENT_NONE;
    }
    CopyOut(event->text, text, capacity);
    return static_cast<int>(event->kind);
  });
}

// Not guarded: asking for the last failure must not clear it.
TARVEL_EXPORT int TarvelLastFailure(tarvel_wchar* text, int capacity) {
  try {
    std::optional<std::u16string> reason = tarvel::LastFailure();
    CopyOut(reason.value_or(std::u16string()), text, capacity);
    return reason ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

TARVEL_EXPORT void TarvelStopWaiting(void) {
  Guarded(0, [](auto& s) {
    s.Events().Wake();
    return 0;
  });
}

TARVEL_EXPORT int TarvelIncomingPort(void) {
  return Guarded(0, [](auto& s) { return s.Bluetooth().IncomingPortExists() ? 1 : 0; });
}
