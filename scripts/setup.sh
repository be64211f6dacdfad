#!/usr/bin/env bash
# Installs every Debian package the build, tests, benchmarks and tools need, then
# configures and builds the project into build/. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfontconfig-dev libfreetype-dev libharfbuzz-dev libpng-dev
  libzint-dev libzxing-dev libcli11-dev nlohmann-json3-dev
  fonts-dejavu-core fonts-dejavu-extra fonts-wqy-microhei
  clang-14 libclang-rt-14-dev
  libsdbus-c++-dev dbus-daemon python3-dbus python3-dbusmock
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR"
