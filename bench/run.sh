#!/usr/bin/env bash
# Benchmarks build/setup against what a user would otherwise do by hand, on
# the same files and the same local HTTPS server, in the same run. Prints a
# table of median ratios (RUNS alternating runs each, default 5).
#   BENCH_MB=512 RUNS=5 bench/run.sh
# BENCH_ROWS picks the rows: "classic" (rows 1-5), "realistic" (rows 6-7, an
# agent of real files, on loopback and over a shaped link: bench/realistic.sh),
# "all" (the default: those two), or "delta" alone (updates by delta of a
# realistic agent over a 20 Mbit/s, 50 ms link: bench/delta.sh), or "many"
# alone (agents of many small files, local road: bench/many.sh), "segments"
# alone (long and lossy links in network namespaces, against one flow and
# aria2c -x4: bench/segments.sh), "hosts" alone (a signed agent from two
# rate-limited hosts at once against one: bench/hosts.sh), or "before"
# with BEFORE=<revision> (rows 1, 3, 4 and 6 against the program at that
# revision: bench/before.sh).
#   BENCH_ROWS=realistic RUNS=3 bench/run.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/deps.sh
. "$top/scripts/deps.sh"
# shellcheck source=scripts/https_server.sh
. "$top/scripts/https_server.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" curl python3
build_setup "$top"
RUNS=${RUNS:-5}
BIG_MB=${BENCH_MB:-512}
SMALL_MB=64
SIGNED_MB=128
work=$top/build/bench-work
measure=$top/build/bench/measure
unset DISPLAY WAYLAND_DISPLAY
BENCH_ROWS=${BENCH_ROWS:-all}
case "$BENCH_ROWS" in all | classic | realistic | delta | many | segments | hosts | before) ;; *) echo "BENCH_ROWS: all, classic, realistic, delta, many, segments, hosts or before" >&2; exit 2 ;; esac
want() { [ "$BENCH_ROWS" = all ] || [ "$BENCH_ROWS" = "$1" ]; }

# An agent of |2| MiB (KiB with a third argument of 10): an install script
# and a stored, incompressible payload.
make_agent() {
  local zip=$1 size=$2 shift=${3:-20} dir=$work/agent-src
  [ -s "$zip" ] && return 0
  rm -rf "$dir" && mkdir -p "$dir"
  printf 'exit 0\n' >"$dir/install"
  head -c $((size << shift)) /dev/urandom >"$dir/payload.bin"
  (cd "$dir" && zip -q -0 "$zip" install payload.bin)
  rm -rf "$dir"
}

# About 20 MiB in 500 files, deflated as a release would be.
make_local_agent() {
  local zip=$1 dir=$work/local-src
  [ -s "$zip" ] && return 0
  rm -rf "$dir" && mkdir -p "$dir/lib"
  printf 'exit 0\n' >"$dir/install"
  for i in $(seq 1 499); do
    head -c 28000 /dev/urandom | base64 -w 120 >"$dir/lib/file$i.txt"
  done
  (cd "$dir" && zip -q -r "$zip" install lib)
  rm -rf "$dir"
}

