#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares Tarvel with ZMODEM (sz/rz) over a pty cable and writes
# bench/results.md (and results.png where python3-matplotlib is installed).
# Build first, optimised (the figures depend on it):
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build
# then:
#   bench/compare.sh [--quick] [--tarvel PATH] [--sizes 1,16,128] [--runs 3] ...
# See bench/compare.py --help for every option. A default run takes about
# four minutes; --quick about half a minute.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if ! command -v sz >/dev/null || ! command -v rz >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing lrzsz for sz and rz" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lrzsz
  else
    echo "sz and rz are missing: install them with 'sudo apt-get install lrzsz'" >&2
    exit 1
  fi
fi

if [ ! -x /usr/bin/time ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing time for /usr/bin/time" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time
  else
    echo "/usr/bin/time is missing: install it with 'sudo apt-get install time'" >&2
    exit 1
  fi
fi

# Debian's matplotlib lives with the system's python3, which may not be the
# first python3 on the PATH.
python=python3
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null && "$candidate" -c 'import matplotlib' 2>/dev/null; then
    python="$candidate"
    break
  fi
done

exec "$python" "$here/compare.py" "$@"
