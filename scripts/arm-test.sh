#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tarvel for ARM boards (Raspberry Pi and others), cross-built on this machine
# with Debian's cross toolchains:
#  1. the four Debian packages for arm64 and armhf with dpkg-buildpackage -a,
#     their architecture, contents and ELF headers checked, and the packaged
#     tarvel run under QEMU with the packaged library, its demo too where the
#     kernel hands ARM programs to QEMU (binfmt_misc, registered when root);
#  2. the unit suite (ctest label "unit": no D-Bus, no Python, no Mono) built
#     with cmake/<triplet>.cmake and run under QEMU's user-mode emulator over
#     real ptys, for each architecture in ARM_TEST_SUITES (default: both).
# Installs what it needs when missing (as root, or with sudo available):
# the architectures in dpkg, the cross toolchains, qemu-user and each
# architecture's build dependencies through multiarch.
#   ARM_TEST_PACKAGES="arm64 armhf"   architectures to package
#   ARM_TEST_SUITES="arm64 armhf"     architectures to run the unit suite for
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS
read -r -a package_arches <<<"${ARM_TEST_PACKAGES-arm64 armhf}"
read -r -a suite_arches <<<"${ARM_TEST_SUITES-arm64 armhf}"
apt_get=(apt-get -o DPkg::Lock::Timeout=900)

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
step() { echo "== $* ($((SECONDS - started)) s)"; }
fail() {
  echo "arm test: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }
triplet() { dpkg-architecture -a "$1" -qDEB_HOST_MULTIARCH 2>/dev/null; }
qemu_cpu() { case $1 in arm64) echo aarch64 ;; armhf) echo arm ;; *) fail "no emulator for $1" ;; esac; }

step "installing what is missing"
updated=
apt_update() {
  [ -n "$updated" ] || run_as_root "${apt_get[@]}" update -qq
  updated=1
}
apt_install() { DEBIAN_FRONTEND=noninteractive run_as_root "${apt_get[@]}" install -y -qq --no-install-recommends "$@"; }
installed dpkg-dev || { apt_update && apt_install dpkg-dev; }
arches=$(printf '%s\n' "${package_arches[@]}" "${suite_arches[@]}" | sort -u)
for arch in $arches; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    run_as_root dpkg --add-architecture "$arch"
    updated=
  fi
done
needed=(git file binutils cmake make qemu-user qemu-user-binfmt)
for arch in $arches; do
  # libstdc++6 of the target: dpkg-shlibdeps reads its symbols file.
  needed+=("crossbuild-essential-$arch" "libstdc++6:$arch")
done
for arch in "${suite_arches[@]}"; do needed+=("libgtest-dev:$arch" "libgmock-dev:$arch" "libcli11-dev"); done
missing=()
for package in "${needed[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt_update
  apt_install "${missing[@]}"
fi
# The build dependencies of debian/control for each architecture: the
# libraries of the target, the tools (cmake, python3, debhelper) of this machine.
for arch in $arches; do
  if ! (cd "$top" && dpkg-checkbuilddeps -a "$arch" >/dev/null 2>&1); then
    apt_update
    DEBIAN_FRONTEND=noninteractive run_as_root "${apt_get[@]}" build-dep -y -qq -a "$arch" "$top"
  fi
done
# The kernel hands ARM programs to QEMU once binfmt_misc knows them: then a
# packaged tarvel can start itself as child processes (its demo does). A
# machine without systemd has the entries of qemu-user-binfmt on disk but
# not in the kernel: they are registered here, binfmt_misc mounted first.
register_binfmt() {
  local arch=$1 name
  name=qemu-$(qemu_cpu "$arch")
  [ -e "/proc/sys/fs/binfmt_misc/$name" ] && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || return 0
  [ -f "/usr/lib/binfmt.d/$name.conf" ] &&
    cat "/usr/lib/binfmt.d/$name.conf" >/proc/sys/fs/binfmt_misc/register 2>/dev/null || true
}
for arch in $arches; do register_binfmt "$arch"; done
. "$top/scripts/ccache-env.sh"
# debhelper gives the build a HOME of its own inside debian/, which the next
# build's clean removes: the cache is named by its real folder.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache -k cache_dir)
  export CCACHE_DIR
fi

# A fixed folder, so that the compiler cache serves the next run.
work=/tmp/tarvel-arm-test
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work/source" "$work/unpacked"' EXIT
git clone -q "$top" "$work/source"

