#!/usr/bin/env bash
# Installs what the tests need on Debian 12, then builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# SuperLU and CHOLMOD are loaded at run time by the direct methods; their
# headers serve only the test that checks the loader's own declarations.
# The reference BLAS is named so that apt does not pick another for them.
packages=(cmake g++ make libgtest-dev
          libsuperlu5 libcholmod3 libsuperlu-dev libsuitesparse-dev libblas-dev liblapack-dev)
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

jobs=$(nproc)

# Default configuration: the extensions are found and loaded at run time.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release
cmake --build build-test -j"$jobs"
ctest --test-dir build-test -j"$jobs" --output-on-failure

# Loading compiled out: every probe fails and the transcript shows it.
cmake -S . -B build-test-no-ext -DCMAKE_BUILD_TYPE=Release -DBRISVEL_DYNAMIC_LIBS=OFF
cmake --build build-test-no-ext -j"$jobs" --target brisvel-selftest brisvel-tests \
    brisvel-probe-order-test
ctest --test-dir build-test-no-ext -j"$jobs" --output-on-failure \
    -R '^(selftest_transcript|Api\.|ProbeOrder\.|library_needs_no_extension)'
