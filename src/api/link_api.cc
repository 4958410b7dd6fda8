// SPDX-License-Identifier: MIT
// The exported C interface on links as objects: making, setting up and
// destroying a link, and the twin of every function on a link of the host's.
#include <chrono>
#include <new>
#include <optional>
#include <string>

#include "api/c_api_support.h"
#include "link/bluetooth_ports.h"
#include "link/link_text.h"
#include "platform/codepage.h"
#include "transfer/operations.h"

using tarvel::c_api::CopyOut;
using tarvel::c_api::Guarded;
using tarvel::c_api::Inward;
using tarvel::c_api::Outward;

namespace {

static_assert(static_cast<int>(tarvel::EventKind::Received) == TARVEL_EVENT_RECEIVED &&
                  static_cast<int>(tarvel::EventKind::Failure) == TARVEL_EVENT_FAILURE &&
                  static_cast<int>(tarvel::EventKind::Dropped) == TARVEL_EVENT_DROPPED &&
                  static_cast<int>(tarvel::EventKind::Answer) == TARVEL_EVENT_ANSWER &&
                  static_cast<int>(tarvel::EventKind::Notice) == TARVEL_EVENT_NOTICE,
              "the event kinds are numbered as the header says");

// The link's status text in place, or the empty text for no link.
const tarvel_wchar* StatusOf(TarvelLink* link) {
  return link != nullptr ? Outward(link->state.Reports().StatusPointer())
                         : tarvel::c_api::NoStatus();
}

// Takes the link's next event; its kind, its text and its peer copied out.
int NextEvent(TarvelLink* link, int timeoutMs, tarvel_wchar* text, int capacity, tarvel_wchar* peer,
              int peerCapacity) {
  CopyOut(std::u16string(), text, capacity);
  CopyOut(std::u16string(), peer, peerCapacity);
  return Guarded(link, TARVEL_EVENT_NONE, [&](tarvel::LinkState& s) {
    std::optional<tarvel::Event> event =
        s.Reports().Events().Next(std::chrono::milliseconds(timeoutMs));
    if (!event) return TARVEL_EVENT_NONE;
    CopyOut(event->text, text, capacity);
    CopyOut(tarvel::Utf8ToUtf16(event->peer), peer, peerCapacity);
    return static_cast<int>(event->kind);
  });
}

// The host's text in UTF-8; a null pointer is the empty text.
std::string Utf8(const tarvel_wchar* text) {
  std::optional<std::u16string_view> wide = tarvel::HostText(Inward(text));
  return wide ? tarvel::Utf16ToUtf8(*wide) : std::string();
}

}  // namespace

TARVEL_EXPORT TarvelLink* TARVEL_CALL TarvelLinkCreate(void) {
  try {
    tarvel::ClearLastFailure();
    return new TarvelLink(std::make_shared<tarvel::LinkSettings>());
  } catch (...) {
    try {
      tarvel::SetLastFailure(u"cannot make a link: out of memory");
    } catch (...) {
    }
    return nullptr;
  }
}

