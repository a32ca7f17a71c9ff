#!/usr/bin/env bash
# Releases published while signed runs download: each round starts RUNS
# concurrent runs of build/setup (each with an empty cache) against nginx
# on 127.0.0.1, and publishes a new signed release while they run, at a
# moment drawn anew each round from the length of a quiet round. The
# archive goes in before its signature on even rounds (as rsync copies
# them), after it on odd ones. Prints how many runs exited 0 with one
# release's whole agent, out of all.
#   ROUNDS=30 RUNS=16 RELEASE_MB=8 bench/release_switch.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/deps.sh
. "$top/scripts/deps.sh"
# shellcheck source=scripts/https_server.sh
. "$top/scripts/https_server.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"
[ -x "$top/build/setup" ] || build_setup "$top"
ROUNDS=${ROUNDS:-30}
RUNS=${RUNS:-16}
RELEASE_MB=${RELEASE_MB:-8}
work=$top/build/bench-work/release-switch
unset DISPLAY WAYLAND_DISPLAY
export SETUP_NO_WINDOW=1

rm -rf "$work" && mkdir -p "$work/www" "$work/bundle" "$work/staged"
minisign -G -W -f -p "$work/sign.pub" -s "$work/sign.sec" >/dev/null
cp "$top/build/setup" "$work/bundle/" && : >"$work/bundle/bundle.zip"
cp "$work/sign.pub" "$work/bundle/InstallAgent.pub"

# Release |n|, staged: a payload of its own, and an install script that
# says "whole" only when the payload beside it is that release's, whole.
stage_release() {
  local n=$1 dir=$work/staged/src
  rm -rf "$dir" "$work/staged/agent.zip"* && mkdir -p "$dir"
  head -c $((RELEASE_MB << 20)) /dev/urandom >"$dir/payload.bin"
  local sum
  sum=$(sha256sum <"$dir/payload.bin" | cut -d' ' -f1)
  cat >"$dir/install" <<AGENT
[ "\$(sha256sum <"\${0%/*}/payload.bin" | cut -d' ' -f1)" = $sum ] && echo "whole $n" >"\$AGENT_OUT/agent"
AGENT
  (cd "$dir" && zip -q -0 "$work/staged/agent.zip" install payload.bin)
  minisign -S -s "$work/sign.sec" -m "$work/staged/agent.zip" >/dev/null
  # Each release a modification time of its own, so a new ETag, as a
  # vendor is told to deploy.
  touch -d "@$((epoch + n))" "$work/staged/agent.zip" "$work/staged/agent.zip.minisig"
}

# Renames the staged release into place, the archive first or last.
publish() {
  local first=agent.zip second=agent.zip.minisig
  [ "$1" = signature-first ] && first=agent.zip.minisig second=agent.zip
  mv "$work/staged/$first" "$work/www/$first"
  mv "$work/staged/$second" "$work/www/$second"
}

# RUNS runs at once, each from an empty cache; when |publish_after| is
# given, the staged release is published that many seconds after they
# start. Prints the runs that exited 0 with a whole agent, and those that
# found a new release after a signature that did not check.
round() {
  local publish_after=${1:-} order=${2:-} pids=() good=0 switched=0 i
  rm -rf "$work/runs" && mkdir -p "$work/runs"
  for i in $(seq 1 "$RUNS"); do
    local run=$work/runs/$i
    mkdir -p "$run/home" "$run/tmp" "$run/out"
    HOME=$run/home TMPDIR=$run/tmp AGENT_OUT=$run/out CURL_CA_BUNDLE=$SERVER_CA \
      ZV_INTERNAL_INSTALL_AGENT_URL="https://127.0.0.1:$SERVER_PORT/agent.zip" \
      "$work/bundle/setup" >/dev/null 2>"$run/err" &
    pids+=($!)
  done
  if [ -n "$publish_after" ]; then
    sleep "$publish_after"
    publish "$order"
  fi
  for i in $(seq 1 "$RUNS"); do
    if wait "${pids[$((i - 1))]}" && grep -q '^whole ' "$work/runs/$i/out/agent" 2>/dev/null; then
      good=$((good + 1))
    else
      cp "$work/runs/$i/err" "$work/failed-$round_no-$i.log"
    fi
    if grep -q 'A new release was published' "$work/runs/$i/err"; then switched=$((switched + 1)); fi
  done
  echo "$good $switched"
}

server=$work/server
trap 'stop_https_server "$server"' EXIT
start_https_server "$server" "$work/www"
epoch=$(($(date +%s) - 100000))

# A quiet round first: how long a round takes without a release.
round_no=0
stage_release 0 && publish archive-first
started=$(date +%s.%N)
read -r quiet _ < <(round)
span=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN {print b - a}')
echo "quiet round: $quiet of $RUNS runs good in ${span} s"

total=0 good=0 switched=0
for round_no in $(seq 1 "$ROUNDS"); do
  stage_release "$round_no"
  order=archive-first
  [ $((round_no % 2)) = 1 ] && order=signature-first
  at=$(awk -v s="$span" -v r="$RANDOM" 'BEGIN {printf "%.2f", s * r / 32768}')
  read -r got new < <(round "$at" "$order")
  total=$((total + RUNS)) good=$((good + got)) switched=$((switched + new))
  echo "round $round_no: release published after $at s, $order: $got of $RUNS runs good," \
    "$new fetched the new release anew"
done
echo "runs that fetched a new release after a signature that did not check: $switched"
echo "runs that exited 0 with one release's whole agent: $good of $total"
