/* SPDX-License-Identifier: MIT
 * Two links in one process, each with its own root and its own cable to a peer
 * of its own (two more links on the cables' other ends), move files both ways
 * at once: each file arrives byte for byte, and each link's events and status
 * are its own. Written in C, as a C host uses the interface. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "c_cable.h"
#include "tarvel.h"

enum {
  kText = 2000,
  kPathCapacity = 512,
  kRootCapacity = 256,
  kFileSize = 300 * 1024,
  kWaitMs = 30000
};

static int failures = 0;

#define CHECK(condition, ...)                                         \
  do {                                                                \
    if (!(condition)) {                                               \
      fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #condition); \
      fprintf(stderr, __VA_ARGS__);                                   \
      fputc('\n', stderr);                                            \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

/* ASCII to the interface's wide text. */
static void Widen(const char* text, tarvel_wchar* wide) {
  size_t at = 0;
  do {
    wide[at] = (tarvel_wchar)(unsigned char)text[at];
  } while (text[at++] != '\0');
}

/* The interface's wide text (ASCII here) back to 8 bits. */
static void Narrow(const tarvel_wchar* wide, char* text, size_t capacity) {
  size_t at = 0;
  for (; wide[at] != 0 && at + 1 < capacity; ++at) text[at] = (char)wide[at];
  text[at] = '\0';
}

static int Set(TarvelLink* link, const char* key, const char* value) {
  tarvel_wchar wideKey[64], wideValue[kPathCapacity];
  Widen(key, wideKey);
  Widen(value, wideValue);
  return TarvelLinkSet(link, wideKey, wideValue);
}

static void WriteFile(const char* path, const unsigned char* bytes, size_t size) {
  FILE* file = fopen(path, "wb");
  if (file == NULL || fwrite(bytes, 1, size, file) != size) abort();
  fclose(file);
}

/* Whether the file at `path` holds exactly `bytes`. */
static int SameContent(const char* path, const unsigned char* bytes, size_t size) {
  unsigned char* read = malloc(size + 1);
  FILE* file = fopen(path, "rb");
  size_t got = 0;
  int same = 0;
  if (read != NULL && file != NULL) {
    got = fread(read, 1, size + 1, file);
    same = got == size && memcmp(read, bytes, size) == 0;
  }
  if (file != NULL) fclose(file);
  free(read);
  return same;
}

/* Waits for the link's next event of `kind`, its text in `text`; 0 when none
 * came in time. Every other event on the way is kept in `seen` for the checks
 * that a link holds only its own. */
typedef struct Seen {
  char texts[64][kPathCapacity];
  int count;
} Seen;

static int WaitFor(TarvelLink* link, int kind, char* text, Seen* seen) {
  tarvel_wchar wide[kText];
  int waited;
  for (waited = 0; waited < kWaitMs; waited += 100) {
    int got = TarvelLinkNextEvent(link, 100, wide, kText);
    if (got == TARVEL_EVENT_NONE) continue;
    Narrow(wide, text, kPathCapacity);
    if (seen->count < 64) strcpy(seen->texts[seen->count++], text);
    if (got == kind) return 1;
    fprintf(stderr, "(event %d on the way: %s)\n", got, text);
  }
  return 0;
}

/* One side of the test: a link and its peer on the two ends of one cable. */
typedef struct Pair {
  const char* name;
  CCable cable;
  char root[kRootCapacity], peerRoot[kRootCapacity];
  TarvelLink* link;
  TarvelLink* peer;
  unsigned char pushed[kFileSize], fetched[kFileSize];
  Seen linkSeen, peerSeen;
  int ok;
} Pair;

static TarvelLink* MakeLink(const char* root, const char* device) {
  TarvelLink* link = TarvelLinkCreate();
  if (link == NULL) abort();
  CHECK(Set(link, "root", root) == TARVEL_DONE, "root %s", root);
  CHECK(Set(link, "com1", device) == TARVEL_DONE, "com1 %s", device);
  CHECK(TarvelLinkPortOpen(link, 1) == TARVEL_DONE, "open %s", device);
  CHECK(TarvelLinkServer(link) == TARVEL_DONE, "server");
  return link;
}

