# shellcheck shell=bash
# Sourced by bench/run.sh with BENCH_ROWS=delta: updates by delta of a signed
# realistic agent over a 20 Mbit/s, 50 ms link, against the full download of
# the same new version in the same run. Two packings of version 2: with
# scripts/make-agent.sh and version 1's SOURCE_DATE_EPOCH (reproducible),
# and with another one (every entry's time changed); and version 2 with three
# quarters of its files changed; each over HTTP/2 and HTTP/1.1, and each
# HTTP/1.1 figure also as a ratio against HTTP/2's for the same pair, each
# update's time as a ratio against the whole download's in the same round.
# DELTA_75=0 leaves the three-quarters rows out. Uses run.sh's helpers (settle, setup_run, forget_cache, median,
# ratio, ...).

# The delay. This kernel has no netem, so the link runs through a router
# namespace whose FORWARD chain hands every packet to nfq_delay (NFQUEUE),
# which holds it 25 ms and lets it go in arrival order: 50 ms round trips for
# the handshake, TLS and every request, with TCP's own ACK clock and windows
# untouched. Holding packets in the server's own OUTPUT chain instead starves
# TCP: the held packets stay charged to the socket (TCP small queues) and a
# download crawls at under 2 Mbit/s. A user-space TCP relay would end TCP at
# the relay, so connects would take no round trip at all. Each side of the
# router shapes what it sends with a token bucket (tbf) at 20 Mbit/s.
#   client (here) 10.211.92.1 -- 10.211.92.2 router 10.211.93.1 -- 10.211.93.2 nginx
dl_router=zvdr$$ dl_server=zvds$$ dl_veth=zvd$$ dl_addr=10.211.93.2
dl_dir=$work/delta
# shellcheck source=bench/routed_link.sh
. "$top/bench/routed_link.sh"

make_delay_link() {
  delta_skip=
  [ "$(id -u)" -eq 0 ] || { delta_skip="not root"; return; }
  ensure_packages iptables libnetfilter-queue-dev gcc
  make_routed_link "$dl_router" "$dl_server" "$dl_veth" 10.211.92 10.211.93 "$dl_dir"
  delta_skip=$routed_skip
  [ -z "$delta_skip" ] || return
  # The queue holds 25 ms of the link (62 KB); the bucket a few full packets.
  for dev in "${dl_veth}r" "${dl_veth}s"; do
    tc -n "$dl_router" qdisc add dev "$dev" root tbf rate 20mbit burst 32kb latency 25ms 2>/dev/null ||
      { delta_skip="no tbf queueing discipline (sch_tbf) in this kernel"; return; }
  done
  ip netns exec "$dl_router" iptables -A FORWARD -j NFQUEUE --queue-num 0 2>/dev/null ||
    { delta_skip="no NFQUEUE target in this kernel"; return; }
  ip netns exec "$dl_router" "$dl_dir/nfq_delay" 0 25 2>"$dl_dir/nfq_delay.log" &
  dl_delay_pid=$!
}
drop_delay_link() {
  stop_https_server "$dl_dir/server"
  [ -z "${dl_delay_pid:-}" ] || kill "$dl_delay_pid" 2>/dev/null || true
  ip route del 10.211.93.0/30 2>/dev/null || true
  ip netns del "$dl_router" 2>/dev/null || true
  ip netns del "$dl_server" 2>/dev/null || true
}

# nginx in the server namespace, HTTP/2 offered or not (|h2| = 1 or empty),
# with the one certificate made below, so that the kept archive's URL and ETag stay
# the same from one to the other. Its log: connection, status, body bytes,
# range asked for, request.
start_delta_server() {
  local dir=$dl_dir/server
  stop_https_server "$dir"
  mkdir -p "$dir/tmp"
  HTTPS_SERVER_HTTP2=$1 HTTPS_SERVER_ADDR=$dl_addr \
    HTTPS_SERVER_LOG='$connection $status $body_bytes_sent "$http_range" "$request"' \
    write_nginx_conf "$dir" "$dl_dir/www" 443
  ip netns exec "$dl_server" /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf"
}

