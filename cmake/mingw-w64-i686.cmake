# Cross build for 32-bit x86 Windows with Debian's MinGW-w64 compilers, for
# hosts that run as 32-bit processes (a .NET Framework program built for x86,
# say). The -posix variants are the ones whose C++ library has std::thread.
# Programs built here run under Wine's 32-bit loader, through wine-run.sh, with
# a 32-bit Wine prefix of the build's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TARVEL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVEL_MINGW_TRIPLET}-windres)
# The import library of tarvel.dll is written by dlltool (see TarvelExports.cmake).
set(CMAKE_DLLTOOL ${TARVEL_MINGW_TRIPLET}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --win32
    ${CMAKE_BINARY_DIR}/wine)
