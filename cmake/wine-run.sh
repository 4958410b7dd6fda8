#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh [--win32] PREFIX PROGRAM [ARGUMENT...]
#
# --win32: a 32-bit x86 program, run by Wine's 32-bit loader (Debian's wine32)
# in a 32-bit prefix; otherwise a 64-bit one, by wine64 in a 64-bit prefix.
#
# The prefix is created on first use (about 8 s). Wine's server is started
# persistent, and Wine's helper services are started right after it, both with
# no inherited output: a server or helper that a test started would keep the
# test's output pipe open (CTest would then wait for it), and the server prints
# a flood of lines whenever a pty it holds is closed.
set -eu
wine_dir=/usr/lib/wine
loader=$wine_dir/wine64
if [ "$1" = --win32 ]; then
  shift
  loader=$wine_dir/wine
  export WINEARCH=win32
fi
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all

mkdir -p "$prefix"
(
  flock 9
  if "$wine_dir/wineserver" -p </dev/null >/dev/null 2>&1 9>&- || [ ! -e "$prefix/system.reg" ]; then
    "$loader" wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"$prefix.lock"

exec "$loader" "$@"
