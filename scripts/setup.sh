#!/usr/bin/env bash
# Installs every Debian package the build, tests, benchmarks and tools need, then
# configures and builds the project into build/. Safe to run again.
# It also installs the cross compilers, qemu and the armhf/arm64 libraries of the ARM test runs,
# unless QUILLKIT_SKIP_ARM is set. zint is left out there: Debian 12 installs it for one
# architecture only, and the ARM builds go without the virtual printer that needs it.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfontconfig-dev libfreetype-dev libharfbuzz-dev libpng-dev
  libzint-dev libzxing-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev chromium
  fonts-dejavu-core fonts-dejavu-extra fonts-wqy-microhei
  clang-14 libclang-rt-14-dev llvm-14 ccache
  python3-pil
  libsdbus-c++-dev dbus-daemon python3-dbus python3-dbusmock
  libjpeg-dev libpoppler-cpp-dev poppler-utils python3-cairo
  libpappl-dev cups cups-ipp-utils cups-client
  pybind11-dev python3-dev python3-pytest python3-mypy python3-setuptools python3-build
  python3-wheel python3-pip
  cloc
)
if [[ -z ${QUILLKIT_SKIP_ARM:-} ]]; then
  PACKAGES+=(crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user-static)
  for arch in armhf arm64; do
    PACKAGES+=(libfontconfig-dev:$arch libfreetype-dev:$arch libharfbuzz-dev:$arch
      libgtest-dev:$arch libgmock-dev:$arch libsdbus-c++-dev:$arch
      libpng-dev:$arch libjpeg-dev:$arch libpoppler-cpp-dev:$arch)
  done
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  for p in "${missing[@]}"; do
    arch=${p#*:}
    if [[ $arch != "$p" ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      $SUDO dpkg --add-architecture "$arch"
    fi
  done
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR"
