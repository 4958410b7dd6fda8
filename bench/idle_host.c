/* SPDX-License-Identifier: MIT
 * The smallest listening host: opens port 3 (TARVEL_COM3 names its tty),
 * starts the listener and blocks on the event queue, printing each event,
 * until it is killed. It adds no wake-ups of its own, so what an idle run of
 * it costs is the library's listener alone (bench/idle_listener.py --host). */
#include <stdio.h>

#include "tarvel.h"

int main(void) {
  tarvel_wchar text[2000];
  if (TarvelPortOpen(3) != 999) {
    fprintf(stderr, "cannot open port 3\n");
    return 1;
  }
  TarvelServer();
  for (;;) {
    int kind = TarvelNextEvent(-1, text, 2000);
    printf("event %d\n", kind);
    fflush(stdout);
  }
}
