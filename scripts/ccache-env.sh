# SPDX-License-Identifier: MIT
# Sourced by the build scripts: where ccache is installed, every CMake build
# they configure compiles through it, and a checkout anywhere else reuses the
# work of this one. Paths beneath the checkout are hashed relative to it and
# the build folder not at all, so the objects' debug information may name the
# folders of the checkout that first compiled them.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_BASEDIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  export CCACHE_BASEDIR CCACHE_NOHASHDIR=1
fi
