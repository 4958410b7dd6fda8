# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2154,SC2034  # the sourcing script sets and reads the variables
# Sourced by the scripts that run tests in a virtual machine of Debian's own
# kernel (bluetooth-vm-test.sh, windows-x86-vm-test.sh): installing QEMU and
# mmdebstrap, building and caching the guest's root, booting the guest and
# following its console.
#
# The sourcing script sets, before calling these:
#   repo     the source tree (shared read-only, as tarvelrepo)
#   cache    where roots are kept; mirror: the Debian mirror
#   accel    auto, kvm or tcg
#   limit    seconds by which the whole guest run ends
#   packages the guest's packages (an array); root_options: more options of
#            mmdebstrap (an array, may be empty)
#   memory   the guest's memory in MiB; tcg_cpu: the processor QEMU emulates
#            without KVM (default max)
#   shares   "tag=path[:rw]" entries (an array), shared by virtfs
#   append   the guest's kernel arguments beyond the common ones; the guest's
#            script is tarvel_guest=PATH, relative to the source tree
# and then calls install_tools, prepare_root, boot_guest and follow_guest,
# with console naming the file that takes the guest's serial console.

log() { printf '== %s\n' "$*"; }

# Exits unless every path given is free of spaces: they go on the guest's
# kernel command line, which spaces split.
require_plain_paths() {
  local path
  for path in "$@"; do
    case "$path" in *[[:space:]]*)
      echo "the build and source paths must hold no spaces: they go on the guest's command line" >&2
      exit 2 ;;
    esac
  done
}

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

# Builds the root into $1 (a folder that does not exist yet): the packages,
# the guest's first process, and no kernel modules that the guest never loads.
make_root() {
  local target="$1" include
  include="$(IFS=,; echo "${packages[*]}")"
  timeout 1800 mmdebstrap --quiet --variant=minbase --include="$include" "${root_options[@]}" \
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
  local key work size started=$SECONDS
  key="$( (printf '%s\n' "${packages[@]}" "${root_options[@]}" "$mirror"; declare -f make_root;
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
  log "guest root built in $((SECONDS - started)) s"
}

# Starts the guest in the background with the given accelerator arguments;
# sets guest_pid. Its serial console goes to $console.
start_guest() {
  local share tag path mode virtfs=()
  for share in "${shares[@]}"; do
    tag="${share%%=*}" path="${share#*=}" mode=readonly=on
    case "$path" in *:rw) path="${path%:rw}" mode=readonly=off ;; esac
    virtfs+=(-virtfs "local,path=$path,mount_tag=$tag,security_model=none,$mode")
  done
  : >"$console"
  qemu-system-x86_64 -nodefaults -display none -no-reboot -m "$memory" -smp 2 "$@" \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/tarvel-vm-init panic=-1 tarvel_repo=$repo $append" \
    -drive "file=$image,if=virtio,format=raw,snapshot=on" \
    -virtfs "local,path=$repo,mount_tag=tarvelrepo,security_model=none,readonly=on" \
    "${virtfs[@]}" -serial "file:$console" &
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
  start_guest -accel tcg,thread=multi -cpu "${tcg_cpu:-max}"
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

# Counts the guest's PASS and FAIL lines into passed and failed; a guest that
# stopped before its "[vm] DONE" counts as one more failure.
count_results() {
  local text
  text="$(tr -d '\r' <"$console")"
  passed=$(grep -ac '^\[vm\] PASS ' <<<"$text" || true)
  failed=$(grep -ac '^\[vm\] FAIL ' <<<"$text" || true)
  if ! grep -aq '^\[vm\] DONE' <<<"$text"; then
    echo "FAIL: the guest stopped before its last step; its console: $console" >&2
    tail -n 40 <<<"$text" >&2
    failed=$((failed + 1))
  fi
}