# The ELF header of a file of the package, as `file` and readelf tell it.
check_elf() {
  local arch=$1 path=$2 described
  described=$(file -b "$path")
  echo "  $(basename "$path"): $described"
  case $arch in
    arm64) grep -q '^ELF 64-bit LSB .*ARM aarch64' <<<"$described" || fail "$path is no aarch64 ELF file" ;;
    armhf)
      grep -q '^ELF 32-bit LSB .*ARM, EABI5' <<<"$described" || fail "$path is no ARM EABI5 ELF file"
      readelf -h "$path" | grep -q 'hard-float ABI' || fail "$path is not built for the hard-float ABI"
      ;;
  esac
}

# Architecture, contents and ELF files of the packages of one architecture,
# then the packaged tarvel run under QEMU with the packaged library.
check_packages() {
  local arch=$1 debs=$2 multiarch deb package field
  multiarch=$(triplet "$arch")
  for package in libtarvel1 libtarvel-dev tarvel python3-tarvel; do
    deb=$(ls "$debs/${package}_"*.deb 2>/dev/null) || fail "no package $package for $arch"
    field=$(dpkg-deb -f "$deb" Architecture)
    if [ "$package" = python3-tarvel ]; then
      [ "$field" = all ] || fail "$package is built for '$field', not all"
    else
      [ "$field" = "$arch" ] || fail "$package is built for '$field', not $arch"
    fi
    # Nothing of the build machine's architecture in any package.
    dpkg-deb -c "$deb" >"$work/contents.txt"
    if grep -F "$(dpkg-architecture -qDEB_BUILD_MULTIARCH)" "$work/contents.txt"; then
      fail "$package holds files of the build machine"
    fi
    mkdir -p "$work/unpacked/$arch"
    dpkg-deb -x "$deb" "$work/unpacked/$arch"
  done
  local root=$work/unpacked/$arch
  for path in "usr/lib/$multiarch/libtarvel.so.1.0.0" "usr/bin/tarvel" "usr/include/tarvel.h" \
    "usr/lib/$multiarch/pkgconfig/tarvel.pc" "usr/lib/$multiarch/cmake/tarvel/tarvelConfig.cmake" \
    lib/systemd/system/tarvel-listen.service lib/systemd/system/tarvel-listen@.service \
    usr/lib/systemd/user/tarvel-listen.service usr/lib/sysusers.d/tarvel.conf \
    usr/share/man/man1/tarvel.1.gz; do
    [ -f "$root/$path" ] || fail "$arch: not in the packages: /$path"
  done
  [ "$(readlink "$root/usr/lib/$multiarch/libtarvel.so.1")" = libtarvel.so.1.0.0 ] ||
    fail "$arch: libtarvel.so.1 does not point at the library"
  check_elf "$arch" "$root/usr/lib/$multiarch/libtarvel.so.1.0.0"
  check_elf "$arch" "$root/usr/bin/tarvel"
  dpkg-deb -f "$debs"/libtarvel1_*.deb Depends | grep -q 'libsystemd0' ||
    fail "$arch: libtarvel1 does not depend on libsystemd0"
  dpkg-deb -f "$debs"/tarvel_*.deb Depends | grep -q 'libtarvel1 (>= 1\.' ||
    fail "$arch: tarvel does not depend on libtarvel1"
  # The packaged command loads the packaged library under the emulator. Its
  # demo starts the command again as child processes, which runs only where
  # the kernel hands ARM programs to QEMU itself (binfmt_misc).
  local emulator
  emulator=(env QEMU_LD_PREFIX=/ "qemu-$(qemu_cpu "$arch")" -E "LD_LIBRARY_PATH=$root/usr/lib/$multiarch")
  "${emulator[@]}" "$root/usr/bin/tarvel" --version | grep -x 'tarvel [0-9.]*' ||
    fail "$arch: the packaged tarvel did not run under QEMU"
  if [ -e "/proc/sys/fs/binfmt_misc/qemu-$(qemu_cpu "$arch")" ]; then
    LD_LIBRARY_PATH="$root/usr/lib/$multiarch" QEMU_LD_PREFIX=/ "$root/usr/bin/tarvel" demo \
      >"$work/demo-$arch.log" 2>&1 || {
      cat "$work/demo-$arch.log"
      fail "$arch: the packaged tarvel demo failed"
    }
    grep 'arrived intact' "$work/demo-$arch.log" || fail "$arch: the demo's file did not arrive intact"
  else
    echo "  no binfmt_misc entry for qemu-$(qemu_cpu "$arch"): tarvel demo not run"
  fi
}

