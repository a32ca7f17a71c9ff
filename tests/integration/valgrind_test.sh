#!/usr/bin/env bash
# The real program under valgrind on the two roads that start one fetch from
# the end of another: a signed download (the archive, then its signature)
# and a download cut in the middle and continued. Any error valgrind finds
# fails the run.
#   valgrind_test.sh SETUP FAULT_SERVER
set -u
setup=$1 server=$2
if ! command -v valgrind >/dev/null || ! command -v minisign >/dev/null; then
  echo "skipped: valgrind or minisign is not installed"
  exit 0
fi
if grep -q __asan_init "$setup"; then
  echo "skipped: $setup is built with AddressSanitizer, which valgrind cannot run"
  exit 0
fi
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/bundle" "$work/home" "$work/src"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
printf 'exit 0\n' >"$work/src/install"
head -c 3000000 /dev/urandom >"$work/src/payload"
(cd "$work/src" && zip -q -0 "$work/www/agent.zip" install payload)
minisign -G -W -f -p "$work/bundle/InstallAgent.pub" -s "$work/sign.sec" >/dev/null
minisign -S -s "$work/sign.sec" -m "$work/www/agent.zip" >/dev/null
cp "$setup" "$work/bundle/setup"
touch "$work/bundle/bundle.zip"
timeout 300 python3 "$server" --cert "$work/cert.pem" --key "$work/key.pem" \
  --root "$work/www" >"$work/ports" 2>"$work/server.log" &
pid=$!
for _ in $(seq 50); do [ -s "$work/ports" ] && break; sleep 0.1; done
port=$(cut -d' ' -f1 "$work/ports")
failed=0
for query in "?etag=strong" "?cut=50%"; do
  rm -rf "$work/home/.cache" "$work/home/".[!.]*
  HOME=$work/home CURL_CA_BUNDLE=$work/cert.pem DISPLAY= WAYLAND_DISPLAY= \
    ZV_INTERNAL_INSTALL_AGENT_URL="https://127.0.0.1:$port/serve/agent.zip$query" \
    valgrind -q --error-exitcode=1 --leak-check=no "$work/bundle/setup" \
    >"$work/out" 2>&1
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAILED: signed download $query: status $status"
    cat "$work/out"
    failed=1
  else
    echo "ok: signed download $query, no error under valgrind"
  fi
done
exit $failed
