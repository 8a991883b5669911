#!/usr/bin/env bash
# Network benchmark: korvo next to libcurl, cpp-httplib, Boost.Beast and a raw-socket floor,
# all against one private nginx on loopback (http, https, and a second https port that
# also speaks HTTP/2, where h2load runs beside the clients), and, where tinyproxy is
# installed, through a private tinyproxy beside it (the tunnel figure).
#
#   scripts/bench.sh            full run (several rounds, 256 MiB transfers, 64 MiB of
#                               gzip-coded text once decoded; a few minutes)
#   scripts/bench.sh --quick    short run that only proves everything works (CI)
#
# Other arguments are passed to the benchmark program (see `net_bench --help`), e.g.
#   scripts/bench.sh --figures keepalive,memory --clients floor,korvo --rounds 3
#   scripts/bench.sh --figures gzip-memory,gzip-stream --text-size 16777216
#   scripts/bench.sh --figures parallel,parallel-newconn --rounds 3   (64 requests in flight)
#   scripts/bench.sh --figures h2-parallel,h2-download,resume   (HTTP/2 and TLS resumption)
# KORVO_BENCH_WRAP runs the program under a tool, which follows the measurements'
# child processes, e.g. KORVO_BENCH_WRAP="perf record -g -o /tmp/korvo.perf".
# Builds in Release into ${KORVO_BENCH_BUILD_DIR:-build-bench} (relative to the repository,
# or absolute). Everything the run creates (nginx configuration, files, certificates,
# nginx itself) lives in one temporary directory and is removed on exit, also on failure
# or Ctrl-C. The system's nginx and tinyproxy services and their configuration are never
# touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
size=""
text_size=""
previous=""
for arg in "$@"; do
  [ "$arg" = "--quick" ] && quick=1
  [ "$previous" = "--size" ] && size=$arg
  [ "$previous" = "--text-size" ] && text_size=$arg
  previous=$arg
done

if [ "$(id -u)" -eq 0 ]; then
  ./scripts/install-deps.sh
fi

