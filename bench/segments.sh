# shellcheck shell=bash
# Sourced by bench/run.sh with BENCH_ROWS=segments: the download over long and
# lossy links, the program against itself with one flow (ZV_INTERNAL_ONE_FLOW)
# and against aria2c -x4, alternating, and a kill at a random moment followed
# by a run. Uses run.sh's helpers (settle, setup_run, forget_cache, median,
# ratio, ...).
#
# The link, made here: client (this namespace) -- router -- nginx in a
# namespace of its own. The router delays every packet by half the round trip
# (bench/nfq_delay.c through NFQUEUE: this kernel has no netem), drops packets
# at random each way (nft: numgen random), and each of its two sides shapes
# what it sends with a token bucket (tbf). Segmentation offloads are off on
# every device, so that a loss is one packet, not a 64 KiB super-packet.
#   client 10.211.94.1 -- 10.211.94.2 router 10.211.95.1 -- 10.211.95.2 nginx
sg_router=zvsr$$ sg_server=zvss$$ sg_veth=zvs$$ sg_addr=10.211.95.2
sg_dir=$work/segments
# The server's TLS as a vendor's is set up today (nginx from 1.23.4 offers
# TLS 1.3 unless told otherwise, and Debian's nginx.conf turns it on): a
# new connection's handshake takes one round trip, and a later one resumes
# the session. SEG_TLS=1.2 measures nginx 1.22's own defaults instead: TLS
# 1.2 alone and no session cache, two round trips for every handshake.
if [ "${SEG_TLS:-}" = 1.2 ]; then
  sg_tls=
else
  sg_tls='ssl_protocols TLSv1.2 TLSv1.3; ssl_session_cache shared:tls:1m;'
fi
SEG_RUNS=${SEG_RUNS:-7}
# SEG_ROWS: the rows to measure ("1 2": the two cubic lossy links), all by default.
SEG_ROWS=${SEG_ROWS:-all}
seg_row() { [ "$SEG_ROWS" = all ] || [[ " $SEG_ROWS " == *" $1 "* ]]; }
# SEG_BASELINES: the baselines to run beside the program ("aria2": many rounds
# against aria2c alone, without one flow's long rounds), all of each row's by default.
SEG_BASELINES=${SEG_BASELINES:-all}
seg_baseline() { [ "$SEG_BASELINES" = all ] || [[ " $SEG_BASELINES " == *" $1 "* ]]; }
# shellcheck source=bench/routed_link.sh
. "$top/bench/routed_link.sh"
make_lossy_link() {
  seg_skip=
  [ "$(id -u)" -eq 0 ] || { seg_skip="not root"; return; }
  ensure_packages iptables nftables ethtool aria2 libnetfilter-queue-dev gcc
  make_routed_link "$sg_router" "$sg_server" "$sg_veth" 10.211.94 10.211.95 "$sg_dir"
  seg_skip=$routed_skip
  [ -z "$seg_skip" ] || return
  ethtool -K "${sg_veth}c" tso off gso off gro off >/dev/null 2>&1
  for dev in "${sg_veth}r" "${sg_veth}s"; do
    ip netns exec "$sg_router" ethtool -K "$dev" tso off gso off gro off >/dev/null 2>&1
  done
  ip netns exec "$sg_server" ethtool -K "${sg_veth}n" tso off gso off gro off >/dev/null 2>&1
  ip netns exec "$sg_router" iptables -A FORWARD -j NFQUEUE --queue-num 0 2>/dev/null ||
    { seg_skip="no NFQUEUE target in this kernel"; return; }
  ip netns exec "$sg_router" nft add table inet zvloss 2>/dev/null &&
    ip netns exec "$sg_router" nft add chain inet zvloss forward \
      '{ type filter hook forward priority -10; }' 2>/dev/null ||
    { seg_skip="no nftables in this kernel"; return; }
  bbr=$(grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control 2>/dev/null ||
    modprobe tcp_bbr 2>/dev/null; grep -qw bbr /proc/sys/net/ipv4/tcp_available_congestion_control && echo yes)
}
# The link as |1| (e.g. 20mbit), |2| ms each way, |3| packets in 10000
# dropped each way, the server's congestion control |4| (on its routes).
shape_link() {
  local rate=$1 delay=$2 loss=$3 cc=$4 burst=64kb
  [ "$rate" = 1gbit ] && burst=1mb
  for dev in "${sg_veth}r" "${sg_veth}s"; do
    tc -n "$sg_router" qdisc replace dev "$dev" root tbf rate "$rate" burst "$burst" latency 20ms
  done
  ip netns exec "$sg_router" nft flush chain inet zvloss forward
  [ "$loss" -eq 0 ] ||
    ip netns exec "$sg_router" nft add rule inet zvloss forward numgen random mod 10000 lt "$loss" drop
  [ -z "${sg_delay_pid:-}" ] || { kill "$sg_delay_pid" 2>/dev/null; wait "$sg_delay_pid" 2>/dev/null || true; }
  ip netns exec "$sg_router" "$sg_dir/nfq_delay" 0 "$delay" 2>"$sg_dir/nfq_delay.log" &
  sg_delay_pid=$!
  # Per route: a namespace's sysctl may be read-only here.
  ip -n "$sg_server" route replace default via 10.211.95.1 congctl "$cc"
  ip -n "$sg_server" route replace 10.211.95.0/30 dev "${sg_veth}n" congctl "$cc" 2>/dev/null || true
}
drop_lossy_link() {
  nft delete table inet zvcount 2>/dev/null || true
  stop_https_server "$sg_dir/server"
  [ -z "${sg_delay_pid:-}" ] || kill "$sg_delay_pid" 2>/dev/null || true
  ip route del 10.211.95.0/30 2>/dev/null || true
  ip netns del "$sg_router" 2>/dev/null || true
  ip netns del "$sg_server" 2>/dev/null || true
}
start_lossy_server() {
  local dir=$sg_dir/server
  mkdir -p "$dir/tmp"
  make_test_certificate "$dir" "$sg_addr"
  HTTPS_SERVER_ADDR=$sg_addr HTTPS_SERVER_LOG='$connection $status $body_bytes_sent "$http_range"' \
    HTTPS_SERVER_TLS=$sg_tls write_nginx_conf "$dir" "$sg_dir/www" 443
  ip netns exec "$sg_server" /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf"
  cat "$dir/cert.pem" >>"$work/ca.pem"
}

