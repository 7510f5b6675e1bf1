#!/usr/bin/env bash
# Installs what the tests need on Debian 12, then builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(cmake g++ make libgtest-dev)
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

jobs=$(nproc)

# Default configuration.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release
cmake --build build-test -j"$jobs"
ctest --test-dir build-test -j"$jobs" --output-on-failure