out=$top/build-packages-arm
rm -rf "$out"
for arch in "${package_arches[@]}"; do
  step "building the packages for $arch (dpkg-buildpackage -a $arch)"
  (cd "$work/source" &&
    DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck noddebs" nice dpkg-buildpackage -us -uc -b -a "$arch") \
    >"$work/build-$arch.log" 2>&1 || {
    tail -40 "$work/build-$arch.log"
    fail "dpkg-buildpackage -a $arch failed"
  }
  mkdir -p "$out/$arch"
  mv "$work/"*.deb "$work/"*.changes "$work/"*.buildinfo "$out/$arch/"
  ls "$out/$arch"
  step "checking the packages for $arch"
  check_packages "$arch" "$out/$arch"
done
rm -rf "$work/source"

# Tests that cannot pass under QEMU's user-mode emulator, each with the
# reason; they run natively in the main suite.
excluded_under_qemu() {
  local names=(
    # QEMU 7.2 (Debian 12) does not know openat2 (syscall 437) and answers
    # ENOSYS, so the library takes its walk for kernels before 5.6, which
    # refuses every symbolic link beneath the root: these cases expect the
    # "leaves the device root" of openat2's RESOLVE_BENEATH. Every kernel of
    # Raspberry Pi OS has openat2.
    'CreateFoldersOverPty\.TheSettingMakesTheFoldersButNeverThroughALinkOutOfTheRoot'
    'DeviceFiles\.SymlinksCannotLeadOutOfTheRoot'
    'DeviceFiles\.CreatingRespectsFoldersAndTheRoot'
    'DeviceFiles\.CreateFoldersMakesMissingFoldersOnlyBeneathTheRoot'
    'DirectorySearch\.SymlinksCannotLeadOutOfTheRoot'
    # QEMU 7.2 knows neither TCGETS2 nor TCSETS2 (struct termios2, which sets
    # and reads any baud rate such as 256000) nor TIOCGEXCL (whether a tty's
    # exclusive-use flag is set): "Unsupported ioctl" under -d unimp, and the
    # call fails. These cases set or read a rate through termios2, or read
    # the flag to check it.
    'PortControl\.OpenByNumberSetsTheFixedLineSettings'
    'PortRelease\.ReopenWhileTheListenerIsMidFileKeepsTheNewPortExclusive'
    'PortRelease\.ReopenWhileAGetIsAnsweredKeepsTheNewPortExclusive'
    'PortRelease\.CloseReleasesTheTtyAtOnceWhileTheListenerHoldsIt'
    'SerialDeviceOpen\.CloseReleasesExclusiveUseWhileTheObjectIsStillHeld'
    'SerialDeviceOpen\.RefusesASecondOpenOfTheSameDeviceNamingTheHolder'
    'SerialDeviceSettings\.WriteAppliesTheLineButNeverSoftwareFlowControl'
    'SerialDeviceSettings\.RefusesValuesOutOfRangeWithoutChangingTheTty'
  )
  local IFS='|'
  echo "^(${names[*]})\$"
}

for arch in "${suite_arches[@]}"; do
  multiarch=$(triplet "$arch")
  build=$top/build-$arch
  step "building the unit suite for $arch (cmake/$multiarch.cmake)"
  # No tarvel command: its tests start it as processes, which the emulator
  # cannot follow; the Python and Mono binding tests go with it.
  cmake -S "$top" -B "$build" --toolchain "$top/cmake/$multiarch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_BUILD_TOOLS=OFF >"$work/suite-$arch.log"
  # The targets of the tests labelled unit: every test file but the Bluetooth ones.
  targets=(c_header_test two_links_test)
  for source in "$top"/tests/*_test.cc "$top"/tests/api/*_test.cc; do
    name=$(basename "$source" .cc)
    [[ $name == *bluetooth* ]] && continue
    [[ $source == */api/* ]] && name=api_$name
    targets+=("$name")
  done
  nice cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >>"$work/suite-$arch.log" 2>&1 || {
    tail -40 "$work/suite-$arch.log"
    fail "building the unit suite for $arch failed"
  }
  step "running the unit suite for $arch under $(qemu_cpu "$arch")"
  (cd "$build" && ctest -j"$(nproc)" -L '^unit$' -E "$(excluded_under_qemu)" --output-on-failure) ||
    fail "the unit suite failed for $arch"
done

step "done"
