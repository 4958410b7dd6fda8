#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building and testing Tarvel needs, when
# any are missing. Run as root (or with sudo available).
set -euo pipefail

# libsystemd-dev: sd-bus, through which the library reaches BlueZ.
# libbluetooth-dev: BlueZ's SDP client, which finds a peer's serial port. dbus-daemon,
# python3-dbus and python3-gi: the private bus and the stand-in for bluetoothd
# that the Bluetooth tests run against. mono-mcs, mono-runtime, python3-pytest:
# the C# binding's test host and the Python binding's tests. bash-completion:
# the helpers that the completion of tarvel is tested with.
packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libcli11-dev
  libsystemd-dev libbluetooth-dev dbus-daemon python3-dbus python3-gi
  mono-mcs mono-runtime python3-pytest bash-completion "$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "Installing: ${missing[*]}"
run_as_root apt-get -o DPkg::Lock::Timeout=900 update -qq
DEBIAN_FRONTEND=noninteractive run_as_root apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}"
