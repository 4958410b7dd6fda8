#!/usr/bin/env bash
# Builds the Debian packages libtarvel1, libtarvel-dev, tarvel and
# python3-tarvel into build-packages/, with Debian's build flags, from the
# tree this script sits in.
set -euo pipefail
cd "$(dirname "$0")/.."
# dpkg-dev: dpkg-shlibdeps and dpkg-buildflags; file: CPack's test for what to strip.
bash scripts/deps.sh dpkg-dev file

out=build-packages
tree=$out/tree
rm -rf "$tree" "$out"/*.deb
# Debian's flags for a package (hardening included); the preprocessor's go
# with the compilers', which CMake reads from CFLAGS and CXXFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS
# The same bytes from the same commit: file times inside the packages.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

# Build type None: only Debian's flags. The library is found through the
# system's search path, so no run path is written into the command.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$tree" "${launcher[@]}" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_RPATH=ON -DTARVEL_BUILD_TESTS=OFF -DTARVEL_PYTHON=/usr/bin/python3 \
  -DTARVEL_DEBIAN_PACKAGES=ON
cmake --build "$tree" -j"$(nproc)"
(cd "$tree" && cpack -G DEB -B "$PWD/../")
rm -rf "$out/_CPack_Packages"

# CPack gives a library in /usr/lib maintainer scripts that run ldconfig; the
# library package has an ldconfig trigger instead, so they go.
library=$(ls "$out"/libtarvel1_*.deb)
unpacked=$(mktemp -d)
dpkg-deb -R "$library" "$unpacked/root"
rm -f "$unpacked/root/DEBIAN/postinst" "$unpacked/root/DEBIAN/postrm"
dpkg-deb --root-owner-group -Zxz -b "$unpacked/root" "$library" >/dev/null
rm -rf "$unpacked"
ls -l "$out"/*.deb
