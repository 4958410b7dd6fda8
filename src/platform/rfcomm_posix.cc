// SPDX-License-Identifier: MIT
// Outgoing RFCOMM connections on Linux: BlueZ's SDP client (libbluetooth)
// asks for the peer's serial port record, sdp_answer.cc reads the channel
// out of the answer, and a Bluetooth socket of our own
// connects to it. Both connects and the search are non-blocking and waited
// for in short slices, so that a deadline or the caller's giving up ends them.
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/rfcomm.h"
#include "platform/sdp_answer.h"

namespace tarvel {
namespace {

// How often a wait looks whether the caller gave up.
constexpr int kSliceMs = 100;

RfcommResult Failed(RfcommFailure failure, std::string why) {
  return {-1, failure, std::move(why)};
}

RfcommResult FailedWith(int error) {
  return Failed(ClassifyRfcommError(error), DescribeRfcommError(error));
}

// Waits until `fd` is ready for `events`, in short slices.
RfcommResult AwaitReady(int fd, short events, RfcommDeadline deadline,
                        const std::atomic<bool>& abandoned) {
  for (;;) {
    if (abandoned.load()) return Failed(RfcommFailure::Abandoned, "given up: the port was closed");
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return FailedWith(ETIMEDOUT);
    pollfd ready{fd, events, 0};
    int got = poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), kSliceMs)));
    if (got < 0 && errno != EINTR) return FailedWith(errno);
    if (got > 0) return {fd, RfcommFailure::None, ""};
  }
}

// Waits until the connect in progress on `fd` has finished; then the
// socket's pending error says how it went.
RfcommResult AwaitConnect(int fd, RfcommDeadline deadline, const std::atomic<bool>& abandoned) {
  RfcommResult ready = AwaitReady(fd, POLLOUT, deadline, abandoned);
  if (ready.failure != RfcommFailure::None) return ready;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
  if (error != 0) return FailedWith(error);
  return {fd, RfcommFailure::None, ""};
}

// One search under way: the answer sdp_process hands to the callback.
struct Search {
  bool done = false;
  bool failed = false;
  int error = 0;
  int channel = 0;
};

void OnSearchAnswer(uint8_t type, uint16_t status, uint8_t* answer, size_t size, void* data) {
  auto* search = static_cast<Search*>(data);
  search->done = true;
  if (type == SDP_ERROR_RSP || status != 0) {
    search->failed = true;
    return;
  }
  search->channel = SerialPortChannelInAnswer(answer, size);
}

// Asks the connected SDP session for the records of the Serial Port class and
// waits for the whole answer, in slices, as for the connect.
RfcommResult SearchSerialPort(sdp_session_t* session, const std::string& address,
                              RfcommDeadline deadline, const std::atomic<bool>& abandoned) {
  Search search;
  uuid_t serialPort;
  sdp_uuid16_create(&serialPort, SERIAL_PORT_SVCLASS_ID);
  uint32_t allAttributes = 0x0000ffff;
  sdp_list_t* wanted = sdp_list_append(nullptr, &serialPort);
  sdp_list_t* attributes = sdp_list_append(nullptr, &allAttributes);
  int asked = sdp_set_notify(session, OnSearchAnswer, &search);
  if (asked == 0) {
    asked = sdp_service_search_attr_async(session, wanted, SDP_ATTR_REQ_RANGE, attributes);
  }
  int error = errno;
  sdp_list_free(wanted, nullptr);
  sdp_list_free(attributes, nullptr);
  if (asked < 0) return FailedWith(error ? error : EIO);
  while (!search.done) {
    RfcommResult readable = AwaitReady(sdp_get_socket(session), POLLIN, deadline, abandoned);
    if (readable.failure != RfcommFailure::None) return readable;
    if (sdp_process(session) < 0 && !search.done) {
      error = sdp_get_error(session);
      return Failed(RfcommFailure::Unreachable,
                    "the service search failed: " + DescribeRfcommError(error > 0 ? error : EIO));
    }
  }
  if (search.failed) {
    error = sdp_get_error(session);
    return Failed(RfcommFailure::Unreachable,
                  "the service search failed: " +
                      (error > 0 ? DescribeRfcommError(error) : "the peer answered with an error"));
  }
  if (search.channel == 0) {
    return Failed(RfcommFailure::NoSerialPort,
                  address +
                      " offers no serial port (no Serial Port record with an RFCOMM "
                      "channel in its service list)");
  }
  return {search.channel, RfcommFailure::None, ""};
}

}  // namespace

RfcommResult FindSerialPortChannel(const std::string& address, RfcommDeadline deadline,
                                   const std::atomic<bool>& abandoned) {
  bdaddr_t any{};
  bdaddr_t peer{};
  if (str2ba(address.c_str(), &peer) < 0) return FailedWith(EINVAL);
  errno = 0;
  sdp_session_t* session = sdp_connect(&any, &peer, SDP_NON_BLOCKING);
  if (!session) return FailedWith(errno ? errno : EIO);
  RfcommResult connected = AwaitConnect(sdp_get_socket(session), deadline, abandoned);
  RfcommResult found = connected.failure == RfcommFailure::None
                           ? SearchSerialPort(session, address, deadline, abandoned)
                           : connected;
  sdp_close(session);
  return found;
}

RfcommResult ConnectRfcomm(const std::string& address, int channel, RfcommDeadline deadline,
                           const std::atomic<bool>& abandoned) {
  sockaddr_rc peer{};
  peer.rc_family = AF_BLUETOOTH;
  peer.rc_channel = static_cast<uint8_t>(channel);
  if (str2ba(address.c_str(), &peer.rc_bdaddr) < 0) return FailedWith(EINVAL);
  int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM);
  if (fd < 0) return FailedWith(errno);
  // Authenticated and encrypted, as the incoming port asks of its peers.
  bt_security security{};
  security.level = BT_SECURITY_MEDIUM;
  RfcommResult result;
  if (setsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) < 0) {
    result = FailedWith(errno);
  } else if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0 &&
             errno != EINPROGRESS && errno != EAGAIN) {
    result = FailedWith(errno);
  } else {
    result = AwaitConnect(fd, deadline, abandoned);
  }
  if (result.failure != RfcommFailure::None) close(fd);
  return result;
}

RfcommFailure ClassifyRfcommError(int error) {
  switch (error) {
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
    case ESOCKTNOSUPPORT:
      return RfcommFailure::NoSockets;
    case ECONNREFUSED:
      return RfcommFailure::Refused;
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENODEV:
    case ECONNRESET:
      return RfcommFailure::Unreachable;
    case EACCES:
    case EPERM:
    case EKEYREJECTED:
      return RfcommFailure::NotAuthenticated;
    case ETIMEDOUT:
      return RfcommFailure::TimedOut;
    default:
      return RfcommFailure::Other;
  }
}

std::string DescribeRfcommError(int error) {
  switch (ClassifyRfcommError(error)) {
    case RfcommFailure::NoSockets:
      return "this system has no Bluetooth sockets (its kernel has no Bluetooth support)";
    case RfcommFailure::Refused:
      return "the peer refused the connection";
    case RfcommFailure::Unreachable:
      return std::string(
                 "the peer cannot be reached (out of range, switched off, or no "
                 "Bluetooth adapter powered on): ") +
             std::strerror(error);
    case RfcommFailure::NotAuthenticated:
      return "the link could not be authenticated and encrypted: pair the device first";
    case RfcommFailure::TimedOut:
      return "the peer did not answer in time";
    default:
      return std::strerror(error);
  }
}

}  // namespace tarvel
