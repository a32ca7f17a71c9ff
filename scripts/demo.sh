#!/usr/bin/env bash
# Shows the whole product on this machine, offline: a sample product bundle
# around build/setup, its install agent served over HTTPS from 127.0.0.1,
# the download road (window when there is a display, else the terminal
# display) of a signed agent, the cached agent on a second run, a tampered
# archive refused, the local-archive road, and
# the same product as one self-extracting file. The bundles are made with
# scripts/make-bundle.sh, as a vendor would.
# Everything it makes stays under build/demo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/deps.sh
. "$top/scripts/deps.sh"
# shellcheck source=scripts/https_server.sh
. "$top/scripts/https_server.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# A run that does not do what the demo says it does ends the demo.
fail() { printf '\033[31mThe demo failed: %s\033[0m\n' "$*" >&2; exit 1; }

say "Building build/setup and its window module (the first time takes a few minutes)"
build_program "$top"
demo=$top/build/demo
rm -rf "$demo" && mkdir -p "$demo"/{agent,www,server,home,tmp}

say "Making a sample product: Sample Product.app with bundle.zip, splash.png and a 48 MiB install agent"
echo "the product itself" >"$demo/product.txt"
(cd "$demo" && zip -q "$demo/bundle.zip" product.txt)
cp "$top/demo/install" "$demo/agent/install"
head -c $((48 << 20)) /dev/urandom >"$demo/agent/payload.bin"
(cd "$demo/agent" && zip -q -0 "$demo/www/agent.zip" install payload.bin)
say "Signing the agent with a throw-away minisign key; the bundle carries its public key"
minisign -G -W -p "$demo/InstallAgent.pub" -s "$demo/agent.key" >/dev/null
minisign -S -s "$demo/agent.key" -m "$demo/www/agent.zip" >/dev/null
echo "Signed: $demo/www/agent.zip.minisig"
"$top/scripts/make-bundle.sh" --out "$demo" --name "Sample Product" \
  --bundle-zip "$demo/bundle.zip" --splash "$top/demo/splash.png" --keys "$demo/InstallAgent.pub"
app="$demo/Sample Product.app"

server=$demo/server
trap 'stop_https_server "$server"' EXIT
start_https_server "$server" "$demo/www" 24m
url="https://127.0.0.1:$SERVER_PORT/agent.zip"
echo "Serving the agent at $url (certificate made just now, trusted through CURL_CA_BUNDLE)"

run_setup() {
  HOME=$demo/home TMPDIR=$demo/tmp CURL_CA_BUNDLE=$SERVER_CA ZV_INTERNAL_INSTALL_AGENT_URL=$url "$@"
}
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then display="the download window"; else display="the terminal progress line"; fi

say "Run 1: no agent beside the program, none cached: downloading with $display"
run_setup "$app/Contents/MacOS/setup" --lang en "two words" || fail "run 1 exited with status $?"
[ -s "$demo/home/.korvex/app_installer_cache/V3104k/maci64/.validatestring" ] ||
  fail "run 1 left no stamped agent in the cache"
echo "You saw: the archive downloaded with live progress, unpacked into the per-user cache, and the agent started once with the bundle path and your arguments."

say "Run 2: the server still offers the same ETag"
time (run_setup "$app/Contents/MacOS/setup" --again) || fail "run 2 exited with status $?"
echo "You saw: the cached agent started at once on the server's 304; no download, no unpacking (cache: $demo/home/.korvex)."

say "Run 3: someone changed the agent's install script on the server, but cannot sign it"
# The changed entry is one an update by delta must fetch (its checksum in
# the archive's directory changed with it); the old signature stays beside it.
cp "$demo/www/agent.zip" "$demo/agent.zip.good"
stamp=$demo/home/.korvex/app_installer_cache/V3104k/maci64/.validatestring
cp "$stamp" "$demo/stamp.before"
cp "$top/demo/install" "$demo/agent/install"
echo 'echo "    (the tampered agent ran)"' >>"$demo/agent/install"
rm "$demo/www/agent.zip"
(cd "$demo/agent" && zip -q -0 "$demo/www/agent.zip" install payload.bin)
status=0
run_setup "$app/Contents/MacOS/setup" || status=$?
[ "$status" -eq 255 ] || fail "run 3: the tampered archive was not refused (exit status $status)"
echo "Exit status $status."
cmp -s "$stamp" "$demo/stamp.before" || fail "run 3 changed the cached agent's stamp"
mv "$demo/agent.zip.good" "$demo/www/agent.zip"
echo "You saw: the tampered archive refused before unpacking, and the cached agent left as it was."

say "Run 4: the local road: InstallAgent.zip beside the program, no network"
plain=$demo/plain-bundle
"$top/scripts/make-bundle.sh" --out "$plain" --bundle-zip "$demo/bundle.zip" \
  --agent "$demo/www/agent.zip" --run "$demo/sample-product.run"
# shellcheck disable=SC2016  # the agent is to get the text $HOME itself
HOME=$demo/home TMPDIR=$demo/tmp "$plain/setup" 'it'"'"'s $HOME' '' || fail "run 4 exited with status $?"
left() { find "$demo/tmp" -mindepth 1 -maxdepth 1 | wc -l; }
[ "$(left)" -eq 0 ] || fail "run 4 left $(left) entries in $demo/tmp"
echo "You saw: the agent unpacked into a private temporary directory, run with your arguments byte for byte (an empty one included), and the directory removed (left in $demo/tmp: $(left) entries)."

say "Run 5: the same product as one file, $(wc -c <"$demo/sample-product.run") bytes: sh sample-product.run -- ARGS"
# shellcheck disable=SC2016
HOME=$demo/home TMPDIR=$demo/tmp sh "$demo/sample-product.run" -- 'one file' '$PATH' '' ||
  fail "run 5 exited with status $?"
[ "$(left)" -eq 0 ] || fail "run 5 left $(left) entries in $demo/tmp"
echo "You saw: the file unpacked itself into $demo/tmp, started setup there with the arguments after --, and removed everything it unpacked (left: $(left) entries)."

say "Stopping the server"
stop_https_server "$server"
trap - EXIT
echo "Done. Everything the demo made is under build/demo."
