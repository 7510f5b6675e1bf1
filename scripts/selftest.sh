#!/usr/bin/env bash
# Builds the library and brisvel-selftest in build/ and runs the self-test.
# On a Debian machine without a compiler or CMake it installs them first
# (with apt-get, as root or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v c++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || command -v ninja >/dev/null 2>&1 || missing+=(make)
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -q >&2
  as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRISVEL_BUILD_TESTS=OFF >&2
cmake --build build -j"$(nproc)" --target brisvel-selftest >&2
exec build/bin/brisvel-selftest "$@"
