#!/usr/bin/env bash
# Installs, on Debian 12, every package that building, testing, the demo and the benchmarks need.
# Idempotent: only packages that are missing are installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-system-dev libssl-dev openssl ca-certificates
  zlib1g-dev libbrotli-dev libzstd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-httpbin gunicorn
  iproute2 util-linux procps
  nginx libcurl4-openssl-dev libcpp-httplib-dev
  clang-14 libclang-rt-14-dev libfuzzer-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing: ${missing[*]}" >&2
  echo "install-deps: run this script as root (or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The nginx package starts a system service on port 80; korvo only runs its own instances.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet nginx 2>/dev/null; then
  systemctl stop nginx || true
fi
