/* SPDX-License-Identifier: MIT */
#define _GNU_SOURCE
#include "c_cable.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { kLaneCapacity = 1 << 16, kPollMs = 20 };

/* One direction: bytes read from one master wait here until the other takes them. */
typedef struct Lane {
  char bytes[kLaneCapacity];
  size_t start, end;
} Lane;

static int OpenPair(CCable* cable, int side) {
  struct termios raw;
  if (openpty(&cable->master[side], &cable->slave[side], cable->path[side], NULL, NULL) != 0) {
    return -1;
  }
  if (tcgetattr(cable->slave[side], &raw) != 0) return -1;
  cfmakeraw(&raw);
  if (tcsetattr(cable->slave[side], TCSANOW, &raw) != 0) return -1;
  return fcntl(cable->master[side], F_SETFL, O_NONBLOCK);
}

static void Fill(Lane* lane, int from) {
  ssize_t got;
  if (lane->end == kLaneCapacity) return;
  got = read(from, lane->bytes + lane->end, kLaneCapacity - lane->end);
  if (got > 0) lane->end += (size_t)got;
}

static void Drain(Lane* lane, int to) {
  while (lane->start < lane->end) {
    ssize_t put = write(to, lane->bytes + lane->start, lane->end - lane->start);
    if (put <= 0) return;
    lane->start += (size_t)put;
  }
  /* Emptied: the whole lane takes bytes again. */
  lane->start = lane->end = 0;
}

static void* Relay(void* argument) {
  CCable* cable = argument;
  Lane* out = malloc(2 * sizeof(Lane));
  if (out == NULL) return NULL;
  out[0].start = out[0].end = out[1].start = out[1].end = 0;
  while (!atomic_load(&cable->stop)) {
    struct pollfd fds[2];
    int side;
    for (side = 0; side < 2; ++side) {
      fds[side].fd = cable->master[side];
      fds[side].events = (short)((out[side].end < kLaneCapacity ? POLLIN : 0) |
                                 (out[1 - side].start < out[1 - side].end ? POLLOUT : 0));
      fds[side].revents = 0;
    }
    /* Waiting bytes are retried at each turn: a pty can make room without
     * waking its pollers. */
    if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) break;
    for (side = 0; side < 2; ++side) {
      if (fds[side].revents & POLLIN) Fill(&out[side], cable->master[side]);
    }
    Drain(&out[0], cable->master[1]);
    Drain(&out[1], cable->master[0]);
  }
  free(out);
  return NULL;
}

int CCableOpen(CCable* cable) {
  memset(cable, 0, sizeof *cable);
  cable->master[0] = cable->master[1] = cable->slave[0] = cable->slave[1] = -1;
  if (OpenPair(cable, 0) != 0 || OpenPair(cable, 1) != 0) return -1;
  atomic_store(&cable->stop, 0);
  if (pthread_create(&cable->relay, NULL, Relay, cable) != 0) return -1;
  return 0;
}

void CCableClose(CCable* cable) {
  int side;
  atomic_store(&cable->stop, 1);
  pthread_join(cable->relay, NULL);
  for (side = 0; side < 2; ++side) {
    close(cable->master[side]);
    close(cable->slave[side]);
  }
}
