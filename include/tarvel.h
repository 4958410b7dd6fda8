/*
 * SPDX-License-Identifier: MIT
 * tarvel.h - move files and short texts between two devices over a serial link.
 *
 * Rules of this interface:
 *  - Every function is safe to call from any thread; none throws, prints or exits.
 *  - Wide text is a zero-terminated string of 16-bit UTF-16 units (tarvel_wchar).
 *    Names and patterns that go on the wire are converted to the link's 8-bit
 *    code page exactly: one the code page cannot hold, an empty name, or one
 *    holding "|" or a control character is refused ("FAIL: ...") before
 *    anything is written. Texts are converted with '?' for what the code page
 *    lacks. Local paths (a file to send, a save path) are the host's native
 *    paths, used as given.
 *  - Every int-returning function returns 999 for "done", whatever happened;
 *    TarvelPortOpen alone returns 1 when the port cannot be opened. The outcome of
 *    a call is reported in the status text, which TarvelCheckText and
 *    TarvelPortRead return. Failures the library detects read "FAIL: <reason>".
 *    Every result is also queued as an event (TarvelNextEvent), and whether
 *    the calling thread's own last call failed is kept apart from both
 *    (TarvelLastFailure): the status text holds one result at a time, and the
 *    listener may replace it before the host has read it.
 *  - The returned status pointer is the same for the library's whole life; its
 *    content is replaced by later calls and by the listener thread.
 */
#ifndef TARVEL_H
#define TARVEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* 16-bit text units: wchar_t on Windows, so a host passes LPCWSTR as it is. */
#ifndef __cplusplus
#include <stddef.h>
#include <uchar.h>
#endif
#ifdef _WIN32
typedef wchar_t tarvel_wchar;
#else
typedef char16_t tarvel_wchar;
#endif

/* The calling convention of every function here, as WINAPI is for Windows'
 * own: __stdcall on 32-bit x86 Windows, where a .NET host's [DllImport] that
 * names none calls so; the platform's only convention everywhere else. A host
 * that declares its own function pointers to these functions gives them
 * TARVEL_CALL too: int (TARVEL_CALL *open)(int) = TarvelPortOpen; */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define TARVEL_CALL __stdcall
#else
#define TARVEL_CALL
#endif

#define TARVEL_DONE 999
#define TARVEL_PORT_UNAVAILABLE 1

/* Opens serial port number `port` (device "COM<port>:") with the link's fixed
 * line settings, closing a port opened earlier. 999, or 1 when it cannot open. */
int TARVEL_CALL TarvelPortOpen(int port);

/* Takes what is waiting on the port without a listener: a text, or a whole file
 * announced by a file header. Returns the status text, which then holds the
 * text, the received file's name, or the empty text when nothing was waiting. */
const tarvel_wchar* TARVEL_CALL TarvelPortRead(void);

/* Closes the port. A running listener keeps polling and picks up the next open. */
int TARVEL_CALL TarvelPortClose(void);

/* Writes `text` (at most 199 bytes in the link's code page) as one message. */
int TARVEL_CALL TarvelPortSend(const tarvel_wchar* text);

/* Registers the incoming Bluetooth serial port settings, and with a Bluetooth
 * service on the system (BlueZ on Linux) the incoming port itself, once per
 * process. Opens no port. */
int TARVEL_CALL TarvelPortCreate(void);

/* Starts the background listener that receives files, shows texts and answers
 * the peer's get and list requests. Call it once. */
int TARVEL_CALL TarvelServer(void);

/* Sends the local file `localPath` to the peer, announced as `remoteName`.
 * Returns when the last byte has been written; status "SENT: <localPath>".
 * Exactly the size announced goes out, however the file grows meanwhile. A
 * file that yields fewer bytes fails, and then nothing is written on the port
 * for 11 s, until the peer has discarded the incomplete file: sends, texts and
 * requests made meanwhile wait for that, then go out. */
int TARVEL_CALL TarvelSendFile(const tarvel_wchar* localPath, const tarvel_wchar* remoteName);

/* Asks the peer for its file `remoteName`; the listener saves the answer, the
 * file announced under that name, at `localSavePath` (or under the received
 * name when it is empty). Each request keeps its own path until its answer
 * comes or TarvelServer is called; any other incoming file is saved under its
 * own name. The saved answer is reported as TARVEL_EVENT_ANSWER. */
int TARVEL_CALL TarvelGetFile(const tarvel_wchar* localSavePath, const tarvel_wchar* remoteName);

/* Asks the peer to list the entries matching `pattern` into its "\Tarvel.txt". */
int TARVEL_CALL TarvelListFiles(const tarvel_wchar* pattern);

