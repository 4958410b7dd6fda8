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
  /* Function pointers of every declared function, so that a wrong prototype fails to compile. */
  int (*open)(int) = TarvelPortOpen;
  int (*send)(const tarvel_wchar*) = TarvelPortSend;
  int (*sendFile)(const tarvel_wchar*, const tarvel_wchar*) = TarvelSendFile;
  int (*getFile)(const tarvel_wchar*, const tarvel_wchar*) = TarvelGetFile;
  int (*list)(const tarvel_wchar*) = TarvelListFiles;
  int (*noArgs[])(void) = {TarvelPortClose, TarvelPortCreate, TarvelServer};
  (void)open, (void)send, (void)sendFile, (void)getFile, (void)list, (void)noArgs;
  return TarvelPortClose() == TARVEL_DONE ? 0 : 1;
}
