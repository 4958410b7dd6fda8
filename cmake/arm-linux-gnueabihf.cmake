# SPDX-License-Identifier: MIT
# 32-bit ARM Linux with hardware floating point (Debian armhf: 32-bit
# Raspberry Pi OS and other boards).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TARVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TARVEL_QEMU_CPU arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
