/*
 * tarvel.h - move files and short texts between two devices over a serial link.
 *
 * Rules of this interface:
 *  - Every function is safe to call from any thread; none throws, prints or exits.
 *  - Wide text is a zero-terminated string of 16-bit UTF-16 units (tarvel_wchar).
 *    Names and texts are converted to the link's 8-bit code page before they are
 *    used on the wire or as file names.
 *  - Every int-returning function returns 999 for "done", whatever happened;
 *    TarvelPortOpen alone returns 1 when the port cannot be opened. The outcome of
 *    a call is reported in the status text, which TarvelCheckText and
 *    TarvelPortRead return. Failures the library detects read "FAIL: <reason>".
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

#define TARVEL_DONE 999
#define TARVEL_PORT_UNAVAILABLE 1

/* Opens serial port number `port` (device "COM<port>:") with the link's fixed
 * line settings, closing a port opened earlier. 999, or 1 when it cannot open. */
int TarvelPortOpen(int port);

/* Takes what is waiting on the port without a listener: a text, or a whole file
 * announced by a file header. Returns the status text, which then holds the
 * text, the received file's name, or the empty text when nothing was waiting. */
const tarvel_wchar* TarvelPortRead(void);

/* Closes the port. A running listener keeps polling and picks up the next open. */
int TarvelPortClose(void);

/* Writes `text` (at most 199 bytes in the link's code page) as one message. */
int TarvelPortSend(const tarvel_wchar* text);

/* Registers the incoming Bluetooth serial port settings, and with a Bluetooth
 * service on the system (BlueZ on Linux) the incoming port itself, once per
 * process. Opens no port. */
int TarvelPortCreate(void);

/* Starts the background listener that receives files, shows texts and answers
 * the peer's get and list requests. Call it once. */
int TarvelServer(void);

/* Sends the local file `localPath` to the peer, announced as `remoteName`.
 * Returns when the last byte has been written; status "SENT: <localPath>". */
int TarvelSendFile(const tarvel_wchar* localPath, const tarvel_wchar* remoteName);

/* Asks the peer for its file `remoteName`; the listener saves the answer under
 * `localSavePath` (or under the received name when it is empty). */
int TarvelGetFile(const tarvel_wchar* localSavePath, const tarvel_wchar* remoteName);

/* Asks the peer to list the entries matching `pattern` into its "\Tarvel.txt". */
int TarvelListFiles(const tarvel_wchar* pattern);

/* Returns the status text; `blank` equal to 1 first replaces it with " ". */
const tarvel_wchar* TarvelCheckText(int blank);

/* Additions of this library, beside the ten above (on Windows at ordinals 13 to 15). */

/* Copies the status text, terminator included, into `buffer` under the
 * library's lock: reading the text in place through the pointer above can see
 * it half-replaced by the listener. Copies at most `capacity` units (always
 * terminated when `capacity` > 0) and returns the text's full length without
 * the terminator, so a result >= `capacity` means the copy was cut. */
int TarvelStatusCopy(tarvel_wchar* buffer, int capacity);

/* Reports the bytes done and announced of the file transfer in progress, sent
 * or received. Returns 1 while one is in progress, else 0 with both set to 0.
 * Either pointer may be null. */
int TarvelProgress(long long* done, long long* total);

/* Returns 1 when TarvelPortCreate has registered the incoming Bluetooth serial
 * port with the system's Bluetooth service (BlueZ on Linux), else 0. From then
 * on port 0 is that port, unless TARVEL_COM0 names a device: it opens at once,
 * and the peer that connects is on it. */
int TarvelIncomingPort(void);

#ifdef __cplusplus
}
#endif

#endif /* TARVEL_H */
