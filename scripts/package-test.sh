#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a clean clone of this checkout's commit,
# checks them with lintian, installs them with apt-get and, with nothing of
# the build left, uses what they installed: the tarvel demo, a C host built
# with pkg-config, a CMake host built with find_package(tarvel), the symbols
# file, the Python module, and both systemd units (systemd-analyze verify, and
# each unit's command run as nobody receiving a file). Then purges them and
# checks that nothing of them is left. Run as root (or with sudo available).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS
packages=(tarvel python3-tarvel libtarvel-dev libtarvel1)

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
step() { echo "== $* ($((SECONDS - started)) s)"; }
fail() {
  echo "package test: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }
purge() {
  local present=()
  for package in "${packages[@]}"; do
    dpkg-query -W "$package" >/dev/null 2>&1 && present+=("$package")
  done
  [ ${#present[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive run_as_root apt-get purge -y -qq "${present[@]}" >/dev/null
}
# What is on the system: names only, without Python's byte-code caches, which
# any other program may leave.
snapshot() { find /usr /etc /var/lib -xdev -path '*/__pycache__' -prune -o -print 2>/dev/null | sort; }

# A fixed folder: the compiler cache then serves a second run, since the
# build flags name the source folder.
work=/tmp/tarvel-package-test
rm -rf "$work"
mkdir -p "$work"
cleanup() {
  for pid in ${listener:-} ${cable:-} ${standin:-} ${bus:-}; do kill "$pid" 2>/dev/null || true; done
  purge || true
  rm -rf "$work"
}
trap cleanup EXIT

# What this test uses, and not the suite's GoogleTest, Mono or pytest (the
# build installs its own build dependencies): lintian; systemd for
# systemd-analyze; man-db, which checks the units' Documentation= pages; a
# compiler, pkg-config and cmake for the hosts; dbus-daemon, python3-dbus and
# python3-gi for the stand-in for BlueZ; git for the clean clone.
needed=(lintian dpkg-dev file systemd man-db g++ pkg-config cmake make git dbus-daemon
  python3-dbus python3-gi)
missing=()
for package in "${needed[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  run_as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq "${missing[@]}"
fi
for package in "${packages[@]}"; do
  installed "$package" && fail "$package is installed already; purge it first"
done

step "building the packages from a clean clone"
git clone -q "$top" "$work/source"
# Both cores, without the debug symbol packages, which are not installed here.
DEB_BUILD_OPTIONS="parallel=2 nocheck noddebs" bash "$work/source/scripts/package.sh" >"$work/build.log" 2>&1 || {
  tail -40 "$work/build.log"
  fail "scripts/package.sh failed"
}
mkdir "$work/debs" "$work/check"
mv "$work/source/build-packages/"*.deb "$work/debs/"
cp "$work/source/packaging/check/"* "$work/check/"
rm -rf "$work/source"
ls "$work/debs"

step "lintian --pedantic"
# Errors and warnings fail the test. A first upload closes no bug report.
lintian --pedantic --display-info --fail-on error,warning \
  --suppress-tags initial-upload-closes-no-bugs "$work/debs/"*.deb ||
  fail "lintian reported errors or warnings"

step "installing with apt-get"
before=$(snapshot)
accounts() { getent passwd | cut -d: -f1,3,4; getent group | cut -d: -f1,3; }
accounts_before=$(accounts)
# The packages' paths that are not on the system yet must be gone again after.
new_paths=$(for deb in "$work/debs/"*.deb; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
  sed 's|^\./|/|; s|/$||' | sort -u | while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || echo "$path"
done)
[ -n "$new_paths" ] || fail "the packages' files are on the system already"
DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq "$work/debs/"*.deb >/dev/null
for package in "${packages[@]}"; do installed "$package" || fail "$package did not install"; done

# Everything from here on runs from the installed files, with a plain
# environment: no build tree, no run path, no library path.
home="$work/home"
mkdir -p "$home"
plain=(env -i PATH=/usr/bin:/bin HOME="$home" LANG=C.UTF-8)
cd "$work"

step "what the packages installed"
getent passwd tarvel | grep -q ':/var/lib/tarvel:' || fail "no system user tarvel"
getent group tarvel >/dev/null || fail "no system group tarvel"
doc=/usr/share/doc
for path in /usr/share/bash-completion/completions/tarvel $doc/tarvel/README.Debian \
  $doc/libtarvel-dev/examples/host.c $doc/libtarvel-dev/examples/Host.cs \
  $doc/python3-tarvel/examples/host.py /usr/lib/systemd/user/tarvel-listen.service; do
  [ -f "$path" ] || fail "not installed: $path"
done
ls /lib/udev/rules.d/*tarvel.rules /usr/lib/udev/rules.d/*tarvel.rules 2>/dev/null | grep -q . ||
  fail "no udev rule for the rfcomm ttys"
for unit in tarvel-listen.service tarvel-listen@ttyUSB0.service; do
  systemctl is-enabled "$unit" >/dev/null 2>&1 && fail "$unit is enabled on installation"
done
systemctl --global is-enabled tarvel-listen.service >/dev/null 2>&1 &&
  fail "the user unit is enabled for every user on installation"

step "the units' exposure (systemd-analyze security), each below 2.5"
user_units="$work/user-units"
mkdir -p "$user_units" "$work/xdg-runtime"
cp /usr/lib/systemd/user/tarvel-listen.service "$user_units/"
for unit in tarvel-listen.service tarvel-listen@ttyUSB0.service user; do
  if [ "$unit" = user ]; then
    score=$(cd "$user_units" && XDG_RUNTIME_DIR="$work/xdg-runtime" \
      systemd-analyze security --user --offline=yes tarvel-listen.service 2>&1 | tail -1)
  else
    score=$(systemd-analyze security --offline=yes "$unit" 2>&1 | tail -1)
  fi
  echo "$unit: $score"
  level=$(sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$score")
  [ -n "$level" ] || fail "no exposure level for $unit: $score"
  awk -v level="$level" 'BEGIN { exit !(level < 2.5) }' || fail "$unit is exposed at $level"
done

step "tarvel demo"
[ "$(command -v tarvel)" = /usr/bin/tarvel ] || fail "tarvel is not /usr/bin/tarvel"
# grep reads all of ldd's output: with -q it could leave early and, under
# pipefail, ldd's SIGPIPE would fail the check.
ldd /usr/bin/tarvel | grep -E 'libtarvel\.so\.1 => /(usr/)?lib/' >/dev/null || fail "tarvel does not load the installed library"
"${plain[@]}" tarvel demo >"$work/demo.log" 2>&1 || {
  cat "$work/demo.log"
  fail "the installed tarvel demo failed"
}
grep 'arrived intact' "$work/demo.log"

# The hosts register into a registry file of their own, and find no system bus.
host_env=("${plain[@]}" TARVEL_REGISTRY="$work/registry.reg" TARVEL_COM7="$work/no-such-tty"
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus")
check_host() {
  rm -f "$work/registry.reg"
  "${host_env[@]}" "$1" 7 >"$work/host.log" 2>&1 || {
    cat "$work/host.log"
    fail "$1 failed"
  }
  cat "$work/host.log"
  grep -q '^failure event: .*no-such-tty' "$work/host.log" || fail "$1: no failure event for the missing device"
  grep -q '"Port"="COM0"' "$work/registry.reg" || fail "$1 did not register the incoming port"
}

step "C host built with pkg-config"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/c-host" "$work/check/host.c" $(pkg-config --cflags --libs tarvel)
check_host "$work/c-host"

step "symbols file"
# It names exactly what the installed library exports, and a program built
# against the library is given a dependency on libtarvel1 through it.
symbols_file=$(dpkg-query -L libtarvel1 >/dev/null && ls /var/lib/dpkg/info/libtarvel1*.symbols)
library=$(ldd "$work/c-host" | sed -n 's|.*libtarvel\.so\.1 => \([^ ]*\) .*|\1|p')
listed=$(sed -n 's/^ \([A-Za-z]*\)@Base .*/\1/p' "$symbols_file" | sort)
[ -n "$listed" ] || fail "the symbols file lists no symbols"
diff <(echo "$listed") <(nm -D --defined-only "$library" | awk '$2 == "T" { print $3 }' | sort) ||
  fail "the symbols file and the library's exports differ"
mkdir -p "$work/shlibdeps/debian"
touch "$work/shlibdeps/debian/control"
(cd "$work/shlibdeps" && dpkg-shlibdeps -O "$work/c-host") >"$work/shlibdeps.txt" 2>/dev/null
cat "$work/shlibdeps.txt"
grep -q 'libtarvel1 (>= 1\.' "$work/shlibdeps.txt" || fail "dpkg-shlibdeps gave no dependency on libtarvel1"

step "CMake host built with find_package(tarvel)"
cmake -S "$work/check" -B "$work/cmake-host" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
check_host "$work/cmake-host/host"

step "Python module"
"${plain[@]}" python3 -B -c 'import tarvel; print(tarvel.library_path())' >"$work/python.log"
grep -q 'libtarvel\.so\.1$' "$work/python.log" || fail "Python loaded $(cat "$work/python.log")"

step "systemd-analyze verify"
# The template through an instance, found in the system's unit folder.
verify=$(systemd-analyze verify tarvel-listen.service tarvel-listen@ttyUSB0.service 2>&1) ||
  fail "systemd-analyze verify failed: $verify"
if grep -i tarvel <<<"$verify"; then fail "systemd-analyze verify complained about the units"; fi
verify=$(cd "$user_units" && XDG_RUNTIME_DIR="$work/xdg-runtime" \
  systemd-analyze verify --user "$user_units/tarvel-listen.service" 2>&1) ||
  fail "systemd-analyze verify --user failed: $verify"

step "the tty service's command receives a file, as the system user tarvel"
# ExecStart=, Environment= and UMask= of the installed template, with the
# folders that systemd would give it made here, run as the user tarvel on one
# end of a virtual cable: the group tarvel may read what arrives.
unit=/lib/systemd/system/tarvel-listen@.service
"${plain[@]}" tarvel cable >"$work/cable.txt" 2>/dev/null &
cable=$!
for _ in $(seq 50); do [ "$(wc -l <"$work/cable.txt")" -ge 2 ] && break; sleep 0.1; done
sender_end=$(sed -n 1p "$work/cable.txt")
listener_end=$(sed -n 2p "$work/cable.txt")
[ -n "$listener_end" ] || fail "tarvel cable printed no ends"
instance=${listener_end#/dev/}
escaped=${instance//\//-}
substitute() { sed -e "s|%S|$work/state|g; s|%t|$work/run|g; s|%I|$instance|g; s|%i|$escaped|g"; }
command=$(sed -n 's/^ExecStart=//p' "$unit" | substitute)
environment=$(sed -n 's/^Environment=//p' "$unit" | substitute)
mkdir -p "$work/state/tarvel/$escaped" "$work/run/tarvel/$escaped"
chmod 755 "$work"
chown tarvel:tarvel "$work/state/tarvel/$escaped" "$work/run/tarvel/$escaped" "$listener_end"
umask=$(sed -n 's/^UMask=//p' "$unit")
[ "$umask" = 0027 ] || fail "the tty unit's UMask= is '$umask'"
head -c 300000 /dev/urandom >"$work/sample.bin"
chmod 644 "$work/sample.bin"
# shellcheck disable=SC2086
(umask "$umask" && exec setpriv --reuid=tarvel --regid=tarvel --clear-groups env -i PATH=/usr/bin:/bin \
  $environment ${command/--quiet listen/--quiet listen --once}) >"$work/listener.log" 2>&1 &
listener=$!
sleep 1
"${plain[@]}" tarvel --device "$sender_end" --quiet send "$work/sample.bin" ||
  fail "sending to the service's command failed"
for _ in $(seq 100); do kill -0 "$listener" 2>/dev/null || break; sleep 0.1; done
kill "$listener" 2>/dev/null && fail "the service's command did not end after the file"
wait "$listener" || fail "the service's command failed: $(cat "$work/listener.log")"
kill "$cable"
wait "$cable" || true
cmp "$work/sample.bin" "$work/state/tarvel/$escaped/sample.bin" || fail "the file did not arrive intact"
mode=$(stat -c %a:%U:%G "$work/state/tarvel/$escaped/sample.bin")
[ "$mode" = 640:tarvel:tarvel ] || fail "the received file is $mode, not 640:tarvel:tarvel"
cat "$work/listener.log"
grep -Eqx '[0-9:.]+ RECV: .*sample\.bin' "$work/listener.log" || fail "no line for the received file"
# A listener on a tty offers no Bluetooth port, so it writes no registry.
[ ! -e "$work/run/tarvel/$escaped/registry.reg" ] || fail "the tty service registered a Bluetooth port"

step "the Bluetooth service's command receives a file, as the system user tarvel"
# The same for the Bluetooth unit, on a private system bus where a stand-in
# for BlueZ connects a peer that sends a file.
unit=/lib/systemd/system/tarvel-listen.service
mkdir -p "$work/bus"
cat >"$work/bus/bus.conf" <<CONFIG
<busconfig><type>system</type><listen>unix:path=$work/bus/socket</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/><allow user="*"/></policy></busconfig>
CONFIG
dbus-daemon --config-file="$work/bus/bus.conf" --nofork --print-address >"$work/bus/address" 2>"$work/bus/log" &
bus=$!
bus_env=(DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus/socket")
for _ in $(seq 50); do [ -s "$work/bus/address" ] && break; sleep 0.1; done
"${plain[@]}" "${bus_env[@]}" python3 -B "$work/check/bluez_standin.py" "$work/sample.bin" '\bt.bin' \
  >"$work/standin.log" 2>&1 &
standin=$!
for _ in $(seq 100); do grep -q ready "$work/standin.log" && break; sleep 0.1; done
grep -q ready "$work/standin.log" || fail "the BlueZ stand-in did not start: $(cat "$work/standin.log")"
substitute() { sed -e "s|%S|$work/state|g; s|%t|$work/run|g"; }
umask=$(sed -n 's/^UMask=//p' "$unit")
[ "$umask" = 0027 ] || fail "the Bluetooth unit's UMask= is '$umask'"
command=$(sed -n 's/^ExecStart=//p' "$unit" | substitute)
environment=$(sed -n 's/^Environment=//p' "$unit" | substitute)
mkdir -p "$work/state/tarvel/bluetooth" "$work/run/tarvel/bluetooth"
# A device named in the machine's settings file, for interactive use, must
# not move the service off its Bluetooth port.
marker="# written by tarvel's package test"
if [ -e /etc/tarvel.conf ] && ! grep -qxF "$marker" /etc/tarvel.conf; then
  fail "/etc/tarvel.conf exists already; the test would overwrite it"
fi
printf '%s\ndevice = %s\n' "$marker" "$work/no-such-tty" >/etc/tarvel.conf
chown tarvel:tarvel "$work/state/tarvel/bluetooth" "$work/run/tarvel/bluetooth"
# shellcheck disable=SC2086
(umask "$umask" && exec setpriv --reuid=tarvel --regid=tarvel --clear-groups env -i PATH=/usr/bin:/bin \
  $environment "${bus_env[@]}" ${command/--quiet listen/--quiet listen --once}) >"$work/listener.log" 2>&1 &
listener=$!
for _ in $(seq 150); do kill -0 "$listener" 2>/dev/null || break; sleep 0.1; done
kill "$listener" 2>/dev/null && fail "the Bluetooth service's command did not end after the file"
wait "$listener" || fail "the Bluetooth service's command failed: $(cat "$work/listener.log")"
kill "$standin" "$bus"
wait "$standin" "$bus" || true
cat "$work/listener.log"
cmp "$work/sample.bin" "$work/state/tarvel/bluetooth/bt.bin" || fail "the file did not arrive intact"
mode=$(stat -c %a:%U:%G "$work/state/tarvel/bluetooth/bt.bin")
[ "$mode" = 640:tarvel:tarvel ] || fail "the received file is $mode, not 640:tarvel:tarvel"
# The Bluetooth service serves several peers at once and names each result's peer.
grep -Eqx '[0-9:.]+ [0-9A-F:]{17} RECV: .*bt\.bin' "$work/listener.log" ||
  fail "no line for the received file, with its peer"
grep -q '"Port"="COM0"' "$work/run/tarvel/bluetooth/registry.reg" ||
  fail "no registry file in the Bluetooth service's runtime folder"
rm -f /etc/tarvel.conf

step "enabling the services, as an administrator would"
# The purge must take their links away again.
systemctl enable tarvel-listen.service tarvel-listen@ttyUSB0.service
systemctl --global enable tarvel-listen.service
for link in multi-user.target.wants/tarvel-listen.service \
  dev-ttyUSB0.device.wants/tarvel-listen@ttyUSB0.service; do
  [ -L "/etc/systemd/system/$link" ] || fail "systemctl enable made no link $link"
done
systemctl --global is-enabled tarvel-listen.service >/dev/null ||
  fail "systemctl --global enable did not enable the user unit"

step "purging"
purge
for package in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qvx not-installed &&
    fail "$package is still known to dpkg: $(dpkg -l "$package" | tail -1)"
done
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "left after the purge: $path"; fi
done <<<"$new_paths"
left=$(comm -13 <(echo "$before") <(snapshot))
[ -z "$left" ] || fail "new on the system after the purge: $left"
# The system user and group go too, as nothing of theirs was left behind.
[ "$(accounts)" = "$accounts_before" ] ||
  fail "users or groups changed by the purge: $(diff <(echo "$accounts_before") <(accounts))"

step "done"
