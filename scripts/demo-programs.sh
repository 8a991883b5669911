#!/usr/bin/env bash
# Runs korvo's three programs as a user would, for the demo and for the end-to-end test.
# Meant to run inside scripts/netns-run.sh, where httpbin.org is a local httpbin (or
# nothing at all). Every case prints its command, standard output, standard error and
# exit status, and leaves them in OUT_DIR/NAME.stdout, NAME.stderr and NAME.status.
#
# Usage: demo-programs.sh MODE BIN_DIR OUT_DIR
#   served     the demo: tourfetch, partpost data/upload and fieldpost with their default
#              URLs, each followed by a one-line verdict; exit status 0 only when all
#              three succeeded
#   tourfetch  tourfetch alone (for the certificate checks)
#   unserved   the failure paths, for a namespace where nothing listens: the three
#              programs as above, and partpost with a regular file, with no arguments,
#              with a directory lacking remember.txt and with too many arguments
set -euo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: demo-programs.sh served|tourfetch|unserved BIN_DIR OUT_DIR" >&2
  exit 2
fi
mode=$1
bin=$(readlink -f "$2")
out=$(readlink -f "$3")
root=$(readlink -f "$(dirname "$0")/..")
cd "$root"

run_case() {
  local name=$1
  shift
  local shown=("${1#"$root"/}" "${@:2}")
  printf '\n$ %s\n' "${shown[*]}"
  local status=0
  "$@" > "$out/$name.stdout" 2> "$out/$name.stderr" || status=$?
  echo "$status" > "$out/$name.status"
  echo "--- standard output:"
  cat "$out/$name.stdout"
  echo "--- standard error:"
  cat "$out/$name.stderr"
  echo "--- exit status: $status"
}

failures=0
verdict() {
  if [[ $1 == ok ]]; then
    echo "verdict: OK, $2"
  else
    echo "verdict: FAILED, expected $2"
    failures=$((failures + 1))
  fi
}

case $mode in
  served)
    run_case tourfetch "$bin/tourfetch"
    if [[ $(cat "$out/tourfetch.status") == 0 && ! -s $out/tourfetch.stdout ]]; then
      verdict ok "the GET with a query and a Date, the JSON POST and the HTTPS GET all succeeded"
    else
      verdict failed "exit status 0 and nothing on standard output"
    fi

    run_case partpost "$bin/partpost" data/upload
    if [[ $(cat "$out/partpost.status") == 0 && $(cat "$out/partpost.stdout") == 200 ]]; then
      verdict ok "the multipart upload of remember.txt was answered with 200"
    else
      verdict failed "exit status 0 and the status code 200"
    fi

    run_case fieldpost "$bin/fieldpost"
    if [[ $(cat "$out/fieldpost.status") == 0 ]] && /usr/bin/python3 - "$out/fieldpost.stdout" <<'EOF'
import json, sys
try:
    echo = json.load(open(sys.argv[1]))
    headers = echo["headers"]
    ok = (echo["form"] == {"key1": "value1", "key2": "value2"}
          and headers.get("Content-Type") == "application/x-www-form-urlencoded; charset=utf8"
          and headers.get("Content-Length") == "23")
except (ValueError, KeyError, TypeError):
    ok = False
sys.exit(0 if ok else 1)
EOF
    then
      verdict ok "httpbin echoed the form key1=value1, key2=value2 with the session's Content-Type"
    else
      verdict failed "exit status 0 and httpbin's echo of the form key1=value1, key2=value2"
    fi
    exit $((failures > 0))
    ;;
  tourfetch)
    run_case tourfetch "$bin/tourfetch"
    ;;
  unserved)
    run_case tourfetch "$bin/tourfetch"
    run_case partpost "$bin/partpost" data/upload
    run_case fieldpost "$bin/fieldpost"
    run_case partpost-file "$bin/partpost" data/upload/remember.txt
    run_case partpost-usage "$bin/partpost"
    mkdir -p "$out/empty-upload"
    run_case partpost-empty "$bin/partpost" "$out/empty-upload"
    run_case partpost-extra "$bin/partpost" data/upload http://127.0.0.1:1/post extra
    ;;
  *)
    echo "demo-programs: unknown mode $mode" >&2
    exit 2
    ;;
esac
