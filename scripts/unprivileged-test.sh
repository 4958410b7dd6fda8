#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the port tests as an unprivileged user. Root is not bound by a tty's
# exclusive use, so the suite, run as root, cannot show that a port held by
# one open refuses another, nor that a closed port is free again at once.
#   scripts/unprivileged-test.sh [BUILD_DIR]     (default build; built already)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
# The tests that open, close and reopen ports, mid-transfer too.
tests=(serial_device_test port_control_test port_release_test fault_link_test)

# The user nobody, with no groups: it reads the build and writes only to a
# temporary folder of its own.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
chmod 0777 "$scratch"

status=0
for test in "${tests[@]}"; do
  binary="$build/tests/$test"
  [ -x "$binary" ] || { echo "missing $binary: build the tests first" >&2; exit 1; }
  log="$scratch/$test.log"
  echo "== $test as $(id -un 65534 2>/dev/null || echo 65534)"
  if ! "${as_user[@]}" env TMPDIR="$scratch" HOME="$scratch" "$binary" >"$log" 2>&1; then
    cat "$log"
    status=1
    continue
  fi
  # Every test must run here: a skipped one is the test this run exists for.
  if grep -q '^\[  SKIPPED \]' "$log"; then
    cat "$log"
    echo "FAIL: $test skipped tests as an unprivileged user" >&2
    status=1
    continue
  fi
  tail -n 1 "$log"
done
exit "$status"