static void SetUp(Pair* pair, const char* top, const char* name, unsigned seed) {
  size_t at;
  char path[kPathCapacity];
  pair->name = name;
  snprintf(pair->root, sizeof pair->root, "%s/%s-host", top, name);
  snprintf(pair->peerRoot, sizeof pair->peerRoot, "%s/%s-peer", top, name);
  mkdir(pair->root, 0700);
  mkdir(pair->peerRoot, 0700);
  srand(seed);
  for (at = 0; at < kFileSize; ++at) {
    pair->pushed[at] = (unsigned char)rand();
    pair->fetched[at] = (unsigned char)rand();
  }
  snprintf(path, sizeof path, "%s/push.bin", pair->root);
  WriteFile(path, pair->pushed, kFileSize);
  snprintf(path, sizeof path, "%s/fetch.bin", pair->peerRoot);
  WriteFile(path, pair->fetched, kFileSize);
  if (CCableOpen(&pair->cable) != 0) abort();
  pair->link = MakeLink(pair->root, pair->cable.path[0]);
  pair->peer = MakeLink(pair->peerRoot, pair->cable.path[1]);
}

/* Pushes the host's file to the peer and fetches the peer's file. */
static void* Exchange(void* argument) {
  Pair* pair = argument;
  char path[kPathCapacity], text[kPathCapacity];
  tarvel_wchar local[kPathCapacity], remote[64];
  snprintf(path, sizeof path, "%s/push.bin", pair->root);
  Widen(path, local);
  Widen("\\pushed.bin", remote);
  TarvelLinkSendFile(pair->link, local, remote);
  snprintf(path, sizeof path, "%s/fetched.bin", pair->root);
  Widen(path, local);
  Widen("\\fetch.bin", remote);
  TarvelLinkGetFile(pair->link, local, remote);

  pair->ok = WaitFor(pair->link, TARVEL_EVENT_SENT, text, &pair->linkSeen);
  pair->ok &= WaitFor(pair->link, TARVEL_EVENT_ANSWER, text, &pair->linkSeen);
  pair->ok &= strcmp(text, path) == 0;
  pair->ok &= WaitFor(pair->peer, TARVEL_EVENT_RECEIVED, text, &pair->peerSeen);
  pair->ok &= WaitFor(pair->peer, TARVEL_EVENT_GET_ANSWERED, text, &pair->peerSeen);
  return NULL;
}

/* Whether any event text of `seen` names `root`. */
static int Mentions(const Seen* seen, const char* root) {
  int at;
  for (at = 0; at < seen->count; ++at) {
    if (strstr(seen->texts[at], root) != NULL) return 1;
  }
  return 0;
}

static void Check(Pair* pair, Pair* other) {
  char path[kPathCapacity];
  tarvel_wchar status[kText];
  char shown[kPathCapacity];
  CHECK(pair->ok, "%s: every event of the exchange came", pair->name);
  snprintf(path, sizeof path, "%s/pushed.bin", pair->peerRoot);
  CHECK(SameContent(path, pair->pushed, kFileSize), "%s: pushed file intact", pair->name);
  snprintf(path, sizeof path, "%s/fetched.bin", pair->root);
  CHECK(SameContent(path, pair->fetched, kFileSize), "%s: fetched file intact", pair->name);
  /* Nothing of the other pair reached this pair's links. */
  CHECK(!Mentions(&pair->linkSeen, other->root) && !Mentions(&pair->peerSeen, other->root) &&
            !Mentions(&pair->peerSeen, other->peerRoot),
        "%s: an event of the other link", pair->name);
  /* The host link's status shows its own last result: the fetched file. */
  TarvelLinkStatusCopy(pair->link, status, kText);
  Narrow(status, shown, sizeof shown);
  snprintf(path, sizeof path, "RECV: %s/fetched.bin", pair->root);
  CHECK(strcmp(shown, path) == 0, "%s: status %s", pair->name, shown);
}

static Pair first, second;

int main(void) {
  char top[] = "/tmp/tarvel-two-links-XXXXXX";
  pthread_t threads[2];
  if (mkdtemp(top) == NULL) return 1;
  SetUp(&first, top, "first", 1);
  SetUp(&second, top, "second", 2);
  CHECK(TarvelLinkCheckText(first.link, 0) != TarvelLinkCheckText(second.link, 0),
        "each link has a status text of its own");

  pthread_create(&threads[0], NULL, Exchange, &first);
  pthread_create(&threads[1], NULL, Exchange, &second);
  pthread_join(threads[0], NULL);
  pthread_join(threads[1], NULL);
  Check(&first, &second);
  Check(&second, &first);

  TarvelLinkDestroy(first.link);
  TarvelLinkDestroy(first.peer);
  TarvelLinkDestroy(second.link);
  TarvelLinkDestroy(second.peer);
  CCableClose(&first.cable);
  CCableClose(&second.cable);
  if (failures == 0) {
    char command[kPathCapacity + 16];
    snprintf(command, sizeof command, "rm -rf '%s'", top);
    if (system(command) != 0) fprintf(stderr, "could not remove %s\n", top);
  }
  return failures == 0 ? 0 : 1;
}