# Copies the tree |1| to |2| (hard links) and rewrites 64 bytes in the
# middle of each file whose rank |i| in order of size (the install script
# left out) makes the arithmetic |4| true, naming version |3| there.
rewrite_files() {
  local v1=$1 v2=$2 version=$3 which=$4 i=0 path size
  rm -rf "$v2" && cp -al "$v1" "$v2"
  while read -r size path; do
    i=$((i + 1))
    (( which )) || continue
    cp --remove-destination "$v1/$path" "$v2/$path"
    printf 'version %s of %-*s' "$version" $((52 - ${#version})) "${path:0:40}" |
      dd of="$v2/$path" bs=1 seek=$((size / 2)) conv=notrunc status=none
  done < <(cd "$v1" && find . -type f ! -name install -printf '%s %P\n' | LC_ALL=C sort -k1,1n -k2)
}

# Version 2 of the tree in |1|: every hundredth file in order of size (1%,
# spread over the sizes as the agent's files are, not over whatever names
# happen to sort where: one 10 MB library picked by its name would be most of
# the change) with 64 bytes in its middle rewritten, one file deleted, two
# added.
make_version_2() {
  local v1=$1 v2=$2
  rewrite_files "$v1" "$v2" 2 'i % 100 == 50'
  rm -f "$v2/$(cd "$v1" && find . -type f -name '*.mo' -printf '%P\n' | LC_ALL=C sort | sed -n 7p)"
  mkdir -p "$v2/share/added"
  seq 1 50000 >"$v2/share/added/numbers.txt"
  head -c $((256 << 10)) "$v1/$(cd "$v1" && find lib -type f -printf '%s %p\n' | sort -n | tail -n 1 | cut -d' ' -f2-)" \
    >"$v2/lib/added-in-2.so"
}

# Version 2 with three of every four files changed (in order of size, so
# that about three quarters of the bytes change): an update that needs most
# of the archive, yet less than all of it.
make_version_75() {
  rewrite_files "$1" "$2" 75 'i % 4 != 0'
}

make_delta_agents() {
  local epoch=1700000000
  [ -s "$dl_dir/v2-times.zip.minisig" ] && [ -s "$dl_dir/v2-75.zip.minisig" ] && return 0
  echo "making the delta rows' agents (several minutes, once)" >&2
  make_realistic_agent "$dl_dir/base.zip" 4000
  rm -rf "$dl_dir/v1" && mkdir -p "$dl_dir/v1" && unzip -qq "$dl_dir/base.zip" -d "$dl_dir/v1"
  make_version_2 "$dl_dir/v1" "$dl_dir/v2"
  make_version_75 "$dl_dir/v1" "$dl_dir/v75"
  SOURCE_DATE_EPOCH=$epoch "$top/scripts/make-agent.sh" "$dl_dir/v1" "$dl_dir/v1.zip" "$work/sign.sec" >&2
  SOURCE_DATE_EPOCH=$epoch "$top/scripts/make-agent.sh" "$dl_dir/v2" "$dl_dir/v2-same.zip" "$work/sign.sec" >&2
  SOURCE_DATE_EPOCH=$((epoch + 86400)) "$top/scripts/make-agent.sh" "$dl_dir/v2" "$dl_dir/v2-times.zip" \
    "$work/sign.sec" >&2
  SOURCE_DATE_EPOCH=$epoch "$top/scripts/make-agent.sh" "$dl_dir/v75" "$dl_dir/v2-75.zip" "$work/sign.sec" >&2
  # Distinct times, so that each version has its own ETag wherever served.
  touch -d @1700000000 "$dl_dir/v1.zip" && touch -d @1700003600 "$dl_dir/v2-same.zip" &&
    touch -d @1700007200 "$dl_dir/v2-times.zip" && touch -d @1700010800 "$dl_dir/v2-75.zip"
  rm -rf "$dl_dir/v1" "$dl_dir/v2" "$dl_dir/v75" "$dl_dir/base.zip"
}
# The agent at the one URL: version |1| (v1, v2-same or v2-times).
serve() {
  ln -f "$dl_dir/$1.zip" "$dl_dir/www/agent.zip"
  ln -f "$dl_dir/$1.zip.minisig" "$dl_dir/www/agent.zip.minisig"
}

mkdir -p "$dl_dir/www" && rm -f "$dl_dir"/requests-*.log "$dl_dir"/setup-*.log
trap 'drop_delay_link; stop_https_server "$server"; stop_https_server "$link_server"' EXIT
make_delay_link
if [ -n "$delta_skip" ]; then
  drop_delay_link
  echo
  echo "Delta rows skipped: $delta_skip."
  return 0
fi
# shellcheck source=bench/realistic-agent.sh
. "$top/bench/realistic-agent.sh"
make_delta_agents
dl_url=https://$dl_addr/agent.zip
dl_size=$(stat -c %s "$dl_dir/v2-same.zip")
dl_entries=$(unzip -Z1 "$dl_dir/v2-same.zip" | wc -l)
dl_unpacked=$(unzip -Zt "$dl_dir/v2-same.zip" | awk '{print $3}')
# The least an update by entries can fetch: the changed entries' data and
# local headers, and, for the other packing, every other entry's local header.
least() {
  python3 - "$dl_dir/v1.zip" "$dl_dir/$1.zip" <<'PY'
import sys, zipfile
old, new = ({i.filename: i for i in zipfile.ZipFile(p).infolist()} for p in sys.argv[1:])
total = 0
for name, i in new.items():
    o, local = old.get(name), 30 + len(i.filename.encode()) + len(i.extra)
    if not o or (o.CRC, o.compress_size, o.compress_type) != (i.CRC, i.compress_size, i.compress_type):
        total += local + i.compress_size
    elif o.date_time != i.date_time:
        total += local
print(total)
PY
}
least_same=$(least v2-same) least_times=$(least v2-times) least_75=$(least v2-75)
warm_mb=$(awk -v want=$(((dl_size * 2 + dl_unpacked * 2) / 1048576 + 256)) \
  '/MemAvailable/ {m = int($2 / 4096); print (want < m ? want : m)}' /proc/meminfo)
mkdir -p "$dl_dir/server"
make_test_certificate "$dl_dir/server" "$dl_addr"
cat "$dl_dir/server/cert.pem" >>"$work/ca.pem"
start_delta_server 1

# Version 1 installed once, over HTTP/2, and its cache kept aside: each
# update starts from a copy of it (the archive kept, the agent unpacked).
serve v1
forget_cache
echo "delta rows: installing version 1 over the link" >&2
v1_install=$(setup_run "$dl_url" signed-bundle)
[ -f "$cache/installagent.zip" ] || [ -n "$(find "$HOME/${cache_dir%%/*}" -name installagent.zip)" ] ||
  echo "warning: no kept archive (installagent.zip) after installing version 1" >&2
rm -rf "$dl_dir/v1-home" && cp -a "$HOME/${cache_dir%%/*}" "$dl_dir/v1-home"
restore_v1() { forget_cache; cp -a "$dl_dir/v1-home" "$HOME/${cache_dir%%/*}"; }

# The second run of an update from version 1 to |1|: its times, then its
# requests (count, body bytes, connections) from the access log and the way
# it went from its own log.
delta_run() {
  restore_v1
  serve "$1"
  : >"$dl_dir/server/access.log"
  local times
  times=$(setup_run "$dl_url" signed-bundle)
  cp "$dl_dir/server/access.log" "$dl_dir/requests-$2-$1.log"
  cp "$work/setup.log" "$dl_dir/setup-$2-$1.log"
  local how
  how=$(grep -o 'Updated by delta: .*' "$work/setup.log" | head -n 1 |
    sed -n 's/.* over \(HTTP[^ ]*\) (\([0-9]*\) requests).*/\1/p' | tr ' ' '_' || true)
  echo "$times $(wc -l <"$dl_dir/server/access.log") $(awk '{s += $3} END {print s + 0}' "$dl_dir/server/access.log")" \
    "$(awk '{print $1}' "$dl_dir/server/access.log" | sort -u | wc -l) ${how:-no_delta}"
}

for run in $(seq 1 "$RUNS"); do
  for proto in h2 h1; do
    echo "delta rows: run $run of $RUNS over ${proto/h1/HTTP\/1.1}" >&2
    start_delta_server "$([ "$proto" = h2 ] && echo 1)"
    serve v2-same
    forget_cache
    results["dl_full_$proto"]+="$(setup_run "$dl_url" signed-bundle)"$'\n'
    results["dl_same_$proto"]+="$(delta_run v2-same "$proto")"$'\n'
    results["dl_times_$proto"]+="$(delta_run v2-times "$proto")"$'\n'
    [ "${DELTA_75:-1}" = 0 ] || results["dl_75_$proto"]+="$(delta_run v2-75 "$proto")"$'\n'
  done
done
forget_cache
rtt_ms=$(for _ in 1 2 3 4 5; do curl -s -o /dev/null -w '%{time_connect}\n' "https://$dl_addr/"; done |
  awk '{print $1 * 1000}' | median)
link_mbit=$(curl -s -o /dev/null -r 0-$((40 << 20)) -w '%{speed_download}' "$dl_url" | awk '{printf "%.1f", $1 * 8 / 1e6}')
drop_delay_link

ms() { printf '%s' "${results[$1]}" | field "$2" | median; }
spread() { printf '%s' "${results[$1]}" | field "$2" | sort -n | sed -n '1p;$p' | paste -sd- | sed 's/-/–/'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f%%", a * 100 / b}'; }
# measure prints five figures (field 3 the download phase); the requests,
# body bytes, connections and the way the log names follow.
# "| packing, protocol | bytes (% of archive) | requests | phase (ratio) | road | protocol | goals |"
delta_row() {
  local key=$1 label=$2 goal=$3 full bytes phase least
  full=$(ms "dl_full_${key##*_}" 3) bytes=$(ms "$key" 7) phase=$(ms "$key" 3) least=$4
  echo "| $label | $bytes B ($(pct "$bytes" "$dl_size"); $(spread "$key" 7)); least $least B ($(pct "$least" "$dl_size")) | $(ms "$key" 6) ($(spread "$key" 6)) on" \
    "$(ms "$key" 8) | $phase s ($(spread "$key" 3)) = $(pct "$phase" "$full") of $full s | $(ms "$key" 1) s ($(spread "$key" 1)) |" \
    "$(printf '%s' "${results[$key]}" | field 9 | sort -u | paste -sd, | tr '_' ' ') | $goal |"
}
# Each round's ratio of |1|'s field |3| to |2|'s, their median and spread.
paired() {
  paste <(printf '%s' "${results[$1]}" | field "$3") <(printf '%s' "${results[$2]}" | field "$3") |
    awk '$2 > 0 {printf "%.3f\n", $1 / $2}' | sort -n | awk '{v[NR] = $1} END {printf "%s (%s–%s)", v[int((NR + 1) / 2)], v[1], v[NR]}'
}
failures=$(for k in dl_full_h2 dl_full_h1 dl_same_h2 dl_same_h1 dl_times_h2 dl_times_h1 dl_75_h2 dl_75_h1; do printf '%s' "${results[$k]:-}"; done |
  field 4 | grep -vc '^0$' || true)

cat <<TABLE

Updates by delta: a signed agent of $dl_entries entries, $((dl_size >> 20)) MiB deflated ($dl_size B), version 2 with
1% of its files changed, one deleted, two added; over a 20 Mbit/s link (tbf) with 50 ms round trips
(NFQUEUE in a router namespace). Median of $RUNS alternating runs, spread min–max. Load average: $(cut -d' ' -f1-3 /proc/loadavg).

| full download of version 2 (fresh cache) | download phase | whole road |
|---|---|---|
| over HTTP/2 | $(ms dl_full_h2 3) s ($(spread dl_full_h2 3)) | $(ms dl_full_h2 1) s ($(spread dl_full_h2 1)) |
| over HTTP/1.1 | $(ms dl_full_h1 3) s ($(spread dl_full_h1 3)) | $(ms dl_full_h1 1) s ($(spread dl_full_h1 1)) |

| update from version 1, packing, server | body bytes (of the archive); the least by entries | requests on connections | download phase (of the full download's) | whole road | the log says | goal |
|---|---|---|---|---|---|---|
$(delta_row dl_same_h2 "reproducible (make-agent.sh, same time), nginx with HTTP/2" "<= 1.0% of bytes, <= 100 requests, phase <= 5%" "$least_same")
$(delta_row dl_times_h2 "every time changed, nginx with HTTP/2" "<= 2% of bytes, phase <= 15%" "$least_times")
$(delta_row dl_same_h1 "reproducible, nginx with HTTP/1.1 only" "report" "$least_same")
$(delta_row dl_times_h1 "every time changed, nginx with HTTP/1.1 only" "<= 1.15x HTTP/2's bytes, requests < entries" "$least_times")
$([ -z "${results[dl_75_h2]:-}" ] || delta_row dl_75_h2 "three quarters changed, nginx with HTTP/2" "about 75% of bytes, phase < whole" "$least_75")
$([ -z "${results[dl_75_h1]:-}" ] || delta_row dl_75_h1 "three quarters changed, nginx with HTTP/1.1 only" "about 75% of bytes, phase < whole" "$least_75")

Ratios of each round's figures (median, spread min–max):

| row | figure | ratio | goal |
|---|---|---|---|
| every time changed: HTTP/1.1 against HTTP/2 | body bytes | $(paired dl_times_h1 dl_times_h2 7) | <= 1.15 |
| every time changed: HTTP/1.1 against HTTP/2 | requests | $(paired dl_times_h1 dl_times_h2 6) | report |
| every time changed, HTTP/1.1: requests against the $dl_entries entries | requests | $(awk -v r="$(ms dl_times_h1 6)" -v e="$dl_entries" 'BEGIN {printf "%.3f", r / e}') | < 1 |
$([ -z "${results[dl_75_h2]:-}" ] || for p in h2 h1; do
  echo "| three quarters changed, ${p/h1/HTTP\/1.1}: update against the whole download | download phase | $(paired "dl_75_$p" "dl_full_$p" 3) | < 1 |"
  echo "| three quarters changed, ${p/h1/HTTP\/1.1}: update against the whole download | body bytes | $(awk -v b="$(ms "dl_75_$p" 7)" -v s="$(stat -c %s "$dl_dir/v2-75.zip")" 'BEGIN {printf "%.3f", b / s}') of the archive | about 0.75 |"
done | sed 's/h2/HTTP\/2/')

Version 1's install over the link (once, not in the table): $(echo "$v1_install" | field 1) s. One round trip (curl's
connect time): ${rtt_ms} ms; the link carried one curl download (40 MiB) at ${link_mbit} Mbit/s.
Runs of setup that did not exit 0: $failures. Access and program logs of the last run: $dl_dir/requests-*.log, setup-*.log.
TABLE
