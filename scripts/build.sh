#!/usr/bin/env bash
# Configures and builds the project into build/ (or $KAVAR_BUILD_DIR). Extra arguments go
# to cmake's configure step, for example -DKAVAR_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KAVAR_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
