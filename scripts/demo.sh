#!/usr/bin/env bash
# The demo of korvo's three programs. On Debian 12, as root: installs what is missing,
# builds the programs, and runs tourfetch, partpost and fieldpost unchanged, with their
# default URLs, against a local httpbin that poses as httpbin.org inside private
# namespaces (scripts/netns-run.sh), HTTPS included; no internet is needed or used.
# The build lands in build-demo (or $KORVO_DEMO_BUILD_DIR); nothing else outside the
# namespaces changes, and everything the demo starts ends with it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
  echo "demo: run this as root (the demo creates network namespaces with unshare)" >&2
  exit 1
fi

./scripts/install-deps.sh

build=${KORVO_DEMO_BUILD_DIR:-build-demo}
echo "demo: building the programs in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_BUILD_TESTS=OFF \
      -DKORVO_BUILD_EXAMPLES=ON > /dev/null
cmake --build "$build" -j "$(nproc)" --target tourfetch partpost fieldpost

if ! ./scripts/netns-run.sh --probe; then
  echo "demo: this machine does not permit unshare --net --mount --pid" >&2
  exit 1
fi

out=$(mktemp -d "${TMPDIR:-/tmp}/korvo-demo.XXXXXX")
trap 'rm -rf "$out"' EXIT
trap 'echo "demo: interrupted"; exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

echo "demo: httpbin.org is a local httpbin on 127.0.0.1:80 and :443 (demo CA) inside namespaces"
status=0
./scripts/netns-run.sh -- ./scripts/demo-programs.sh served "$build/examples" "$out" || status=$?
echo
case $status in
  0) echo "demo: PASSED, all three programs succeeded against httpbin.org, HTTPS included" ;;
  1) echo "demo: FAILED, see the verdicts above"; exit 1 ;;
  129 | 130 | 143) echo "demo: interrupted; everything it started has ended"; exit "$status" ;;
  *) echo "demo: FAILED, the namespace or the server could not be set up (status $status)"; exit 1 ;;
esac
