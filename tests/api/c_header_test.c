/* SPDX-License-Identifier: MIT
 * The public header used from C: every function is declared and callable. */
#include "tarvel.h"

#include <stdio.h>

int main(void) {
  const tarvel_wchar* status = TarvelCheckText(0);
  if (status == NULL || status[0] != 0) {
    fprintf(stderr, "a fresh library must show the empty text\n");
    return 1;
  }
  if (TarvelCheckText(1)[0] != ' ' || TarvelPortRead() != status) {
    fprintf(stderr, "status text pointer or blanking is wrong\n");
    return 1;
  }
  /* Function pointers of every declared function, so that a wrong prototype or
   * calling convention fails to compile. (clang-format takes TARVEL_CALL for a
   * type.) */
  /* clang-format off */
  int (TARVEL_CALL *open)(int) = TarvelPortOpen;
  int (TARVEL_CALL *send)(const tarvel_wchar*) = TarvelPortSend;
  int (TARVEL_CALL *sendFile)(const tarvel_wchar*, const tarvel_wchar*) = TarvelSendFile;
  int (TARVEL_CALL *getFile)(const tarvel_wchar*, const tarvel_wchar*) = TarvelGetFile;
  int (TARVEL_CALL *list)(const tarvel_wchar*) = TarvelListFiles;
  int (TARVEL_CALL *noArgs[])(void) = {TarvelPortClose, TarvelPortCreate, TarvelServer};
  (void)open, (void)send, (void)sendFile, (void)getFile, (void)list, (void)noArgs;
  {
    /* The link as an object, and a twin of every function. */
    TarvelLink* (TARVEL_CALL *create)(void) = TarvelLinkCreate;
    void (TARVEL_CALL *destroy)(TarvelLink*) = TarvelLinkDestroy;
    int (TARVEL_CALL *set)(TarvelLink*, const tarvel_wchar*, const tarvel_wchar*) = TarvelLinkSet;
    int (TARVEL_CALL *linkOpen)(TarvelLink*, int) = TarvelLinkPortOpen;
    const tarvel_wchar* (TARVEL_CALL *linkRead)(TarvelLink*) = TarvelLinkPortRead;
    int (TARVEL_CALL *linkNoArgs[])(TarvelLink*) = {TarvelLinkPortClose, TarvelLinkPortCreate,
                                                    TarvelLinkServer, TarvelLinkIncomingPort};
    int (TARVEL_CALL *linkSend)(TarvelLink*, const tarvel_wchar*) = TarvelLinkPortSend;
    int (TARVEL_CALL *linkFiles[])(TarvelLink*, const tarvel_wchar*, const tarvel_wchar*) = {
        TarvelLinkSendFile, TarvelLinkGetFile};
    int (TARVEL_CALL *linkList)(TarvelLink*, const tarvel_wchar*) = TarvelLinkListFiles;
    const tarvel_wchar* (TARVEL_CALL *linkCheck)(TarvelLink*, int) = TarvelLinkCheckText;
    int (TARVEL_CALL *linkCopy)(TarvelLink*, tarvel_wchar*, int) = TarvelLinkStatusCopy;
    int (TARVEL_CALL *linkProgress)(TarvelLink*, long long*, long long*) = TarvelLinkProgress;
    int (TARVEL_CALL *linkNext)(TarvelLink*, int, tarvel_wchar*, int) = TarvelLinkNextEvent;
    void (TARVEL_CALL *linkStop)(TarvelLink*) = TarvelLinkStopWaiting;
    int (TARVEL_CALL *linkPeer)(TarvelLink*, int, tarvel_wchar*, int, tarvel_wchar*, int) =
        TarvelLinkNextPeerEvent;
    /* clang-format on */
    TarvelLink* link = create();
    tarvel_wchar text[64], peer[18];
    (void)set, (void)linkOpen, (void)linkRead, (void)linkNoArgs, (void)linkSend, (void)linkFiles;
    (void)linkList, (void)linkCopy, (void)linkProgress, (void)linkNext, (void)linkStop;
    if (link == NULL || linkCheck(link, 0)[0] != 0 || linkCheck(link, 0) == status ||
        linkPeer(link, 0, text, 64, peer, 18) != TARVEL_EVENT_NONE || peer[0] != 0) {
      fprintf(stderr, "a fresh link must show its own empty text and have no event\n");
      return 1;
    }
    destroy(link);
  }
  return TarvelPortClose() == TARVEL_DONE ? 0 : 1;
}
