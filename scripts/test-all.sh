#!/usr/bin/env bash
# Installs what the tests need on Debian 12, then builds and runs every test:
# the default build (with the command-line and Python tests), the suite under
# AddressSanitizer and UBSan, bounded fuzz runs, the self-test under valgrind,
# and the Windows cross-build under Wine. Every build goes to a build-test*
# folder of its own, never to build/, and every test step fails when it finds
# no tests.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
step() { printf '\n==== %s (%ds)\n' "$1" "$SECONDS"; }

packages=(cmake g++ make libgtest-dev)
packages+=(libeigen3-dev)  # lets the build compile brisvel-bench, which the tests do not run
# SuperLU and CHOLMOD are loaded at run time by the direct methods; their
# headers serve only the test that checks the loader's own declarations.
# The reference BLAS is named so that apt does not pick another for their headers.
packages+=(libsuperlu5 libcholmod3 libsuperlu-dev libsuitesparse-dev libblas-dev liblapack-dev)
# OpenBLAS, which the alternatives then give to SuperLU and CHOLMOD in place of the
# reference BLAS, so that CHOLMOD's supernodal factor and its fallback run too.
packages+=(libopenblas0-pthread)
packages+=(clang-14 libclang-rt-14-dev valgrind)        # sanitizers, fuzzing, memcheck
packages+=(pkgconf)                                     # pkg-config consumer of an installed tree
packages+=(zlib1g-dev)                                  # gzip input of brisvel-solve
packages+=(python3-numpy python3-scipy python3-pytest python3-venv) # the Python package's tests
packages+=(g++-mingw-w64-x86-64 googletest wine wine64) # Windows cross-build, tested under Wine
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

jobs=$(nproc)

step "default build and tests"
cmake --preset release
cmake --build --preset release -j"$jobs"
ctest --no-tests=error --preset release -j"$jobs"

step "loading compiled out: every probe fails"
# Loading compiled out: every probe fails and the transcript shows it.
cmake -S . -B build-test-no-ext -DCMAKE_BUILD_TYPE=Release -DBRISVEL_DYNAMIC_LIBS=OFF
cmake --build build-test-no-ext -j"$jobs" --target brisvel-selftest brisvel-tests \
    brisvel-probe-order-test
ctest --test-dir build-test-no-ext -j"$jobs" --output-on-failure --no-tests=error \
    -R '^(selftest_transcript|Api\.|ProbeOrder\.|library_needs_no_extension)'

step "without OpenMP: one thread, the same answers"
cmake -S . -B build-test-serial -DCMAKE_BUILD_TYPE=Release -DBRISVEL_USE_OPENMP=OFF \
      -DBRISVEL_BUILD_BENCH=OFF
cmake --build build-test-serial -j"$jobs"
ctest --test-dir build-test-serial -j"$jobs" --output-on-failure --no-tests=error

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --no-tests=error --preset sanitize -j"$jobs"

step "threads under ThreadSanitizer"
cmake --preset tsan
cmake --build --preset tsan -j"$jobs" --target brisvel-tests
ctest --preset tsan -j"$jobs"

step "fuzzing the call interface"
cmake --preset fuzz
cmake --build --preset fuzz -j"$jobs"
fuzz_corpus=$(mktemp -d)
if ! build-test-fuzz/bin/brisvel-fuzz-calls -max_total_time="${BRISVEL_FUZZ_SECONDS:-60}" \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$fuzz_corpus" fuzz/corpus >build-test-fuzz/fuzz.log 2>&1; then
  cat build-test-fuzz/fuzz.log
  exit 1
fi
grep -E 'INITED|DONE|stat::number_of_executed_units' build-test-fuzz/fuzz.log
rm -rf "$fuzz_corpus"

step "fuzzing the Matrix Market reader"
fuzz_corpus=$(mktemp -d)
if ! build-test-fuzz/bin/brisvel-fuzz-matrix-market -max_total_time="${BRISVEL_FUZZ_READER_SECONDS:-20}" \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$fuzz_corpus" tests/cli >build-test-fuzz/fuzz-mm.log 2>&1; then
  cat build-test-fuzz/fuzz-mm.log
  exit 1
fi
grep -E 'INITED|DONE|stat::number_of_executed_units' build-test-fuzz/fuzz-mm.log
rm -rf "$fuzz_corpus"

step "self-test under valgrind memcheck, extensions loaded"
valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  --suppressions=tests/valgrind.supp build-test/bin/brisvel-selftest >build-test/selftest-valgrind.txt
cmp build-test/selftest-valgrind.txt tests/expected/selftest-with-extensions.txt

# ---- 64-bit Windows: cross-built with MinGW-w64, tested under Wine ----------
# ctest runs Wine quietly (WINEDEBUG=-all), without a display, in a private
# prefix under build-test-win that its first test creates.
step "64-bit Windows cross-build, tested under Wine"
win_start=$SECONDS
cmake -S . -B build-test-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-test-win -j"$jobs"
ctest --test-dir build-test-win -j"$jobs" --output-on-failure --no-tests=error
echo "Windows cross-build and tests under Wine: $((SECONDS - win_start)) s"
# ---- end of the Windows block ------------------------------------------------

step "done"
