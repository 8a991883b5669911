#!/usr/bin/env bash
# Installs korvo twice, as the static library (from an existing build directory) and as
# the shared one (built in a directory of its own, library only), and builds the programs
# in this directory against each installed tree as users would: through
# find_package(korvo) and through pkg-config. Every program runs and sends a real request
# to a server of its own on 127.0.0.1. Also checks what libkorvo.so exports.
#
#   tests/install_consumer/check.sh STATIC-BUILD-DIR
#
#   KORVO_SHARED_BUILD_DIR   build directory of the shared library (default build-shared)
#
# Quiet when all is well; on a failure it prints the failing step's output and exits 1.
set -euo pipefail
cd "$(dirname "$0")/../.."

static_build=${1:?usage: $0 STATIC-BUILD-DIR}
shared_build=${KORVO_SHARED_BUILD_DIR:-build-shared}
consumer=tests/install_consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "install check: $*" >&2
  exit 1
}

# Runs a step with its output kept aside, shown only when the step fails.
step() {
  if ! "$@" > "$work/step.log" 2>&1; then
    cat "$work/step.log" >&2
    fail "failed: $*"
  fi
}

step cmake -S . -B "$shared_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
     -DKORVO_BUILD_TESTS=OFF -DKORVO_BUILD_EXAMPLES=OFF -DKORVO_BUILD_BENCH=OFF \
     -DKORVO_BUILD_FUZZ=OFF -DKORVO_SANITIZE= -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
step cmake --build "$shared_build" -j "$(nproc)" --target korvo
step cmake --install "$static_build" --prefix "$work/static"
step cmake --install "$shared_build" --prefix "$work/shared"

for kind in static shared; do
  headers=$work/$kind/include/korvo
  [ -f "$headers/version.h" ] || fail "$kind: korvo/version.h is not installed"
  # Only korvo/logger.h may claim the short names that <syslog.h> uses too.
  claims=$(grep -lE '^\s*#\s*define\s+LOG_' "$headers"/*.h | grep -v '/logger\.h$' || true)
  [ -z "$claims" ] || fail "$kind: headers define unprefixed LOG_ macros: $claims"
  # The installed headers show the public API: no internal header, no file streams.
  leaks=$(grep -lE '#\s*include\s*[<"](fstream|korvo/internal/)' "$headers"/*.h || true)
  [ -z "$leaks" ] || fail "$kind: headers include internals: $leaks"
  [ ! -e "$headers/internal" ] || fail "$kind: korvo/internal/ is installed"
done

# The shared library: versioned names, and the public API as its only exports.
library=$(find "$work/shared" -name 'libkorvo.so' -print -quit)
[ -n "$library" ] || fail "shared: libkorvo.so is not installed"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ "$soname" =~ ^libkorvo\.so\.[0-9]+\.[0-9]+$ ]] || fail "shared: unexpected SONAME '$soname'"
[ -e "$(dirname "$library")/$soname" ] || fail "shared: $soname is not installed"
exports=$(nm -DC --defined-only "$library")
# Every export belongs to korvo (no Boost, OpenSSL or standard library code), and none
# to the internal classes.
owned='^[0-9a-f]+ [A-Za-z] ((typeinfo|typeinfo name|vtable) for )?korvo::'
hidden='ClientBase|Client|SslClient|SocketBase|Socket|SslSocket|Parser|ResponseParser'
hidden+='|[A-Za-z]*BodyHandler|ConnectionPool|PoolKey|HostLookup|[A-Za-z]+::Impl'
hidden+='|detail|[A-Za-z]+Access|ContentDisposition'
foreign=$(grep -vE "$owned" <<< "$exports" || true)
# Anchored at the symbol's own name: a private member of a public class may take an
# internal type as a parameter.
symbol='^[0-9a-f]+ [A-Za-z] ((typeinfo|typeinfo name|vtable) for )?'
internal=$(grep -E "${symbol}korvo::($hidden)\\b" <<< "$exports" || true)
[ -z "$foreign$internal" ] || fail "shared: libkorvo.so exports more than the public API:
$foreign$internal"
grep -q ' korvo::ClientSession::Send(' <<< "$exports" ||
  fail "shared: ClientSession::Send is not exported"

for kind in static shared; do
  prefix=$work/$kind
  expected=$([ $kind = static ] && echo STATIC_LIBRARY || echo SHARED_LIBRARY)

  # find_package(korvo)
  step cmake -S "$consumer" -B "$work/cmake-$kind" -DCMAKE_PREFIX_PATH="$prefix" \
       -DKORVO_EXPECTED_TYPE=$expected
  step cmake --build "$work/cmake-$kind" -j "$(nproc)"
  step timeout 60 "$work/cmake-$kind/app"
  step timeout 60 "$work/cmake-$kind/syslog_app"

  # pkg-config: a static library needs --static for its own dependencies.
  pc=$(find "$prefix" -name korvo.pc -print -quit)
  [ -n "$pc" ] || fail "$kind: korvo.pc is not installed"
  export PKG_CONFIG_PATH=$(dirname "$pc")
  flags=$(pkg-config --cflags --libs $([ $kind = static ] && echo --static) korvo) ||
    fail "$kind: pkg-config cannot read korvo.pc"
  libdir=$(pkg-config --variable=libdir korvo)
  step c++ -Wall -Wextra -Werror "$consumer/main.cc" -o "$work/pc-$kind" $flags -Wl,-rpath,"$libdir"
  step timeout 60 "$work/pc-$kind"

  # Each program is linked the way its package says.
  for program in "$work/cmake-$kind/app" "$work/pc-$kind"; do
    needed=$(readelf -d "$program" | grep -c 'NEEDED.*\[libkorvo\.so' || true)
    if [ $kind = static ] && [ "$needed" != 0 ]; then fail "$program needs libkorvo.so"; fi
    if [ $kind = shared ] && [ "$needed" != 1 ]; then fail "$program does not need libkorvo.so"; fi
  done
done
unset PKG_CONFIG_PATH
