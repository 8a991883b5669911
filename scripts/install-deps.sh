#!/usr/bin/env bash
# Installs, on Debian 12, every package that building, testing, the demo and the benchmarks need.
# Idempotent: only packages that are missing are installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-system-dev libssl-dev openssl ca-certificates
  zlib1g-dev libbrotli-dev libzstd-dev libpsl-dev publicsuffix libnghttp2-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-httpbin gunicorn
  iproute2 util-linux procps
  nginx libcurl4-openssl-dev libcpp-httplib-dev
  tinyproxy squid microsocks libnginx-mod-stream libnginx-mod-http-echo
  nghttp2-server nghttp2-client python3-h2 python3-hypercorn
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
# The nginx, tinyproxy and squid packages start system services (on ports 80, 8888 and
# 3128); korvo only runs its own instances, on ports chosen at run time. Stopped and kept
# from starting at boot, so that none of them holds a port or a proxy's state.
for service in nginx tinyproxy squid; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$service" 2>/dev/null; then
    systemctl stop "$service" || true
    systemctl disable --quiet "$service" 2>/dev/null || true
  elif [ -x "/etc/init.d/$service" ] && "/etc/init.d/$service" status >/dev/null 2>&1; then
    "/etc/init.d/$service" stop >/dev/null 2>&1 || true
  fi
done
