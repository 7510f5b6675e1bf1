#!/usr/bin/env bash
# Installs what the tests need on Debian 12, then builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(cmake g++ make libgtest-dev)
packages+=(pkgconf)                                     # pkg-config consumer of an installed tree
packages+=(g++-mingw-w64-x86-64 googletest wine wine64) # Windows cross-build, tested under Wine
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

jobs=$(nproc)

# Default configuration.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release
cmake --build build-test -j"$jobs"
ctest --test-dir build-test -j"$jobs" --output-on-failure

# ---- 64-bit Windows: cross-built with MinGW-w64, tested under Wine ----------
# ctest runs Wine quietly (WINEDEBUG=-all), without a display, in a private
# prefix under build-win that its first test creates.
win_start=$SECONDS
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j"$jobs"
ctest --test-dir build-win -j"$jobs" --output-on-failure
echo "Windows cross-build and tests under Wine: $((SECONDS - win_start)) s"
# ---- end of the Windows block ------------------------------------------------
