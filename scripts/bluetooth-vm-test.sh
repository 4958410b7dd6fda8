#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs tarvel against the real Bluetooth stack: boots Debian's own kernel in a
# virtual machine with two emulated controllers (btvirt) in one real
# bluetoothd, pairs them, and runs the tarvel command of a build both ways
# over the emulated link, naming each step PASS or FAIL. Fails when any step
# fails or the guest does not finish.
#
#   scripts/bluetooth-vm-test.sh [--build DIR] [--bench] [--accel auto|kvm|tcg]
#
# --build DIR  the build whose tarvel runs in the guest (default build; built
#              first when it has no tarvel)
# --bench      instead of the steps, a 4 MiB file through tarvel against the
#              same bytes through a plain RFCOMM socket pair (bench/bluetooth_link.sh)
# --accel      KVM where it boots, else TCG (auto, the default), or one of them
# TARVEL_VM_STEPS=send_file,get_file,...  runs only those steps (by function
#              name in tests/vm/guest.sh) after the set-up
#
# The guest's root (Debian bookworm, made with mmdebstrap) is kept under
# TARVEL_VM_CACHE (default ~/.cache/tarvel-vm), named by a hash of what goes
# into it, so that later runs skip building it. The guest never writes to it.
# Installs qemu-system-x86 and mmdebstrap when missing (as root).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build"
mode=test
accel="${TARVEL_VM_ACCEL:-auto}"
cache="${TARVEL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel-vm}"
mirror="${TARVEL_VM_MIRROR:-http://deb.debian.org/debian}"

while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(realpath "$2")"; shift 2 ;;
    --bench) mode=bench; shift ;;
    --accel) accel="$2"; shift 2 ;;
    -h | --help) sed -n '3,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$build$repo" in *[[:space:]]*)
  echo "the build and source paths must hold no spaces: they go on the guest's command line" >&2
  exit 2 ;;
esac

# The whole guest run, boot included, ends by this many seconds.
if [ "$mode" = bench ]; then limit=1500; else limit=900; fi

# What the guest's root holds: BlueZ with its emulator and tools, the system
# bus, the kernel with an initramfs, Python's D-Bus binding for pairing, and
# the libraries that the build of tarvel links against.
packages=(bluez bluez-test-tools dbus kmod python3-dbus python3-gi
  initramfs-tools linux-image-amd64 libsystemd0 libbluetooth3 libstdc++6 procps)

log() { printf '== %s\n' "$*"; }

install_tools() {
  local needed=(qemu-system-x86 mmdebstrap e2fsprogs) missing=() package
  for package in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || { echo "as root, or install: ${missing[*]}" >&2; exit 1; }
  log "installing ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}"
}

ensure_build() {
  [ -x "$build/tools/tarvel/tarvel" ] && return 0
  log "building tarvel in $build"
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target tarvel_cli >/dev/null
}

# Builds the root into $1 (a folder that does not exist yet): the packages,
# the guest's first process, and no kernel modules that the guest never loads.
make_root() {
  local target="$1" include
  include="$(IFS=,; echo "${packages[*]}")"
  timeout 1200 mmdebstrap --quiet --variant=minbase --include="$include" \
    --aptopt='APT::Install-Recommends "false"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --customize-hook="install -m 0755 '$repo/tests/vm/init.sh' \"\$1/sbin/tarvel-vm-init\"" \
    --customize-hook='rm -rf "$1"/lib/modules/*/kernel/drivers/{gpu,media,net/wireless,infiniband,staging,scsi,isdn} "$1"/lib/modules/*/kernel/sound' \
    --customize-hook='chroot "$1" sh -c "depmod -a \$(ls /lib/modules)"' \
    bookworm "$target" "$mirror"
}

# Sets image, kernel and initrd, building and caching them when needed.
prepare_root() {
  local key work size
  key="$( (printf '%s\n' "${packages[@]}" "$mirror"; declare -f make_root;
    cat "$repo/tests/vm/init.sh") | sha256sum | cut -c1-16)"
  image="$cache/root-$key.img"
  kernel="$cache/vmlinuz-$key"
  initrd="$cache/initrd-$key"
  if [ -f "$image" ] && [ -f "$kernel" ] && [ -f "$initrd" ]; then
    log "guest root: $image (cached)"
    return 0
  fi
  mkdir -p "$cache"
  work="$(mktemp -d "$cache/build.XXXXXX")"
  log "building the guest root with mmdebstrap (once; cached as $image)"
  make_root "$work/root"
  cp "$work"/root/boot/vmlinuz-* "$work/vmlinuz"
  cp "$work"/root/boot/initrd.img-* "$work/initrd"
  size=$(($(du -sm "$work/root" | cut -f1) * 5 / 4 + 128))
  mkfs.ext4 -q -F -L tarvel-vm -d "$work/root" "$work/root.img" "${size}M" >/dev/null
  mv "$work/vmlinuz" "$kernel"
  mv "$work/initrd" "$initrd"
  mv "$work/root.img" "$image"
  rm -rf "$work"
}

