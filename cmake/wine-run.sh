#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGUMENT...]
#
# The prefix is created on first use (about 8 s). Wine's server is started
# persistent, and Wine's helper services are started right after it, both with
# no inherited output: a server or helper that a test started would keep the
# test's output pipe open (CTest would then wait for it), and the server prints
# a flood of lines whenever a pty it holds is closed.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine_dir=/usr/lib/wine

mkdir -p "$prefix"
(
  flock 9
  if "$wine_dir/wineserver" -p </dev/null >/dev/null 2>&1 9>&- || [ ! -e "$prefix/system.reg" ]; then
    "$wine_dir/wine64" wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"$prefix.lock"

exec "$wine_dir/wine64" "$@"
