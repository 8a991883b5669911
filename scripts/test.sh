#!/usr/bin/env bash
# Installs what is missing, builds korvo with its tests and examples, and runs every test;
# then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, a bounded run of every fuzz target, and a short
# run of the benchmark (to prove it works; it asserts nothing about speed).
# KORVO_FAST=1 stops after the plain suite and the package checks (for quick local runs).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

build=${KORVO_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_BUILD_TESTS=ON -DKORVO_BUILD_EXAMPLES=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The installed packages, static (this build) and shared (a library-only build in
# build-shared), must work for users through find_package(korvo) and pkg-config.
tests/install_consumer/check.sh "$build"
echo "test.sh: installed static and shared packages build and run consumers (CMake, pkg-config)"

[ "${KORVO_FAST:-0}" = 1 ] && exit 0
./scripts/sanitize.sh
FUZZ_TIME=${FUZZ_TIME:-45} ./scripts/fuzz.sh
./scripts/bench.sh --quick
