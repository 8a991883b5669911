#!/usr/bin/env bash
# Runs a command inside private network, mount and PID namespaces in which httpbin.org
# resolves to 127.0.0.1 and Debian's httpbin answers for it under gunicorn: plain HTTP
# on port 80 and HTTPS on port 443, with a server certificate issued by a demo CA made
# for this run. The namespace's view of the system CA bundle is the real bundle plus
# that CA, so the programs verify the certificate for real, unchanged.
#
# Nothing leaves the machine: the namespace has only its own loopback, and stray DNS
# queries go to 127.0.0.1. Nothing outside changes: the hosts file, resolv.conf and CA
# bundle are bind mounts seen only inside, every file lives on a tmpfs that vanishes
# with the namespace, and the namespace's first process is the shell below, so its
# end (normal, failure, Ctrl-C, or this script being killed) ends every process in it.
#
# Usage: netns-run.sh [options] [--] command [args...]
#   --no-server        start no server (the echo host resolves, but nothing listens)
#   --untrusted        do not add the demo CA to the namespace's CA bundle
#   --cert-name NAME   issue the server certificate for NAME instead of httpbin.org
#   --probe            only check that the namespaces can be created (exit 0 if so)
# Exit status: the command's; 125 when the namespace or the server cannot be set up.
set -euo pipefail

readonly echo_host=httpbin.org
readonly ca_bundle=/etc/ssl/certs/ca-certificates.crt
readonly unshare_flags=(--net --mount --pid --fork --kill-child --mount-proc)

die() {
  echo "netns-run: $*" >&2
  exit 125
}

# ---------------------------------------------------------------- inside the namespace

server_pids=()

stop_servers() {
  local pid
  for pid in "${server_pids[@]}"; do
    kill -QUIT "$pid" 2>/dev/null || true
  done
  for pid in "${server_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  server_pids=()
}

make_certificates() {
  local dir=$1 name=$2
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=korvo demo CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>"$dir/openssl.log" ||
    { cat "$dir/openssl.log" >&2; die "cannot create the demo CA"; }
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$name" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>"$dir/openssl.log" ||
    { cat "$dir/openssl.log" >&2; die "cannot create the server key"; }
  printf '%s\n' "subjectAltName=DNS:$name" "basicConstraints=CA:FALSE" \
    "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$dir/server.ext" \
    -out "$dir/server.crt" 2>"$dir/openssl.log" ||
    { cat "$dir/openssl.log" >&2; die "cannot issue the server certificate"; }
}

# Polls until both servers answer /get (over HTTPS checked against the demo CA) or one
# of them has died; gives up after 60 seconds.
wait_for_servers() {
  local dir=$1 check_name=$2
  /usr/bin/python3 - "$echo_host" "$dir/ca.crt" "$check_name" "${server_pids[@]}" <<'EOF'
import http.client, os, ssl, sys, time
host, cafile, check_name = sys.argv[1:4]
pids = [int(p) for p in sys.argv[4:]]
context = ssl.create_default_context(cafile=cafile)
context.check_hostname = check_name == "1"
pending = {"http": lambda: http.client.HTTPConnection(host, 80, timeout=5),
           "https": lambda: http.client.HTTPSConnection(host, 443, timeout=5, context=context)}
deadline = time.monotonic() + 60
last_error = None
while pending:
    for scheme, connect in list(pending.items()):
        try:
            connection = connect()
            connection.request("GET", "/get")
            if connection.getresponse().status == 200:
                del pending[scheme]
            connection.close()
        except (OSError, http.client.HTTPException) as error:
            last_error = error
    if not pending:
        break
    for pid in pids:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            sys.exit("a server ended while starting")
    if time.monotonic() > deadline:
        sys.exit("no answer on %s: %s" % (", ".join(pending), last_error))
    time.sleep(0.1)
EOF
}

