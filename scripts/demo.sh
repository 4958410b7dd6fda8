#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds Tarvel and runs the demo: two devices joined
# by a virtual cable exchange texts and files both ways.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target tarvel_cli
exec build/tools/tarvel/tarvel demo "$@"
