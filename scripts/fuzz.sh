#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a bounded time, starting from its seed corpus in fuzz/corpus/<target>.
# A crash, a leak, a timeout or running out of memory fails the script.
#
#   scripts/fuzz.sh [target ...]
#
#   FUZZ_TIME=60      seconds per target (-max_total_time)
#   FUZZ_RUNS=N       run exactly N inputs per target instead of a time bound
#   FUZZ_MAX_LEN=8192 largest input the fuzzer makes
#   KORVO_FUZZ_DIR    build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=$(realpath -m "${KORVO_FUZZ_DIR:-build-fuzz}")
fuzz_time=${FUZZ_TIME:-60}
jobs=${FUZZ_BUILD_JOBS:-2}

for tool in clang-14 clang++-14; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "fuzz: $tool is missing (scripts/install-deps.sh installs clang-14 and libfuzzer-14-dev)" >&2
    exit 1
  fi
done

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVO_BUILD_FUZZ=ON -DKORVO_BUILD_TESTS=OFF -DKORVO_BUILD_EXAMPLES=OFF -DKORVO_BUILD_BENCH=OFF \
  -DKORVO_SANITIZE= >/dev/null
if [ $# -gt 0 ]; then
  targets=("$@")
  cmake --build "$build" -j "$jobs" --target "${targets[@]}"
else
  targets=()
  for source in fuzz/*_fuzzer.cc; do
    targets+=("$(basename "$source" .cc)")
  done
  cmake --build "$build" -j "$jobs" --target korvo_fuzzers
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no such target: $target" >&2
    failed+=("$target")
    continue
  fi
  # New inputs go to a scratch corpus in the build tree; the seeds in the repository stay as they are.
  work="$build/fuzz-work/$target"
  artifacts="$build/fuzz-artifacts/$target/"
  mkdir -p "$work/corpus" "$artifacts"
  seeds=()
  [ -d "fuzz/corpus/$target" ] && seeds+=("$root/fuzz/corpus/$target")
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=("-dict=$root/fuzz/$target.dict")
  if [ -n "${FUZZ_RUNS:-}" ]; then
    bound=("-runs=$FUZZ_RUNS")
  else
    bound=("-max_total_time=$fuzz_time")
  fi
  echo "fuzz: $target (${bound[*]})"
  if ! (cd "$work" && "$binary" "${bound[@]}" -timeout=10 -rss_limit_mb=2048 -max_len="${FUZZ_MAX_LEN:-8192}" \
          -print_final_stats=1 -artifact_prefix="$artifacts" "${dict[@]}" \
          corpus "${seeds[@]}" >"log.txt" 2>&1); then
    echo "fuzz: $target FAILED; last lines of $work/log.txt:" >&2
    tail -n 60 "$work/log.txt" >&2
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/log.txt" | sed "s/^/fuzz: $target /"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all targets clean"
