#!/usr/bin/env bash
# Builds and runs the tests under the sanitizers; any sanitizer report fails the script.
#   1. the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer;
#   2. the concurrency tests (driver, session, pool, soak and cancel) with ThreadSanitizer.
#
#   scripts/sanitize.sh [asan|tsan]      (default: both)
#
#   KORVO_ASAN_DIR, KORVO_TSAN_DIR   build directories (default build-asan, build-tsan)
#   SANITIZE_JOBS                    build jobs (default: number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."

asan_build=${KORVO_ASAN_DIR:-build-asan}
tsan_build=${KORVO_TSAN_DIR:-build-tsan}
jobs=${SANITIZE_JOBS:-$(nproc)}
what=${1:-all}

# The concurrency tests: everything that runs exchanges on the loop thread while other
# threads send, cancel or stop.
tsan_tests=(client_base_test client_session_test client_session_async_test client_session_cookie_test client_session_http2_test connection_pool_test connector_test cookie_jar_test http2_session_test route_socket_test soak_test)

# Warnings are checked by the ordinary build: the sanitizers make g++ warn spuriously.
# A sanitizer report ends the process with a failure status; leaks are checked at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0:suppressions=$(pwd)/scripts/tsan.supp}

configure() {  # build-dir sanitizers
  local flags=""
  # g++ warns on every atomic fence that Boost.Asio uses; ThreadSanitizer handles them.
  [ "$2" = thread ] && flags="-Wno-tsan"
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_SANITIZE="$2" -DCMAKE_CXX_FLAGS="$flags" \
        -DKORVO_BUILD_TESTS=ON -DKORVO_BUILD_EXAMPLES=ON -DKORVO_BUILD_FUZZ=OFF >/dev/null
}

run_asan() {
  echo "sanitize: address,undefined: building the whole suite in $asan_build"
  configure "$asan_build" address,undefined
  cmake --build "$asan_build" -j "$jobs"
  echo "sanitize: address,undefined: running the whole suite"
  ctest --test-dir "$asan_build" --output-on-failure -j "$jobs"
}

run_tsan() {
  echo "sanitize: thread: building ${tsan_tests[*]} in $tsan_build"
  configure "$tsan_build" thread
  local present=()
  for name in "${tsan_tests[@]}"; do
    if [ -f "tests/$name.cc" ]; then
      present+=("$name")
    else
      echo "sanitize: thread: tests/$name.cc does not exist; skipped" >&2
    fi
  done
  [ ${#present[@]} -gt 0 ] || { echo "sanitize: thread: nothing to run" >&2; return 1; }
  cmake --build "$tsan_build" -j "$jobs" --target "${present[@]}"
  local failed=()
  for name in "${present[@]}"; do
    echo "sanitize: thread: running $name"
    # Executables are run directly: the other tests are not built in this directory.
    if ! (cd "$tsan_build/tests" && "./$name" --gtest_brief=1); then
      failed+=("$name")
    fi
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "sanitize: thread: failures in: ${failed[*]}" >&2
    return 1
  fi
}

case "$what" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
echo "sanitize: clean"
