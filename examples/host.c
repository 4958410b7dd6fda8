/* A Tarvel host in C: sends one file to the peer on port N and prints every
 * event until the file has gone, or nothing came for five seconds.
 *   cc -o host host.c $(pkg-config --cflags --libs tarvel)
 *   TARVEL_COM0=/dev/ttyUSB0 ./host 0 notes.txt
 * Port N is the tty named by TARVEL_COM<N>, else /dev/rfcomm<N>. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarvel.h>

enum { kTextCapacity = 2000 };

/* UTF-8 (ASCII here, for brevity) to the library's wide text. */
static void Widen(const char* text, tarvel_wchar* wide, size_t capacity) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < capacity; ++i) wide[i] = (unsigned char)text[i];
  wide[i] = 0;
}

static void Print(const char* label, const tarvel_wchar* text) {
  printf("%s ", label);
  for (; *text != 0; ++text) putchar(*text < 128 ? (char)*text : '?');
  putchar('\n');
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT FILE\n", argv[0]);
    return 2;
  }
  tarvel_wchar text[kTextCapacity];
  if (TarvelPortOpen(atoi(argv[1])) != TARVEL_DONE) {
    TarvelLastFailure(text, kTextCapacity);
    Print("cannot open the port:", text);
    return 1;
  }
  TarvelServer(); /* receives what the peer sends, answers its requests */

  /* The peer stores the file as \<its name>. */
  const char* slash = strrchr(argv[2], '/');
  char remote[512];
  snprintf(remote, sizeof remote, "\\%s", slash ? slash + 1 : argv[2]);
  tarvel_wchar local_wide[512], remote_wide[512];
  Widen(argv[2], local_wide, 512);
  Widen(remote, remote_wide, 512);
  TarvelSendFile(local_wide, remote_wide);

  int failed = 0, kind;
  while ((kind = TarvelNextEvent(5000, text, kTextCapacity)) != TARVEL_EVENT_NONE) {
    if (kind == TARVEL_EVENT_SENT) Print("sent", text);
    else if (kind == TARVEL_EVENT_RECEIVED) Print("received", text);
    else if (kind == TARVEL_EVENT_PEER_TEXT) Print("text", text);
    else if (kind == TARVEL_EVENT_FAILURE) Print("failed:", text);
    else Print("event", text);
    if (kind == TARVEL_EVENT_FAILURE) failed = 1;
    if (kind == TARVEL_EVENT_SENT || kind == TARVEL_EVENT_FAILURE) break;
  }
  TarvelPortClose();
  return failed;
}
