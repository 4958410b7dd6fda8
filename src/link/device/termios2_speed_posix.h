// SPDX-License-Identifier: MIT
// Line speeds through the kernel's termios2 interface, which takes any rate as
// a number. glibc's termios only knows a fixed set of rate constants (2.36 has
// none for 256000), and its <termios.h> cannot share a file with the kernel's
// <asm/termbits.h>, so this lives in a file of its own.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvel {

// Sets both the output and the input rate of the tty `fd` to `baud`. False
// when the device refuses the rate or runs at another one afterwards.
bool SetCustomBaudRate(int fd, uint32_t baud);

// The output rate of the tty `fd`; nothing when it cannot be read.
std::optional<uint32_t> ReadBaudRate(int fd);

}  // namespace tarvel
