#!/usr/bin/env bash
# Builds everything and runs every test with ctest. Extra arguments go to cmake's
# configure step, for example -DKAVAR_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KAVAR_BUILD_DIR:-build}
scripts/build.sh "$@"
cd "$build"
ctest --output-on-failure --timeout 300 -j "$(nproc)"