build=${KORVO_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVO_BUILD_BENCH=ON \
      -DKORVO_BUILD_TESTS=OFF -DKORVO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target net_bench
case $build in
  /*) build_path=$build ;;
  *) build_path=$root/$build ;;
esac
bench_bin=$build_path/bench/net_bench
[ -x "$bench_bin" ] || bench_bin=$(find "$build_path" -name net_bench -type f -perm -u+x | head -n1)

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korvo-bench.XXXXXX")
nginx_pid=""
proxy_pid=""
bench_pid=""
cleanup() {
  local status=$?
  if [ -n "$bench_pid" ] && kill -0 "$bench_pid" 2>/dev/null; then
    kill -TERM "$bench_pid" 2>/dev/null || true
    wait "$bench_pid" 2>/dev/null || true
  fi
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ -n "$proxy_pid" ] && kill -0 "$proxy_pid" 2>/dev/null; then
    kill -TERM "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# nginx's workers drop to an unprivileged user when started as root; they must reach the files.
chmod 755 "$work"

if [ -n "$size" ]; then
  big_size=$size
elif [ $quick -eq 1 ]; then
  big_size=$((8 << 20))
else
  big_size=$((256 << 20))
fi
if [ -z "$text_size" ]; then
  text_size=$(( quick ? 8 << 20 : 64 << 20 ))
fi
mkdir -p "$work/www" "$work/logs" "$work/temp"
head -c 100 /dev/urandom >"$work/www/small"
head -c "$big_size" /dev/urandom >"$work/www/big"
# The parallel downloads over HTTP/2 fetch this one 16 times at once.
medium_size=$((64 << 20))
head -c "$medium_size" /dev/urandom >"$work/www/medium"
# Compressible text for the decoded downloads: JSON lines of an event log, made from a
# fixed seed, about 8 to 1 under gzip -6. Only the coded copy is served (see /text below);
# the plain one stays outside the served tree for the benchmark's checks.
/usr/bin/python3 - "$text_size" >"$work/text" <<'EOF'
import random
import sys

size = int(sys.argv[1])
rng = random.Random(20261209)
events = ["view", "click", "add_to_cart", "purchase", "search", "login", "logout"]
agents = ["Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/128.0",
          "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_5) AppleWebKit/605.1.15 Safari/605.1.15",
          "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/126.0 Safari/537.36",
          "curl/7.88.1", "okhttp/4.12.0"]
countries = ["DE", "FR", "US", "JP", "BR", "IN", "GB", "NL", "SE", "PL"]
out = sys.stdout.buffer
written = 0
record = 0
while written < size:
    record += 1
    line = ('{"id":%d,"ts":"2026-12-09T%02d:%02d:%02d.%03dZ","user":"u%06d","event":"%s",'
            '"path":"/api/v1/items/%d","status":%d,"ms":%.1f,"country":"%s","agent":"%s"}\n' % (
                record, rng.randrange(24), rng.randrange(60), rng.randrange(60),
                rng.randrange(1000), rng.randrange(200000), rng.choice(events),
                rng.randrange(100000), 200 if rng.random() < 0.95 else rng.choice([301, 404, 500]),
                rng.expovariate(1 / 40.0), rng.choice(countries), rng.choice(agents))).encode()
    line = line[:size - written]
    out.write(line)
    written += len(line)
EOF
gzip -6 -n -c "$work/text" >"$work/www/text.gz"
chmod 644 "$work/www/small" "$work/www/big" "$work/www/medium" "$work/www/text.gz"

# A CA and a server certificate for 127.0.0.1 issued by it: every client verifies for real.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=korvo bench CA" \
        -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
        -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  >"$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
        -CAcreateserial -days 2 -extfile "$work/server.ext" -out "$work/server.crt" 2>/dev/null

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_config() {
  cat >"$work/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_timeout 120s;
  keepalive_requests 100000000;
  # Long uploads are read while they are discarded; do not cut them short.
  lingering_time 600s;
  lingering_timeout 60s;
  ssl_certificate $work/server.crt;
  ssl_certificate_key $work/server.key;
  ssl_protocols TLSv1.2 TLSv1.3;
  # "r" when the request's TLS session was resumed, "." when its handshake was a full one;
  # the TLS version; the query, which tells the requests apart.
  log_format resume '\$ssl_session_reused \$ssl_protocol \$args';
  server {
    listen 127.0.0.1:$http_port;
    listen 127.0.0.1:$https_port ssl;
    root $work/www;
    location / { }
    # Served from text.gz as it is, "Content-Encoding: gzip": nginx compresses nothing.
    # There is no plain copy, so a client that does not ask for gzip gets 404.
    location = /text {
      gzip_static on;
    }
    # The body of an upload is read and thrown away.
    location = /upload {
      client_max_body_size 0;
      return 204;
    }
    # The small file again, logged: the resume figure checks its clients' handshakes here.
    location = /resume-check {
      access_log $work/logs/resume.log resume;
      try_files /small =404;
    }
  }
  # The same files over TLS with HTTP/2 offered through ALPN, on a port of its own so that
  # the https figures stay HTTP/1.1 whatever a client offers.
  server {
    listen 127.0.0.1:$h2_port ssl http2;
    root $work/www;
    location / { }
  }
}
EOF
}

# Until `port` accepts, while the process `pid` that is to listen there runs.
wait_for_port() {
  local port=$1 pid=$2
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      # Somebody else's port accepts too; the program then has given up on it.
      kill -0 "$pid" 2>/dev/null
      return
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

started=0
for _ in 1 2 3; do
  http_port=$(free_port)
  https_port=$(free_port)
  h2_port=$(free_port)
  [ "$http_port" != "$https_port" ] && [ "$h2_port" != "$http_port" ] &&
    [ "$h2_port" != "$https_port" ] || continue
  write_config
  "$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/logs/error.log" &
  nginx_pid=$!
  if wait_for_port "$http_port" "$nginx_pid" && wait_for_port "$https_port" "$nginx_pid" &&
     wait_for_port "$h2_port" "$nginx_pid"; then
    started=1
    break
  fi
  kill -TERM "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
done
if [ $started -eq 0 ]; then
  echo "bench: nginx did not start" >&2
  cat "$work/logs/error.log" >&2 || true
  exit 1
fi

# The HTTP proxy of the tunnel figure: CONNECT to the https port only, and nothing logged
# but errors (a line per request would be part of what is measured). It binds its port
# itself, so another one is tried when the one picked was taken meanwhile. It has no
# setting for TCP_NODELAY and relays with Nagle's algorithm on, which a client pays for in
# delayed acknowledgements (see bench/README.md); it is measured as it comes.
proxy_args=()
tinyproxy_bin=$(command -v tinyproxy || echo /usr/bin/tinyproxy)
if [ -x "$tinyproxy_bin" ]; then
  for _ in 1 2 3; do
    proxy_port=$(free_port)
    cat >"$work/tinyproxy.conf" <<EOF
Port $proxy_port
Listen 127.0.0.1
Allow 127.0.0.1
ConnectPort $https_port
MaxClients 256
Timeout 600
LogLevel Error
EOF
    "$tinyproxy_bin" -d -c "$work/tinyproxy.conf" >>"$work/logs/tinyproxy.log" 2>&1 &
    proxy_pid=$!
    if wait_for_port "$proxy_port" "$proxy_pid"; then
      proxy_args=(--proxy-port "$proxy_port")
      break
    fi
    kill -TERM "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
    proxy_pid=""
  done
  if [ ${#proxy_args[@]} -eq 0 ]; then
    echo "bench: tinyproxy did not start; the tunnel figure is left out" >&2
    cat "$work/logs/tinyproxy.log" >&2 || true
  fi
else
  echo "bench: tinyproxy is not installed; the tunnel figure is left out" >&2
fi

args=(--http-port "$http_port" --https-port "$https_port" --ca "$work/ca.crt"
      --dir "$work" --size "$big_size" --text-size "$text_size" "${proxy_args[@]}"
      --h2-port "$h2_port" --medium-size "$medium_size" "$@")

read -r -a program <<<"${KORVO_BENCH_WRAP:-}"
program+=("$bench_bin")

# korvo trusts only the system's CA bundle, as a user's program would, and so do all the
# clients in the first-request figures. In a private mount namespace the bundle is
# overlaid with a copy that also holds the benchmark's CA; nothing outside the namespace
# sees it.
bundle=/etc/ssl/certs/ca-certificates.crt
cat "$bundle" "$work/ca.crt" >"$work/bundle.crt" 2>/dev/null || cp "$work/ca.crt" "$work/bundle.crt"
run_in_namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || run_in_namespace=(unshare --map-root-user --mount --propagation private)
if [ -f "$bundle" ] && "${run_in_namespace[@]}" true 2>/dev/null; then
  export KORVO_BENCH_BUNDLE="$work/bundle.crt" KORVO_BENCH_SYSTEM_BUNDLE="$bundle"
  command=("${run_in_namespace[@]}" sh -c
           'mount --bind "$KORVO_BENCH_BUNDLE" "$KORVO_BENCH_SYSTEM_BUNDLE" && exec "$@"'
           sh "${program[@]}" "${args[@]}")
else
  echo "bench: cannot overlay the system CA bundle here; korvo's HTTPS row and the" \
       "first-request rows (but the floor's) are left out" >&2
  command=("${program[@]}" "${args[@]}" --korvo-untrusted)
fi
# In the background, so that a signal reaches the traps at once and the cleanup stops it.
TMPDIR="$work/temp" "${command[@]}" &
bench_pid=$!
wait "$bench_pid"
