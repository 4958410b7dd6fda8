# SPDX-License-Identifier: MIT
# Cross-building for another Debian architecture on a Debian machine, with the
# distribution's cross compiler (crossbuild-essential-<arch>) and the target's
# libraries installed through multiarch (libsystemd-dev:<arch> and so on).
# Included by a toolchain file that sets TARVEL_CROSS_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TARVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVEL_CROSS_TRIPLET}-g++)
# The triplet's pkg-config reads the .pc files of that architecture only.
set(PKG_CONFIG_EXECUTABLE /usr/bin/${TARVEL_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for the target")
# Libraries and CMake packages come from /usr/lib/<triplet>; CMake learns the
# triplet from the compiler. The build machine's programs (python3, bash,
# nm) are still found on the PATH.
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVEL_CROSS_TRIPLET})
# Test programs run under QEMU's user-mode emulator with the target's C
# library installed through multiarch (libc6:<arch>, which the -dev packages
# above bring): its loader is /lib/ld-linux-*.so.*, so the sysroot is /. (The
# C library of the cross toolchain in /usr/<triplet>, 2.36-8cross1 in Debian
# 12, hangs in pthread_create under Debian 12's QEMU 7.2.)
find_program(TARVEL_QEMU qemu-${TARVEL_QEMU_CPU} qemu-${TARVEL_QEMU_CPU}-static)
if(TARVEL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_QEMU} -L /)
endif()