# Starts the guest in the background with the given accelerator arguments;
# sets guest_pid. Its serial console goes to $console.
start_guest() {
  : >"$console"
  qemu-system-x86_64 -nodefaults -display none -no-reboot -m 1024 -smp 2 "$@" \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/tarvel-vm-init panic=-1 tarvel_mode=$mode tarvel_build=$build tarvel_repo=$repo tarvel_steps=${TARVEL_VM_STEPS:-}" \
    -drive "file=$image,if=virtio,format=raw,snapshot=on" \
    -virtfs "local,path=$repo,mount_tag=tarvelrepo,security_model=none,readonly=on" \
    -virtfs "local,path=$build,mount_tag=tarvelbuild,security_model=none,readonly=on" \
    -serial "file:$console" &
  guest_pid=$!
}

# True once the guest printed anything within $1 seconds.
guest_speaks() {
  local deadline=$((SECONDS + $1))
  while [ $SECONDS -lt $deadline ]; do
    [ -s "$console" ] && return 0
    kill -0 "$guest_pid" 2>/dev/null || return 1
    sleep 0.5
  done
  return 1
}

guest_pid=""
stop_guest() {
  [ -n "$guest_pid" ] || return 0
  kill "$guest_pid" 2>/dev/null || true
  wait "$guest_pid" 2>/dev/null || true
}

# A nested KVM here may hang before a stock kernel prints anything: KVM is
# used only when the kernel speaks within a few seconds, else TCG.
boot_guest() {
  if [ "$accel" != tcg ] && [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    start_guest -accel kvm -cpu host
    if guest_speaks 15; then
      log "accelerator: kvm"
      return 0
    fi
    stop_guest
    [ "$accel" = kvm ] && { echo "KVM did not boot the guest" >&2; exit 1; }
    log "KVM did not boot the guest within 15 s: falling back to TCG"
  fi
  start_guest -accel tcg,thread=multi -cpu max
  log "accelerator: tcg"
}

# Shows the guest's own lines as they come, until it powers off or the limit.
follow_guest() {
  local deadline=$((SECONDS + limit)) shown=0 lines
  while kill -0 "$guest_pid" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      echo "FAIL: the guest did not finish within $limit s" >&2
      stop_guest
      break
    fi
    lines=$(tr -d '\r' <"$console" | grep -a '^\[vm\]' || true)
    if [ -n "$lines" ]; then
      printf '%s\n' "$lines" | tail -n +$((shown + 1))
      shown=$(printf '%s\n' "$lines" | wc -l)
    fi
    sleep 1
  done
  wait "$guest_pid" 2>/dev/null || true
  lines=$(tr -d '\r' <"$console" | grep -a '^\[vm\]' || true)
  [ -n "$lines" ] && printf '%s\n' "$lines" | tail -n +$((shown + 1))
  return 0
}

report() {
  local text passed failed
  text="$(tr -d '\r' <"$console")"
  passed=$(grep -ac '^\[vm\] PASS ' <<<"$text" || true)
  failed=$(grep -ac '^\[vm\] FAIL ' <<<"$text" || true)
  if [ "$mode" = bench ]; then
    bash "$repo/bench/bluetooth_link.sh" --report "$console" || failed=$((failed + 1))
  fi
  if ! grep -aq '^\[vm\] DONE' <<<"$text"; then
    echo "FAIL: the guest stopped before its last step; its console: $console" >&2
    tail -n 40 <<<"$text" >&2
    failed=$((failed + 1))
  fi
  echo "bluetooth-vm: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

started=$SECONDS
install_tools
ensure_build
prepare_root
console="$(mktemp "${TMPDIR:-/tmp}/tarvel-vm-console.XXXXXX")"
trap 'stop_guest 2>/dev/null; true' EXIT
boot_guest
follow_guest
trap - EXIT
log "guest console: $console ($((SECONDS - started)) s in all)"
report
