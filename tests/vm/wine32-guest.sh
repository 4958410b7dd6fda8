#!/bin/bash
# SPDX-License-Identifier: MIT
# The 32-bit Windows suite's guest script, run by the guest's first process:
# copies the shared build into memory (ctest, gtest's discovery and the Wine
# prefix write into it, and the harness makes links in the prefix), makes the
# 32-bit Wine prefix, and runs the suite with ctest, printing each test as
# "[vm] PASS name" or "[vm] FAIL name: why", ctest's summary, and "[vm] DONE"
# at the end. ctest's whole log goes to the shared output folder.
set -u
cmdline_value() { tr ' ' '\n' </proc/cmdline | sed -n "s/^$1=//p"; }
build="$(cmdline_value tarvel_build)"
linux="$(cmdline_value tarvel_linux)"
repo="$(cmdline_value tarvel_repo)"
jobs="$(cmdline_value tarvel_jobs)"
suite_limit="$(cmdline_value tarvel_suite_limit)"
out=/mnt/out
export HOME=/root LC_ALL=C.UTF-8

say() { echo "[vm] $*"; }

share() { # share TAG DIR [ro|rw]
  mkdir -p "$2" && mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144,${3:-ro}" "$1" "$2"
}

# The build at its own path (the paths in it are absolute), in memory.
copy_build() {
  share tarvelbuild /mnt/build || return 1
  mkdir -p "$build" && mount -t tmpfs -o size=1536m tmpfs "$build" || return 1
  cp -a /mnt/build/. "$build/" || return 1
  rm -rf "$build/wine" "$build/wine.lock" "$build/Testing"
  umount /mnt/build
}

# A step that must succeed for the suite to run: reports its time.
setup() {
  local name="$1" started=$SECONDS
  shift
  if "$@" >/tmp/step.log 2>&1; then
    say "PASS $name ($((SECONDS - started)) s)"
    return 0
  fi
  say "FAIL $name ($((SECONDS - started)) s): $(tail -n 1 /tmp/step.log)"
  tail -n 12 /tmp/step.log | sed 's/^/[vm]   | /'
  return 1
}

# The prefix made as every test's first run would make it (wine-run.sh, under
# its lock), with Wine's server and services left running for the tests.
make_prefix() {
  /usr/lib/wine/wine --version &&
    timeout 1800 "$repo/cmake/wine-run.sh" --win32 "$build/wine" wineboot
}

# ctest's lines of finished tests as PASS or FAIL; the rest to its log only.
report_tests() {
  local line name status seconds
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$out/ctest.log"
    [[ "$line" =~ Test\ +#[0-9]+:\ ([^ ]+)\ \.*\ *(\*\*\*)?([A-Za-z][^0-9]*[^ ])\ +([0-9.]+)\ sec ]] ||
      continue
    name="${BASH_REMATCH[1]}" status="${BASH_REMATCH[3]}" seconds="${BASH_REMATCH[4]}"
    if [ "$status" = Passed ]; then
      say "PASS $name ($seconds s)"
    else
      say "FAIL $name ($seconds s): $status"
    fi
  done
}

run_suite() {
  local started=$SECONDS code
  : >"$out/ctest.log"
  timeout "$suite_limit" ctest --test-dir "$build" -j"$jobs" --output-on-failure 2>&1 |
    report_tests
  code=${PIPESTATUS[0]}
  grep -a 'tests passed\|Total Test time' "$out/ctest.log" | sed 's/^/[vm] ctest: /'
  [ "$code" -eq 124 ] && say "FAIL the suite: not finished within $suite_limit s"
  if [ "$code" -ne 0 ]; then
    grep -av 'Test \+#[0-9]\+:\|^ *Start \+[0-9]\+:' "$out/ctest.log" | tail -n 150 |
      sed 's/^/[vm]   | /'
  fi
  say "suite: $((SECONDS - started)) s"
}

if setup "share the output folder" share tarvelout "$out" rw &&
  setup "copy the build into memory" copy_build &&
  setup "share the Linux build" share tarvellinux "$linux" &&
  setup "make the 32-bit Wine prefix (wineboot)" make_prefix; then
  run_suite
  cp -a "$build/Testing/Temporary/LastTest.log" "$out/" 2>/dev/null
  WINEPREFIX="$build/wine" /usr/lib/wine/wineserver -k 2>/dev/null
fi
say DONE
