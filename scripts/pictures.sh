#!/usr/bin/env bash
# Saves a picture of each page of the control panel's window into docs/img/: builds the
# picture tool and runs the real window under a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KAVAR_BUILD_DIR:-build}

if ! command -v xvfb-run >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends xvfb xauth
fi

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target panel_pictures -j 2
mkdir -p docs/img
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  "$build/bin/panel_pictures" docs/img
ls -l docs/img/panel-*.png
