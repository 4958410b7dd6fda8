// SPDX-License-Identifier: MIT
// Reading a peer's SDP answer: the RFCOMM channel of its serial port. The
// answer comes from the remote device, so it is read as untrusted bytes, with
// every length checked and no recursion beyond the few levels the record
// format has. (libbluetooth's own record parser loops without end on some
// malformed answers, so it is not used on them.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

// The RFCOMM channel (1-30) of the first record that has one, in the
// attribute lists of an SDP ServiceSearchAttribute answer (a sequence of
// per-record attribute sequences, as the peer sent it); 0 when no record has
// one or the bytes are malformed.
int SerialPortChannelInAnswer(const uint8_t* answer, size_t size);

}  // namespace tarvel
