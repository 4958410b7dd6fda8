/* SPDX-License-Identifier: MIT
 * A virtual null-modem cable for tests written in C: two pty pairs whose
 * masters a relay thread joins, so that what a link writes on one slave the
 * link on the other slave reads. */
#ifndef TARVEL_TESTS_C_CABLE_H
#define TARVEL_TESTS_C_CABLE_H

#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>

typedef struct CCable {
  int master[2];
  int slave[2]; /* kept open, so that a master never sees a hang-up */
  char path[2][64];
  atomic_int stop;
  pthread_t relay;
} CCable;

/* Opens both pairs raw and starts the relay; 0, or -1 with errno set. */
int CCableOpen(CCable* cable);
/* Stops the relay and closes every descriptor. */
void CCableClose(CCable* cable);

#endif
