# SPDX-License-Identifier: MIT
# 64-bit ARM Linux (Debian arm64: Raspberry Pi OS 64-bit and other boards).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(TARVEL_QEMU_CPU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
