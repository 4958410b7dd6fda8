#!/bin/sh
# SPDX-License-Identifier: MIT
# The first process of a test guest (no systemd): mounts the kernel's file
# systems and the shared source tree, runs the guest's script from there
# (tarvel_guest=PATH in the source tree; the Bluetooth steps, tests/vm/guest.sh,
# by default), and powers the machine off whatever it did. The script lives in
# the shared tree, so that changing it does not call for a new root.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
# Kernel messages stay off the console from here on: it carries the results.
dmesg -n 1
modprobe 9pnet_virtio
modprobe 9p
repo=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^tarvel_repo=//p')
script=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^tarvel_guest=//p')
mkdir -p "$repo"
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro tarvelrepo "$repo"; then
  /bin/bash "$repo/${script:-tests/vm/guest.sh}"
else
  echo "[vm] FAIL mount the shared source tree"
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
