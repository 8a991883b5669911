#!/usr/bin/env bash
# Installs what is missing, builds korvo with its tests and examples, and runs every test;
# then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, a bounded run of every fuzz target, and a short
# run of the benchmark (to prove it works; it asserts nothing about speed).
# KORVO_FAST=1 stops after the plain suite and the package check (for quick local runs).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

build=${KORVO_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_BUILD_TESTS=ON -DKORVO_BUILD_EXAMPLES=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The installed package must work for a user's find_package(korvo).
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" > /dev/null
cmake -S tests/install_consumer -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix/usr" > /dev/null
cmake --build "$prefix/consumer" > /dev/null
"$prefix/consumer/app" > /dev/null
echo "test.sh: installed package builds and links a consumer"

[ "${KORVO_FAST:-0}" = 1 ] && exit 0
./scripts/sanitize.sh
FUZZ_TIME=${FUZZ_TIME:-45} ./scripts/fuzz.sh
./scripts/bench.sh --quick