/* Returns the status text; `blank` equal to 1 first replaces it with " ". */
const tarvel_wchar* TARVEL_CALL TarvelCheckText(int blank);

/* Additions of this library, beside the ten above (on Windows at ordinals 13
 * to 18, in the order they stand here). */

/* Copies the status text, terminator included, into `buffer` under the
 * library's lock: reading the text in place through the pointer above can see
 * it half-replaced by the listener. Copies at most `capacity` units (always
 * terminated when `capacity` > 0) and returns the text's full length without
 * the terminator, so a result >= `capacity` means the copy was cut. */
int TARVEL_CALL TarvelStatusCopy(tarvel_wchar* buffer, int capacity);

/* Reports the bytes done and announced of the file transfer in progress, sent
 * or received. Returns 1 while one is in progress, else 0 with both set to 0.
 * Either pointer may be null. */
int TARVEL_CALL TarvelProgress(long long* done, long long* total);

/* The kinds of event that TarvelNextEvent returns, and the text each carries. */
#define TARVEL_EVENT_NONE 0         /* no event came within the time-out */
#define TARVEL_EVENT_RECEIVED 1     /* the listener saved a pushed file: its path */
#define TARVEL_EVENT_SENT 2         /* TarvelSendFile sent a file: its local path */
#define TARVEL_EVENT_GET_ANSWERED 3 /* the peer's get request was answered: the name */
#define TARVEL_EVENT_LISTED 4       /* the peer's list request was handled: the pattern */
#define TARVEL_EVENT_PEER_TEXT 5    /* the listener received a text: the text */
#define TARVEL_EVENT_POLLED_TEXT 6  /* TarvelPortRead took a text: the text */
#define TARVEL_EVENT_POLLED_FILE 7  /* TarvelPortRead saved a file: its name */
#define TARVEL_EVENT_FAILURE 8      /* something failed: the reason */
#define TARVEL_EVENT_DROPPED 9      /* events lost to a full queue: their count */
/* The listener saved the answer to this host's own get request (the first
 * file announced under the requested name, exactly as it went on the wire,
 * after the request): its save path, or the name it was saved under when the
 * save path was empty. The status shows "RECV: <path>" for it as for any file.
 * Only the listener's own pending requests produce it: a file the peer pushes
 * unasked is TARVEL_EVENT_RECEIVED, whatever its name, so no name a peer picks
 * can pass for an answer. A failed answer is a TARVEL_EVENT_FAILURE. */
#define TARVEL_EVENT_ANSWER 10
/* Something the host may show that is neither a result nor a failure (a wait
 * and its reason, a Bluetooth service gone or back): the text. */
#define TARVEL_EVENT_NOTICE 11

/* Takes the next event from the library's ordered queue of results: every
 * result that the status text shows is queued as well, so none is lost when
 * two come between two looks, and a peer's text that reads like a result
 * arrives as a text. Waits up to `timeoutMs` milliseconds for one (0: do not
 * wait; negative: wait without limit). Returns its kind, copying its text into
 * `text` as TarvelStatusCopy does (a buffer of 2000 units always holds it), or
 * TARVEL_EVENT_NONE when none came. The queue keeps the newest 256 events; when
 * older ones had to go, a TARVEL_EVENT_DROPPED event comes first. */
int TARVEL_CALL TarvelNextEvent(int timeoutMs, tarvel_wchar* text, int capacity);

/* Whether the calling thread's last call of this library failed: 1, copying
 * the reason into `text` (as TarvelStatusCopy does), or 0. Every other
 * function sets it, as GetLastError is set on Windows, so a host learns its
 * own call's outcome even when the listener has replaced the status since. */
int TARVEL_CALL TarvelLastFailure(tarvel_wchar* text, int capacity);

/* Returns 1 when TarvelPortCreate has registered the incoming Bluetooth serial
 * port with the system's Bluetooth service (BlueZ on Linux), else 0. From then
 * on port 0 is that port, unless TARVEL_COM0 names a device: it opens at once,
 * and the peer that connects is on it. */
int TARVEL_CALL TarvelIncomingPort(void);

/* Ends a TarvelNextEvent that is waiting, on any thread, which then returns
 * TARVEL_EVENT_NONE; when none is waiting, the next call of TarvelNextEvent
 * returns at once. A host that stops (on Ctrl-C, say) ends its event thread's
 * wait with it, and needs no time-out to look at a flag of its own. */
void TARVEL_CALL TarvelStopWaiting(void);

