# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers. The -posix
# variants are the ones whose C++ library has std::thread. Programs built here
# run on this machine under Wine, through wine-run.sh, with a Wine prefix of the
# build's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVEL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
