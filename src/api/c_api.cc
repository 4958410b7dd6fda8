// SPDX-License-Identifier: MIT
// The exported C interface on the default link: the ten functions and the
// additions beside them, each the twin on the link the library keeps for the
// process. No exception crosses this boundary.
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "api/c_api_support.h"
#include "platform/environment.h"

using tarvel::c_api::CopyOut;

namespace {

// The default link, made when it is first used, with the TARVEL_ variables of
// the process environment as they are then for its settings: a host sets them
// up before its first call, and a change after it cannot reach one part of the
// link and miss another. Null when it cannot be made (memory exhausted): every
// call then fails as on a null link.
//
// Never destroyed: unloading stops no listener and closes no port. On Windows
// a destructor could not even try, as the process's other threads are gone
// before a DLL's static objects go, and joining the listener would hang the
// host's exit.
TarvelLink* DefaultLink() {
  static TarvelLink* link = []() -> TarvelLink* {
    try {
      std::map<std::string, std::string> variables = tarvel::EnvironmentVariables("TARVEL_");
      // Port 0 of the flat functions takes one peer at a time, as it always
      // has: their events cannot say which peer a result concerns.
      variables.erase("TARVEL_PEERS");
      return new TarvelLink(std::make_shared<tarvel::LinkSettings>(std::move(variables)));
    } catch (...) {
      return nullptr;
    }
  }();
  return link;
}

}  // namespace

TARVEL_EXPORT int TARVEL_CALL TarvelPortOpen(int port) {
  return TarvelLinkPortOpen(DefaultLink(), port);
}

TARVEL_EXPORT const tarvel_wchar* TARVEL_CALL TarvelPortRead(void) {
  return TarvelLinkPortRead(DefaultLink());
}

TARVEL_EXPORT int TARVEL_CALL TarvelPortClose(void) {
  return TarvelLinkPortClose(DefaultLink());
}

TARVEL_EXPORT int TARVEL_CALL TarvelPortSend(const tarvel_wchar* text) {
  return TarvelLinkPortSend(DefaultLink(), text);
}

TARVEL_EXPORT int TARVEL_CALL TarvelPortCreate(void) {
  return TarvelLinkPortCreate(DefaultLink());
}

TARVEL_EXPORT int TARVEL_CALL TarvelServer(void) {
  return TarvelLinkServer(DefaultLink());
}

TARVEL_EXPORT int TARVEL_CALL TarvelSendFile(const tarvel_wchar* localPath,
                                             const tarvel_wchar* remoteName) {
  return TarvelLinkSendFile(DefaultLink(), localPath, remoteName);
}

TARVEL_EXPORT int TARVEL_CALL TarvelGetFile(const tarvel_wchar* localSavePath,
                                            const tarvel_wchar* remoteName) {
  return TarvelLinkGetFile(DefaultLink(), localSavePath, remoteName);
}

TARVEL_EXPORT int TARVEL_CALL TarvelListFiles(const tarvel_wchar* pattern) {
  return TarvelLinkListFiles(DefaultLink(), pattern);
}

TARVEL_EXPORT const tarvel_wchar* TARVEL_CALL TarvelCheckText(int blank) {
  return TarvelLinkCheckText(DefaultLink(), blank);
}

TARVEL_EXPORT int TARVEL_CALL TarvelStatusCopy(tarvel_wchar* buffer, int capacity) {
  return TarvelLinkStatusCopy(DefaultLink(), buffer, capacity);
}

TARVEL_EXPORT int TARVEL_CALL TarvelProgress(long long* done, long long* total) {
  return TarvelLinkProgress(DefaultLink(), done, total);
}

TARVEL_EXPORT int TARVEL_CALL TarvelNextEvent(int timeoutMs, tarvel_wchar* text, int capacity) {
  return TarvelLinkNextEvent(DefaultLink(), timeoutMs, text, capacity);
}

// Not guarded: asking for the last failure must not clear it. It serves every
// link, as the calling thread's own.
TARVEL_EXPORT int TARVEL_CALL TarvelLastFailure(tarvel_wchar* text, int capacity) {
  try {
    std::optional<std::u16string> reason = tarvel::LastFailure();
    CopyOut(reason.value_or(std::u16string()), text, capacity);
    return reason ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

TARVEL_EXPORT void TARVEL_CALL TarvelStopWaiting(void) {
  TarvelLinkStopWaiting(DefaultLink());
}

TARVEL_EXPORT int TARVEL_CALL TarvelIncomingPort(void) {
  return TarvelLinkIncomingPort(DefaultLink());
}