/* Links as objects. A TarvelLink is one link of its own: its own port,
 * listener, status text, events, pending requests and settings, so that one
 * process can drive several devices at once. The functions above drive one
 * default link, whose settings are read from the environment (TARVEL_ROOT,
 * TARVEL_COM<n>, ...) once, when it is first used; a TarvelLink reads no
 * environment and takes its settings from TarvelLinkSet alone. A link may be
 * used from any thread, and every twin below behaves as the function of the
 * same name without "Link" does for the default link. TarvelLastFailure serves
 * every link: it is the calling thread's own last call, whichever link that
 * call was made on. (On Windows the functions below follow the additions
 * above, from ordinal 19 on, in the order they stand here.) */
typedef struct TarvelLink TarvelLink;

/* Makes a link with no port open, no listener and no setting made; null only
 * when memory is exhausted. */
TarvelLink* TARVEL_CALL TarvelLinkCreate(void);

/* Closes the link's port, stops its listener and any transfer of its in
 * progress (a file being received is discarded, one being sent stops short),
 * ends every wait on its events, and frees it. The link must not be used
 * after, nor be in use on another thread while it is destroyed. Null is
 * ignored. */
void TARVEL_CALL TarvelLinkDestroy(TarvelLink* link);

/* Makes one setting of the link: `key` is the name of the environment
 * variable that sets it for the default link, without "TARVEL_", in lower
 * case: "com<n>" (the device of port n), "root", "codepage", "registry",
 * "on_clash", "create_folders", "line_records", and "peers" (how many
 * Bluetooth peers the link's incoming port serves at once; 1 when not set,
 * and always 1 for the default link, whose port 0 takes one peer at a time).
 * An empty or null value removes the setting. Returns 999 when the setting is
 * taken, 0 when it is refused (an unknown key, a value it cannot hold), with
 * the reason in TarvelLastFailure. A setting applies from the next call that
 * uses it; the port a link has open keeps the device it was opened on. */
int TARVEL_CALL TarvelLinkSet(TarvelLink* link, const tarvel_wchar* key, const tarvel_wchar* value);

int TARVEL_CALL TarvelLinkPortOpen(TarvelLink* link, int port);
const tarvel_wchar* TARVEL_CALL TarvelLinkPortRead(TarvelLink* link);
int TARVEL_CALL TarvelLinkPortClose(TarvelLink* link);
int TARVEL_CALL TarvelLinkPortSend(TarvelLink* link, const tarvel_wchar* text);
int TARVEL_CALL TarvelLinkPortCreate(TarvelLink* link);
int TARVEL_CALL TarvelLinkServer(TarvelLink* link);
int TARVEL_CALL TarvelLinkSendFile(TarvelLink* link, const tarvel_wchar* localPath,
                                   const tarvel_wchar* remoteName);
int TARVEL_CALL TarvelLinkGetFile(TarvelLink* link, const tarvel_wchar* localSavePath,
                                  const tarvel_wchar* remoteName);
int TARVEL_CALL TarvelLinkListFiles(TarvelLink* link, const tarvel_wchar* pattern);
/* The pointer is the link's own status text, the same for the link's life. */
const tarvel_wchar* TARVEL_CALL TarvelLinkCheckText(TarvelLink* link, int blank);
int TARVEL_CALL TarvelLinkStatusCopy(TarvelLink* link, tarvel_wchar* buffer, int capacity);
int TARVEL_CALL TarvelLinkProgress(TarvelLink* link, long long* done, long long* total);
int TARVEL_CALL TarvelLinkNextEvent(TarvelLink* link, int timeoutMs, tarvel_wchar* text,
                                    int capacity);
int TARVEL_CALL TarvelLinkIncomingPort(TarvelLink* link);
void TARVEL_CALL TarvelLinkStopWaiting(TarvelLink* link);

/* As TarvelLinkNextEvent, and copies the address of the Bluetooth peer that
 * the event concerns into `peer` (as TarvelStatusCopy does; 18 units hold
 * it), or the empty text when it concerns no one peer. With "peers" above 1,
 * TarvelLinkServer serves every peer that connects to the incoming port, up
 * to that many at once, each on a link of its own made inside the library,
 * and their events all come to this link's queue with their peer. The first
 * peer to connect while this link's own port 0 has none takes that port: the
 * host's own calls on this link (send, get, list, text) go to that peer, as
 * on a link serving one peer, and when it leaves, the next peer to connect
 * takes the port. The other peers' links answer their peers' requests alone;
 * each keeps the listing its peer asks for apart from every other peer's,
 * and serves it to that peer's get of "\Tarvel.txt". One peer over the limit
 * is refused, and a peer that leaves frees its place at once. */
int TARVEL_CALL TarvelLinkNextPeerEvent(TarvelLink* link, int timeoutMs, tarvel_wchar* text,
                                        int capacity, tarvel_wchar* peer, int peerCapacity);

#ifdef __cplusplus
}
#endif

#endif /* TARVEL_H */