TARVEL_EXPORT void TARVEL_CALL TarvelLinkDestroy(TarvelLink* link) {
  if (link == nullptr) return;
  try {
    // Stops the listener first: a file it is receiving is discarded when the
    // port closes under it, and a file it is sending stops short.
    link->state.Slot().StopListeners();
    link->state.Bluetooth().AbandonConnect();
    link->state.Slot().ReplacePort(nullptr);
    link->state.Reports().Events().Wake();
  } catch (...) {
  }
  delete link;
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkSet(TarvelLink* link, const tarvel_wchar* key,
                                            const tarvel_wchar* value) {
  return Guarded(link, 0, [&](tarvel::LinkState&) {
    std::string why;
    std::string value8 = Utf8(value);
    std::optional<std::string> name = tarvel::CheckedSettingName(Utf8(key), value8, &why);
    if (!name) {
      tarvel::SetLastFailure(tarvel::Utf8ToStatus("cannot set up the link: " + why));
      return 0;
    }
    link->settings->Put(*name, value8);
    return tarvel::kDone;
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkPortOpen(TarvelLink* link, int port) {
  return Guarded(link, tarvel::kPortUnavailable,
                 [&](tarvel::LinkState& s) { return tarvel::PortOpen(s, port); });
}

TARVEL_EXPORT const tarvel_wchar* TARVEL_CALL TarvelLinkPortRead(TarvelLink* link) {
  return Outward(Guarded(link, Inward(StatusOf(link)),
                         [](tarvel::LinkState& s) { return tarvel::PortRead(s); }));
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkPortClose(TarvelLink* link) {
  return Guarded(link, tarvel::kDone, [](tarvel::LinkState& s) { return tarvel::PortClose(s); });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkPortSend(TarvelLink* link, const tarvel_wchar* text) {
  return Guarded(link, tarvel::kDone,
                 [&](tarvel::LinkState& s) { return tarvel::PortSend(s, Inward(text)); });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkPortCreate(TarvelLink* link) {
  return Guarded(link, tarvel::kDone, [](tarvel::LinkState& s) { return tarvel::PortCreate(s); });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkServer(TarvelLink* link) {
  return Guarded(link, tarvel::kDone, [](tarvel::LinkState& s) { return tarvel::Server(s); });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkSendFile(TarvelLink* link, const tarvel_wchar* localPath,
                                                 const tarvel_wchar* remoteName) {
  return Guarded(link, tarvel::kDone, [&](tarvel::LinkState& s) {
    return tarvel::SendFile(s, Inward(localPath), Inward(remoteName));
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkGetFile(TarvelLink* link, const tarvel_wchar* localSavePath,
                                                const tarvel_wchar* remoteName) {
  return Guarded(link, tarvel::kDone, [&](tarvel::LinkState& s) {
    return tarvel::GetFile(s, Inward(localSavePath), Inward(remoteName));
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkListFiles(TarvelLink* link, const tarvel_wchar* pattern) {
  return Guarded(link, tarvel::kDone,
                 [&](tarvel::LinkState& s) { return tarvel::ListFiles(s, Inward(pattern)); });
}

TARVEL_EXPORT const tarvel_wchar* TARVEL_CALL TarvelLinkCheckText(TarvelLink* link, int blank) {
  return Outward(Guarded(link, Inward(StatusOf(link)),
                         [&](tarvel::LinkState& s) { return tarvel::CheckText(s, blank); }));
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkStatusCopy(TarvelLink* link, tarvel_wchar* buffer,
                                                   int capacity) {
  CopyOut(std::u16string(), buffer, capacity);
  return Guarded(link, 0, [&](tarvel::LinkState& s) {
    return CopyOut(s.Reports().Status(), buffer, capacity);
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkProgress(TarvelLink* link, long long* done,
                                                 long long* total) {
  if (done != nullptr) *done = 0;
  if (total != nullptr) *total = 0;
  return Guarded(link, 0, [&](tarvel::LinkState& s) {
    long long doneNow = 0, totalNow = 0;
    s.Reports().Progress(doneNow, totalNow);
    if (done != nullptr) *done = doneNow;
    if (total != nullptr) *total = totalNow;
    return totalNow > 0 || doneNow > 0 ? 1 : 0;
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkNextEvent(TarvelLink* link, int timeoutMs,
                                                  tarvel_wchar* text, int capacity) {
  return NextEvent(link, timeoutMs, text, capacity, nullptr, 0);
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkIncomingPort(TarvelLink* link) {
  return Guarded(link, 0,
                 [](tarvel::LinkState& s) { return s.Bluetooth().IncomingPortExists() ? 1 : 0; });
}

TARVEL_EXPORT void TARVEL_CALL TarvelLinkStopWaiting(TarvelLink* link) {
  Guarded(link, 0, [](tarvel::LinkState& s) {
    s.Reports().Events().Wake();
    return 0;
  });
}

TARVEL_EXPORT int TARVEL_CALL TarvelLinkNextPeerEvent(TarvelLink* link, int timeoutMs,
                                                      tarvel_wchar* text, int capacity,
                                                      tarvel_wchar* peer, int peerCapacity) {
  return NextEvent(link, timeoutMs, text, capacity, peer, peerCapacity);
}