# What reached the client from the server: the TCP payload of every packet
# from nginx (52 bytes of IP and TCP headers with timestamps taken off each),
# counted by nft in this namespace. Unlike nginx's count, it leaves out what
# still sat in the server's socket when a connection closed; it takes in
# TLS (records and handshakes, about 0.2% and a few KB a connection) and
# packets that came twice.
count_received() {
  nft delete table inet zvcount 2>/dev/null || true
  nft add table inet zvcount &&
    nft add chain inet zvcount input '{ type filter hook input priority 0; }' &&
    nft add rule inet zvcount input ip saddr "$sg_addr" tcp sport 443 counter
}
received() {
  nft list chain inet zvcount input | awk '/counter/ {for (i = 1; i < NF; i++) {
    if ($i == "packets") p = $(i + 1); if ($i == "bytes") b = $(i + 1) }} END {printf "%d", b - 52 * p}'
}
# One measured download: its download-phase seconds, body bytes the server
# sent, connections it used, and bytes that reached the client. |1|: setup,
# one-flow or aria2.
sg_log=$sg_dir/server/access.log
size_of() { stat -c %s "$sg_dir/www/$1"; }
served() { awk '{b += $3; c[$1] = 1} END {n = 0; for (k in c) n++; printf "%d %d", b, n}' "$sg_log"; }
one_download() {
  local how=$1 url=$2 t
  forget_cache
  rm -rf "$sg_dir/aria" && mkdir -p "$sg_dir/aria"
  : >"$sg_log"
  count_received
  case "$how" in
    setup) t=$(setup_run "$url" | field 3) ;;
    one-flow) t=$(ZV_INTERNAL_ONE_FLOW=1 setup_run "$url" | field 3) ;;
    aria2)
      settle
      t=$("$measure" -- aria2c -q -x4 -k1M --ca-certificate="$work/ca.pem" --file-allocation=none \
        --allow-overwrite=true --auto-file-renaming=false -d "$sg_dir/aria" -o agent.zip "$url" | field 1)
      ;;
  esac
  sleep 0.2  # nginx logs a request as it ends
  echo "$t $(served) $(received)"
}
# A run killed at a random moment of its download, then a run to the end.
# The moment is drawn over the bytes, not the seconds (a tenth to six
# tenths of the archive |2| bytes long having reached the client, then the
# next whole second of the clock), so that it falls inside the download
# whatever the link's luck. From that second on, what reaches the client is
# dropped before it is counted, by a rule set beforehand (nft's meta time):
# it would reach a closed socket. A rule set once the program is stopped
# takes effect milliseconds later, and what came meanwhile would count as
# received and unread. The program is stopped at that second, and the
# kernel's count of what each of its connections received in order (ss) is
# taken beside what reached it (nft, by port): the difference is what the
# kernel held out of order behind a loss, which no program can read and
# which goes with the socket; so do the bytes it held in order that the
# program had not yet read. Prints the body bytes the server sent for both
# runs together, the connections, the bytes received while a program ran,
# and of those what the kernel held at the kill: out of order, and in
# order but not yet read.
kill_then_run() {
  local url=$1 size=$2 pid at_kill drained held unread target at
  forget_cache
  : >"$sg_log"
  count_received
  nft add set inet zvcount byport '{ type inet_service; flags dynamic; counter; size 65535; }' &&
    nft add rule inet zvcount input ip saddr "$sg_addr" tcp sport 443 add @byport '{ tcp dport counter }' &&
    nft add chain inet zvcount gate '{ type filter hook input priority -10; }'
  target=$(awk -v s="$size" 'BEGIN {srand(); printf "%d", s * (0.1 + 0.5 * rand())}')
  settle
  ZV_INTERNAL_INSTALL_AGENT_URL=$url "$work/bundle/setup" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 600); do
    [ "$(received)" -lt "$target" ] && kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  at=$(awk -v t="$EPOCHREALTIME" 'BEGIN {printf "%d", t + 1.05}')
  nft add rule inet zvcount gate meta time ge "$at" ip saddr "$sg_addr" drop
  sleep "$(awk -v at="$at" -v t="$EPOCHREALTIME" 'BEGIN {d = at - t; printf "%.4f", (d > 0 ? d : 0)}')"
  kill -STOP "$pid" 2>/dev/null || true
  [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = T ] || echo "  the program had ended before the kill" >&2
  at_kill=$(received)
  unread=$(ss -tnH dst "$sg_addr" | awk '{u += $2} END {printf "%d", u}')
  held=$({
    ss -tniH dst "$sg_addr" | awk '/^ESTAB/ {n = split($4, a, ":"); port = a[n]}
      /bytes_received:/ {match($0, /bytes_received:[0-9]+/); print "in", port, substr($0, RSTART + 15, RLENGTH - 15)}'
    nft list set inet zvcount byport | tr -d ',' |
      awk '{for (i = 1; i < NF; i++) if ($(i + 1) == "counter") print "wire", $i, $(i + 3), $(i + 5)}'
  } | awk '$1 == "in" {inorder[$2] = $3} $1 == "wire" {wire[$2] = $4 - 52 * $3}
      END {for (p in inorder) if (p in wire && wire[p] > inorder[p]) h += wire[p] - inorder[p]; printf "%d", h}')
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  sleep 1
  nft flush chain inet zvcount gate
  sleep 1
  drained=$(received)
  ZV_INTERNAL_INSTALL_AGENT_URL=$url "$work/bundle/setup" >/dev/null 2>&1 || true
  sleep 0.2
  echo "$(served) $(($(received) - drained + at_kill)) $held $unread"
}