start_servers() {
  local dir=$1 check_name=$2
  # Keeps Python from writing byte code next to the system's packages.
  export PYTHONDONTWRITEBYTECODE=1
  local common=(--workers 2 --worker-tmp-dir "$dir" --graceful-timeout 2 httpbin:app)
  /usr/bin/gunicorn --bind 127.0.0.1:80 --error-logfile "$dir/http.log" "${common[@]}" &
  server_pids+=($!)
  /usr/bin/gunicorn --bind 127.0.0.1:443 --certfile "$dir/server.crt" --keyfile "$dir/server.key" \
    --error-logfile "$dir/https.log" "${common[@]}" &
  server_pids+=($!)
  if ! wait_for_servers "$dir" "$check_name"; then
    echo "netns-run: gunicorn on port 80:" >&2
    cat "$dir/http.log" >&2 || true
    echo "netns-run: gunicorn on port 443:" >&2
    cat "$dir/https.log" >&2 || true
    die "httpbin did not start"
  fi
}

inside() {
  local dir=$1 serve=$2 trust=$3 cert_name=$4
  shift 4
  trap stop_servers EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP

  mount --make-rprivate / || die "cannot make the mount tree private"
  mount -t tmpfs -o mode=0700,size=32m korvo-netns "$dir" || die "cannot mount a tmpfs on $dir"
  ip link set lo up || die "cannot bring loopback up"

  { echo "127.0.0.1 $echo_host"; cat /etc/hosts 2>/dev/null || true; } > "$dir/hosts"
  mount --bind "$dir/hosts" /etc/hosts || die "cannot bind-mount the hosts file"
  if [[ -e /etc/resolv.conf ]]; then
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "$dir/resolv.conf"
    mount --bind "$dir/resolv.conf" /etc/resolv.conf || die "cannot bind-mount resolv.conf"
  fi
  # Resolvers reached through a unix socket (nscd, systemd-resolved) would answer from
  # outside the namespace: lookups use the files above and the name server on lo only.
  if [[ -e /etc/nsswitch.conf ]]; then
    printf 'hosts: files dns\n' > "$dir/nsswitch.conf"
    mount --bind "$dir/nsswitch.conf" /etc/nsswitch.conf || die "cannot bind-mount nsswitch.conf"
  fi
  for socket_dir in /run/nscd /var/run/nscd /run/systemd/resolve; do
    if [[ -d $socket_dir ]]; then
      mount -t tmpfs -o size=1m korvo-netns-empty "$socket_dir" || die "cannot hide $socket_dir"
    fi
  done

  if [[ $serve == 1 ]]; then
    [[ -f $ca_bundle ]] || die "$ca_bundle is missing (package ca-certificates)"
    make_certificates "$dir" "$cert_name"
    if [[ $trust == 1 ]]; then
      cat "$ca_bundle" "$dir/ca.crt" > "$dir/ca-bundle.crt"
      mount --bind "$dir/ca-bundle.crt" "$ca_bundle" || die "cannot bind-mount the CA bundle"
    fi
    local check_name=0
    [[ $cert_name == "$echo_host" ]] && check_name=1
    start_servers "$dir" "$check_name"
  fi

  local status=0
  "$@" || status=$?
  exit "$status"
}

# ---------------------------------------------------------------- outside

if [[ ${1:-} == --inside ]]; then
  shift
  inside "$@"
fi

serve=1
trust=1
cert_name=$echo_host
while [[ $# -gt 0 ]]; do
  case $1 in
    --no-server) serve=0 ;;
    --untrusted) trust=0 ;;
    --cert-name)
      [[ $# -ge 2 && -n $2 ]] || die "--cert-name needs a name"
      cert_name=$2
      shift ;;
    --probe)
      [[ $(id -u) -eq 0 ]] || exit 1
      exec unshare "${unshare_flags[@]}" -- true ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
  shift
done
[[ $# -gt 0 ]] || die "usage: netns-run.sh [--no-server] [--untrusted] [--cert-name NAME] [--] command [args...]"
[[ $(id -u) -eq 0 ]] || die "needs root (it creates namespaces with unshare)"

self=$(readlink -f "$0")
dir=$(mktemp -d "${TMPDIR:-/tmp}/korvo-netns.XXXXXX")
child=
cleanup() {
  if [[ -n $child ]]; then
    # The namespace's first process dies with unshare (--kill-child), and with it
    # every process of the namespace.
    kill -KILL "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# In the background, so that a signal reaches the traps at once instead of after the
# namespace has ended.
unshare "${unshare_flags[@]}" -- bash "$self" --inside "$dir" "$serve" "$trust" "$cert_name" "$@" <&0 &
child=$!
status=0
wait "$child" || status=$?
child=
exit "$status"
