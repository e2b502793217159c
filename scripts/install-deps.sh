#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent and non-interactive: when everything is present it changes nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git time
  libcurl4-openssl-dev libpugixml-dev libsqlite3-dev
  unixodbc unixodbc-dev tdsodbc libsqliteodbc odbcinst
  libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 util-linux procps
  qt6-base-dev libgl-dev fonts-noto-core fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
