#!/usr/bin/env bash
# Measures what including korvo costs a user: compiles a file that includes only
# korvo/korvo.h (g++ -std=c++17 -O2), five times, and prints the median wall time and
# the number of lines after preprocessing.
#
#   scripts/compile-time.sh [build-dir]     (default: build; for the generated version.h)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/include/korvo/version.h" ] || { echo "compile-time: build $build first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include "korvo/korvo.h"\nint main() { return 0; }\n' > "$work/user.cc"
flags=(-std=c++17 -O2 -I. -I"$build/include")

times=()
for _ in 1 2 3 4 5; do
  start=$(date +%s%N)
  g++ "${flags[@]}" -c "$work/user.cc" -o "$work/user.o"
  end=$(date +%s%N)
  times+=($(((end - start) / 1000000)))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p)
lines=$(g++ "${flags[@]}" -E "$work/user.cc" | wc -l)
printf 'korvo/korvo.h: %d ms (median of 5), %d lines after preprocessing\n' "$median" "$lines"