mkdir -p "$sg_dir/www"
make_agent "$sg_dir/www/agent-21m.zip" $((21 << 10)) 10
make_agent "$sg_dir/www/agent-3m.zip" 3174 10
make_agent "$sg_dir/www/agent-big.zip" $((${SEG_BIG_MB:-64} << 10)) 10
trap 'drop_lossy_link; stop_https_server "$server"; stop_https_server "$link_server"' EXIT
make_lossy_link
[ -n "$seg_skip" ] || start_lossy_server || seg_skip="nginx did not start"
if [ -n "$seg_skip" ]; then
  echo "segments rows skipped: $seg_skip"
  return 0 2>/dev/null || exit 0
fi

declare -A sg
# "label|rate|ms each way|loss in 10000|cc|archive|rounds|baselines"
rows=(
  "1 Gbit/s, 100 ms, 0.1% loss each way, cubic|1gbit|50|10|cubic|agent-21m.zip|$SEG_RUNS|one-flow aria2"
  "20 Mbit/s, 150 ms, 1% loss each way, cubic|20mbit|75|100|cubic|agent-3m.zip|$SEG_RUNS|one-flow aria2"
  "100 Mbit/s, 20 ms, no loss, cubic|100mbit|10|0|cubic|agent-big.zip|${SEG_CLEAN_RUNS:-3}|one-flow"
)
if [ "$bbr" = yes ]; then
  rows+=("1 Gbit/s, 100 ms, 0.1% loss each way, bbr|1gbit|50|10|bbr|agent-21m.zip|${SEG_BBR_RUNS:-$SEG_RUNS}|one-flow"
    "20 Mbit/s, 150 ms, 1% loss each way, bbr|20mbit|75|100|bbr|agent-3m.zip|${SEG_BBR_RUNS:-$SEG_RUNS}|one-flow")
