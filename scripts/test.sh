#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds Tarvel and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
. scripts/ccache-env.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j"$(nproc)"
