/* A host built against the installed library alone. It registers the
 * incoming port (into the registry file that TARVEL_REGISTRY names), tries a
 * port whose device is missing, and prints what the library reported:
 *   host PORT   (TARVEL_COM<PORT> naming a device that does not exist) */
#include <stdio.h>
#include <stdlib.h>
#include <tarvel.h>

enum { kTextCapacity = 2000 };

/* The status texts here are ASCII; anything else prints as '?'. */
static void PrintText(const char* label, const tarvel_wchar* text) {
  printf("%s: ", label);
  for (; *text != 0; ++text) putchar(*text < 128 ? (char)*text : '?');
  putchar('\n');
}

static int Fail(const char* what) {
  fprintf(stderr, "host: %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  tarvel_wchar text[kTextCapacity];
  int port = argc > 1 ? atoi(argv[1]) : 7;
  if (TarvelPortCreate() != TARVEL_DONE) return Fail("TarvelPortCreate did not return TARVEL_DONE");
  printf("incoming Bluetooth port: %d\n", TarvelIncomingPort());
  if (TarvelPortOpen(port) != TARVEL_PORT_UNAVAILABLE) return Fail("a missing device opened");
  if (!TarvelLastFailure(text, kTextCapacity)) return Fail("no failure recorded for the open");
  PrintText("last failure", text);
  TarvelStatusCopy(text, kTextCapacity);
  PrintText("status", text);
  /* The failed open is queued as an event too, after any of TarvelPortCreate. */
  int kind;
  while ((kind = TarvelNextEvent(0, text, kTextCapacity)) != TARVEL_EVENT_NONE) {
    if (kind == TARVEL_EVENT_FAILURE) {
      PrintText("failure event", text);
      return 0;
    }
  }
  return Fail("no failure event queued");
}