fi
n=0
for row in "${rows[@]}"; do
  IFS='|' read -r label rate delay loss cc zip rounds baselines <<<"$row"
  n=$((n + 1))
  seg_row "$n" || continue
  shape_link "$rate" "$delay" "$loss" "$cc"
  url="https://$sg_addr/$zip"
  for r in $(seq 1 "$rounds"); do
    echo "segments row $n ($label): round $r of $rounds" >&2
    for how in setup $baselines; do
      [ "$how" = setup ] || seg_baseline "$how" || continue
      line=$(one_download "$how" "$url")
      echo "  $how: $line" >&2
      sg[$n.$how]+="$line"$'\n'
    done
  done
done
# The kill on the first lossy link.
shape_link 1gbit 50 10 cubic
for r in $(seq 1 "${SEG_KILL_RUNS:-5}"); do
  echo "segments: kill then run, $r" >&2
  line=$(kill_then_run "https://$sg_addr/agent-21m.zip" "$(size_of agent-21m.zip)")
  echo "  $line" >&2
  sg[kill]+="$line"$'\n'
done

col() { printf '%s' "${sg[$1]}" | field "$2" | median; }
lim() { printf '%s' "${sg[$1]}" | field "$2" | sort -n | sed -n '1p;$p' | paste -sd' ' | sed 's/ /–/'; }
# Of the archive: the median of column |2| of |1|'s runs, and its spread.
share() { printf '%s' "${sg[$1]}" | awk -v s="$3" -v f="$2" '{printf "%.3f\n", $f / s}' | median; }
share_lim() { printf '%s' "${sg[$1]}" | awk -v s="$3" -v f="$2" '{printf "%.3f\n", $f / s}' | sort -n | sed -n '1p;$p' | paste -sd' ' | sed 's/ /–/'; }
# A baseline's cells against the program's median |s| on an archive of
# |size| bytes: time (spread), ratio, connections, sent and received
# shares; "-" each where the baseline did not run.
baseline() {
  bt=- br=- bc=- bs=- brc=-
  [ -n "${sg[$1]:-}" ] || return 0
  bt="$(col "$1" 1) s ($(lim "$1" 1))" br=$(ratio "$s" "$(col "$1" 1)") bc=$(col "$1" 3)
  bs=$(share "$1" 2 "$size") brc=$(share "$1" 4 "$size")
}
echo
echo "Segments: download phase, median of alternating runs (spread min–max); body bytes the"
echo "server sent and bytes that reached the client, against the archive (one flow's: TLS alone,"
echo "every body byte once); connections used."
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| link | archive | setup | one flow | ratio | aria2c -x4 | ratio | bytes sent (setup; aria2c) | bytes received (setup; one flow; aria2c) | connections (setup, one flow, aria2c) |"
echo "|---|---|---|---|---|---|---|---|---|---|"
n=0
for row in "${rows[@]}"; do
  IFS='|' read -r label rate delay loss cc zip rounds baselines <<<"$row"
  n=$((n + 1))
  seg_row "$n" || continue
  size=$(size_of "$zip")
  s=$(col "$n.setup" 1)
  baseline "$n.one-flow"; o=$bt or=$br oc=$bc orc=$brc
  baseline "$n.aria2"; a=$bt ar=$br ac=$bc as=$bs arc=$brc
  printf '| %s | %.1f MiB | %s s (%s) | %s | %s | %s | %s | %s (%s); %s | %s (%s); %s; %s | %s, %s, %s |\n' "$label" \
    "$(awk -v b="$size" 'BEGIN {print b / 1048576}')" "$s" "$(lim "$n.setup" 1)" "$o" \
    "$or" "$a" "$ar" "$(share "$n.setup" 2 "$size")" "$(share_lim "$n.setup" 2 "$size")" "$as" \
    "$(share "$n.setup" 4 "$size")" "$(share_lim "$n.setup" 4 "$size")" "$orc" "$arc" \
    "$(col "$n.setup" 3)" "$oc" "$ac"
done
k=$(size_of agent-21m.zip)
if [ -n "${sg[kill]:-}" ]; then
  sg[kill-less]=$(printf '%s' "${sg[kill]}" | awk '{print $3 - $4 - $5}')
  printf '\nKilled at a random moment of a download over the first link, then run to the end: body bytes\nsent in all %s of the archive (median; spread %s); received while a program ran %s (%s), of\nthat held by the kernel at the kill out of order %s (%s) and in order, not yet read, %s (%s);\nthe rest %s (%s).\n' \
    "$(share kill 1 "$k")" "$(share_lim kill 1 "$k")" "$(share kill 3 "$k")" "$(share_lim kill 3 "$k")" \
    "$(share kill 4 "$k")" "$(share_lim kill 4 "$k")" "$(share kill 5 "$k")" "$(share_lim kill 5 "$k")" \
    "$(share kill-less 1 "$k")" "$(share_lim kill-less 1 "$k")"
fi
[ "$bbr" = yes ] || echo "No bbr congestion control in this kernel: the bbr rows are left out."
