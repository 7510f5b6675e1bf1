#!/usr/bin/env bash
# Installs what the tests need on Debian 12, then builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# libeigen3-dev only lets the build compile brisvel-bench, which the tests do not run.
packages=(cmake g++ make libgtest-dev libeigen3-dev)
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

jobs=$(nproc)

# Default configuration.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release
cmake --build build-test -j"$jobs"
ctest --test-dir build-test -j"$jobs" --output-on-failure

# Without OpenMP: one thread, the same answers.
cmake -S . -B build-test-serial -DCMAKE_BUILD_TYPE=Release -DBRISVEL_USE_OPENMP=OFF \
      -DBRISVEL_BUILD_BENCH=OFF
cmake --build build-test-serial -j"$jobs"
ctest --test-dir build-test-serial -j"$jobs" --output-on-failure