# A throw-away signing key, made once, so that the signatures kept from
# earlier runs stay good.
make_key() { [ -s "$work/sign.sec" ] || minisign -G -W -f -p "$work/sign.pub" -s "$work/sign.sec" >/dev/null; }
# The signature of |zip|, as a vendor makes it.
sign_agent() {
  local zip=$1
  [ -s "$zip.minisig" ] && return 0
  minisign -S -s "$work/sign.sec" -m "$zip" >/dev/null
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
field() { awk -v f="$1" '{print $f}'; }
# The least and the most of a row's samples, as "least–most".
spread() { printf '%s' "${results[$1]}" | field "$2" | sort -n | sed -n '1p;$p' | paste -sd' ' | sed 's/ /–/'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

mkdir -p "$work/www" "$work/bundle" "$work/local" "$work/home" "$work/tmp" "$work/by-hand"
make_key
if want classic; then
  make_agent "$work/www/agent-$BIG_MB.zip" "$BIG_MB"
  make_agent "$work/www/agent-$SMALL_MB.zip" "$SMALL_MB"
  make_agent "$work/www/agent-$SIGNED_MB.zip" "$SIGNED_MB"
  sign_agent "$work/www/agent-$SIGNED_MB.zip"
  make_local_agent "$work/local/InstallAgent.zip"
fi
cp "$top/build/setup" "$work/bundle/" && : >"$work/bundle/bundle.zip"
mkdir -p "$work/signed-bundle" && cp "$work/bundle/setup" "$work/bundle/bundle.zip" "$work/signed-bundle/"
cp "$work/sign.pub" "$work/signed-bundle/InstallAgent.pub"
cp "$top/build/setup" "$work/local/" && : >"$work/local/bundle.zip"

server=$work/server link_server=$work/link-server
trap 'stop_https_server "$server"; stop_https_server "$link_server"' EXIT
start_https_server "$server" "$work/www"
base="https://127.0.0.1:$SERVER_PORT"
# The same files at about 50 MB/s, where the client has CPU to spare, unlike
# on loopback, where server and client share two cores. nginx's rate limit
# starts each transfer with up to a second's worth at once, so single runs
# spread by about a second: a rough figure, not a goal.
start_https_server "$link_server" "$work/www" 50m
link="https://127.0.0.1:$SERVER_PORT"
cat "$server/cert.pem" "$link_server/cert.pem" >"$work/ca.pem"
export HOME=$work/home TMPDIR=$work/tmp CURL_CA_BUNDLE=$work/ca.pem
# The cache directory the build was configured with (relative to HOME, one
# trailing /), so that a build with a vendor's names measures its own cache;
# forget_cache removes it from its top directory down.
cache_dir=$(sed -n 's/^#define SETUP_BUILD_CACHE_DIR "\(.*\)"$/\1/p' "$top/build/generated/util/build_config.h")
[ -n "$cache_dir" ] || { echo "no SETUP_BUILD_CACHE_DIR in $top/build/generated/util/build_config.h" >&2; exit 1; }
cache=$HOME/${cache_dir%/}
forget_cache() { rm -rf "${HOME:?}/${cache_dir%%/*}"; }
F=$work/by-hand/agent.zip D=$work/by-hand/agent

# Each measurement starts from the same state, whatever ran before it: the
# disk idle, so that none pays for the write-back of the one before, and
# enough memory just touched for what it writes. On a virtual machine, pages
# left free for a while go back to the host, and their first touch costs
# several times a normal one; without this, a run after one that freed
# little memory is up to a third slower. Neither side leaves a file the
# other overwrites.
warm_mb=$(awk -v want=$((BIG_MB * 2 + 256)) '/MemAvailable/ {m = int($2 / 4096); print (want < m ? want : m)}' /proc/meminfo)
settle() { sync; python3 -c "b = bytearray($warm_mb << 20); b[::4096] = b'x' * (len(b) // 4096)"; }
setup_run() { settle; ZV_INTERNAL_INSTALL_AGENT_URL=$1 MEASURE_STDERR=$work/setup.log \
  "$measure" --until "Initializing the installer" -- "$work/${2:-bundle}/setup"; }
by_hand() { rm -rf "$D" "$F"; settle; "$measure" -- sh -c "curl -s -o '$F' '$1' && unzip -qq -o '$F' -d '$D' && sh '$D/install'${2:-}"; }
curl_only() { rm -f "$F"; settle; "$measure" -- curl -s -o "$F" "$1"; }
hit_by_hand() { settle; "$measure" -- sh -c "curl -sI '$1' >/dev/null && sh '$cache/installagent/install'"; }
local_by_hand() { rm -rf "$D"; settle; "$measure" -- sh -c "unzip -qq -o '$work/local/InstallAgent.zip' -d '$D' && sh '$D/install' -installbundle '$work/local/bundle.zip'${1:-}"; }

declare -A results
if want classic; then
for run in $(seq 1 "$RUNS"); do
  echo "run $run of $RUNS" >&2
  forget_cache
  setup_run "$base/agent-$BIG_MB.zip" >/dev/null  # the agent the cache hit starts
  : >"$server/access.log"
  results[hit_setup]+="$(setup_run "$base/agent-$BIG_MB.zip")"$'\n'
  results[hit_bytes]+="$(awk '{print $4}' "$server/access.log" | tail -n 1)"$'\n'
  results[hit_hand]+="$(hit_by_hand "$base/agent-$BIG_MB.zip")"$'\n'
  forget_cache
  results[small_setup]+="$(setup_run "$base/agent-$SMALL_MB.zip")"$'\n'
  forget_cache
  results[unsigned]+="$(setup_run "$base/agent-$SIGNED_MB.zip")"$'\n'
  forget_cache
  results[signed]+="$(setup_run "$base/agent-$SIGNED_MB.zip" signed-bundle)"$'\n'
  forget_cache
  results[link_unsigned]+="$(setup_run "$link/agent-$SIGNED_MB.zip")"$'\n'
  forget_cache
  results[link_signed]+="$(setup_run "$link/agent-$SIGNED_MB.zip" signed-bundle)"$'\n'
done
# A download cut twice (resets at 30% and 70%): how many body bytes the
# server sent for one successful run, against the archive, in RUNS runs
# (each its own query, so the cuts come anew). A reset throws away what the
# client's socket held unread, which depends on when the cut finds it: one
# run alone says little.
python3 "$top/tests/integration/fault_server.py" --cert "$server/cert.pem" --key "$server/key.pem" \
  --root "$work/www" >"$work/faults.port" 2>/dev/null &
faults=$!
trap 'kill $faults 2>/dev/null || true; stop_https_server "$server"; stop_https_server "$link_server"' EXIT
for _ in $(seq 1 50); do [ -s "$work/faults.port" ] && break; sleep 0.1; done
fault_base="https://127.0.0.1:$(cut -d' ' -f1 "$work/faults.port")"
cut_sent() {
  curl -s --cacert "$work/ca.pem" "$fault_base/log/agent-$SMALL_MB.zip" |
    sed -n 's/.*"sent": \([0-9]*\).*/\1/p' | awk '{s += $1} END {print s + 0}'
}
cut_status=0 cut_before=0
for run in $(seq 1 "$RUNS"); do
  forget_cache
  ZV_INTERNAL_INSTALL_AGENT_URL="$fault_base/serve/agent-$SMALL_MB.zip?cut=30%,70%&how=reset&run=$run" \
    "$work/bundle/setup" 2>/dev/null >/dev/null || cut_status=1
  cut_after=$(cut_sent)
  results[cut]+="$((cut_after - cut_before))"$'\n'
  cut_before=$cut_after
done
cut_bytes=$(printf '%s' "${results[cut]}" | median)
cut_spread=$(spread cut 1)
cut_size=$(stat -c %s "$work/www/agent-$SMALL_MB.zip")
kill $faults 2>/dev/null || true

# The local road apart, once the disk has written back the large files.
sync
for run in $(seq 1 $((RUNS * 2))); do
  results[local_setup]+="$(settle; "$measure" -- "$work/local/setup")"$'\n'
  results[local_hand]+="$(local_by_hand)"$'\n'
  results[local_clean]+="$(local_by_hand " && rm -rf '$D'")"$'\n'
done
# The download road apart too: it shares two cores between nginx's TLS, the
# client and unzip, and its single runs spread by a tenth either way (a few
# by half), more when other rows' runs come between them: four times the
# runs of the other rows.
for run in $(seq 1 $((RUNS * 4))); do
  forget_cache
  results[dl_setup]+="$(setup_run "$base/agent-$BIG_MB.zip")"$'\n'
  results[dl_hand]+="$(by_hand "$base/agent-$BIG_MB.zip")"$'\n'
  results[dl_clean]+="$(by_hand "$base/agent-$BIG_MB.zip" " && rm -f '$F'")"$'\n'
  results[curl]+="$(curl_only "$base/agent-$BIG_MB.zip")"$'\n'
done
rm -rf "$F" "$D"

# Every sample, a file a row (seconds, peak KiB, seconds to the phase, status).
mkdir -p "$work/samples"
for key in "${!results[@]}"; do printf '%s' "${results[$key]}" >"$work/samples/$key"; done
m() { printf '%s' "${results[$1]}" | field "$2" | median; }
dl_s=$(m dl_setup 1) dl_h=$(m dl_hand 1) dl_c=$(m dl_clean 1)
phase_s=$(m dl_setup 3) curl_s=$(m curl 1)
local_s=$(m local_setup 1) local_h=$(m local_hand 1) local_c=$(m local_clean 1)
hit_s=$(m hit_setup 1) hit_h=$(m hit_hand 1) hit_b=$(m hit_bytes 1)
signed_s=$(m signed 3) unsigned_s=$(m unsigned 3)
link_signed_s=$(m link_signed 3) link_unsigned_s=$(m link_unsigned 3)
rss_big=$(m dl_setup 2) rss_small=$(m small_setup 2)
failures=$(printf '%s' "${results[dl_setup]}${results[hit_setup]}${results[local_setup]}${results[small_setup]}${results[signed]}${results[link_signed]}" | field 4 | grep -vc '^0$' || true)

cat <<TABLE

Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); median of $RUNS alternating runs.

| benchmark | setup | baseline | ratio | goal |
|---|---|---|---|---|
| 1. download road, ${BIG_MB} MiB over HTTPS, to the agent's end ($((RUNS * 4)) runs) | ${dl_s} s ($(spread dl_setup 1)) | ${dl_h} s ($(spread dl_hand 1); curl + unzip + sh) | $(ratio "$dl_s" "$dl_h") | <= 1.05 |
| 1a. download phase alone | ${phase_s} s ($(spread dl_setup 3)) | ${curl_s} s ($(spread curl 1); curl -s -o) | $(ratio "$phase_s" "$curl_s") | report |
| 1b. download road against the same work by hand | ${dl_s} s | ${dl_c} s ($(spread dl_clean 1); curl + unzip + sh + rm of the archive) | $(ratio "$dl_s" "$dl_c") | report |
| 2. local road, 20 MiB in 500 files ($((RUNS * 2)) runs) | ${local_s} s ($(spread local_setup 1)) | ${local_h} s ($(spread local_hand 1); unzip + sh) | $(ratio "$local_s" "$local_h") | <= 1.10 |
| 2a. local road against the same work by hand | ${local_s} s | ${local_c} s (unzip + sh + rm -rf) | $(ratio "$local_s" "$local_c") | report |
| 3. cache hit, ${BIG_MB} MiB agent cached | ${hit_s} s | ${hit_h} s (curl -sI + sh) | $(ratio "$hit_s" "$hit_h") | <= 1.5 |
| 3a. body bytes sent for the cache hit (a 304) | ${hit_b} B | of $((BIG_MB << 20)) B | $(ratio "$hit_b" $((BIG_MB << 20))) | 0 B |
| 3b. body bytes for a ${SMALL_MB} MiB download cut twice | ${cut_bytes} B (${cut_spread}; exit ${cut_status}) | ${cut_size} B archive | $(ratio "$cut_bytes" "$cut_size") | <= 1.02 |
| 4. peak resident memory, ${BIG_MB} MiB download | $((rss_big / 1024)).$(( (rss_big % 1024) * 10 / 1024 )) MiB | ${SMALL_MB} MiB download: $((rss_small / 1024)).$(( (rss_small % 1024) * 10 / 1024 )) MiB | $(ratio "$rss_big" "$rss_small") | <= 16 MiB, ratio <= 1.10 |
| 5. download phase of a signed ${SIGNED_MB} MiB agent, checked (hash as it arrives, signature fetched and checked) | ${signed_s} s | ${unsigned_s} s (the same, no keys) | $(ratio "$signed_s" "$unsigned_s") | report |
| 5a. the same over a 50 MB/s link (nginx limit_rate) | ${link_signed_s} s | ${link_unsigned_s} s (the same, no keys) | $(ratio "$link_signed_s" "$link_unsigned_s") | report |

Runs of setup that did not exit 0: $failures.
TABLE
fi
if want realistic; then
  # shellcheck source=bench/realistic.sh
  . "$top/bench/realistic.sh"
fi
if [ "$BENCH_ROWS" = many ]; then
  # shellcheck source=bench/many.sh
  . "$top/bench/many.sh"
fi
if [ "$BENCH_ROWS" = segments ]; then
  # shellcheck source=bench/segments.sh
  . "$top/bench/segments.sh"
fi
if [ "$BENCH_ROWS" = hosts ]; then
  # shellcheck source=bench/hosts.sh
  . "$top/bench/hosts.sh"
fi
if [ "$BENCH_ROWS" = delta ]; then
  # shellcheck source=bench/delta.sh
  . "$top/bench/delta.sh"
fi
if [ "$BENCH_ROWS" = before ]; then
  # shellcheck source=bench/before.sh
  . "$top/bench/before.sh"
fi
