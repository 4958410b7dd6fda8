#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from debian/ with dpkg-buildpackage, into
# build-packages/: libtarvel1, libtarvel-dev, tarvel and python3-tarvel.
# Installs the build dependencies that debian/control names and nothing else
# (the test suite is not built here). Run as root (or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# dpkg-dev and debhelper read debian/control; apt-get then installs what it
# names as build dependencies.
missing=$(dpkg-checkbuilddeps 2>&1 | sed -n 's/.*Unmet build dependencies: //p' || true)
if ! command -v dpkg-checkbuilddeps >/dev/null || [ -n "$missing" ]; then
  run_as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq --no-install-recommends dpkg-dev
  DEBIAN_FRONTEND=noninteractive run_as_root apt-get build-dep -y -qq "$top"
fi

# A second build reuses the compiler's work where ccache is installed. The
# cache is named by its real folder: debhelper gives the build a HOME of its
# own inside debian/, which the next build's clean removes.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache -k cache_dir)
  export CCACHE_DIR CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# Both cores; the suite is not built here, so only the cheap checks of
# debian/rules would run, and those that matter run in every build.
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=2 nocheck}
dpkg-buildpackage -us -uc -b

# dpkg-buildpackage writes beside the source folder; the files that its
# .changes names move into build-packages/.
out=$top/build-packages
rm -rf "$out"
mkdir -p "$out"
version=$(dpkg-parsechangelog -SVersion)
changes=$(dirname "$top")/tarvel_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).changes
for file in $(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* [^ ]* [^ ]* //p' "$changes"); do
  mv "$(dirname "$top")/$file" "$out/"
done
mv "$changes" "$out/"
ls -l "$out"
