# shellcheck shell=bash
# Sourced by bench/run.sh (alone with BENCH_ROWS=realistic): an agent made of
# real files, its whole road against curl + unzip + sh, on loopback and over a
# 200 Mbit/s link to a server in a network namespace made here. Uses run.sh's
# helpers (settle, setup_run, forget_cache, sign_agent, median, ratio, ...).

# shellcheck source=bench/realistic-agent.sh
. "$top/bench/realistic-agent.sh"

# An nginx for these rows, on |addr| (inside namespace |ns| when given), with
# a certificate for that address. Its log says which connection carried each
# request, the range asked for, and when it started (msec - request_time).
rows_log='$connection $connection_requests $msec $request_time $status $body_bytes_sent'
rows_log+=' "$http_range" "$request"'
start_rows_server() {
  local dir=$1 root=$2 addr=$3 ns=${4:-}
  mkdir -p "$dir/tmp"
  make_test_certificate "$dir" "$addr"
  for _ in $(seq 1 30); do
    ROWS_PORT=$([ -n "$ns" ] && echo 443 || echo $((20000 + RANDOM % 30000)))
    HTTPS_SERVER_ADDR=$addr HTTPS_SERVER_LOG=$rows_log write_nginx_conf "$dir" "$root" "$ROWS_PORT"
    ${ns:+ip netns exec "$ns"} /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" 2>/dev/null && return 0
  done
  echo "could not start nginx on $addr" >&2
  return 1
}

# The link: a veth pair to a namespace holding the server, its sending side
# shaped by a token bucket. Sets shaped_skip to the reason when it cannot be.
ns=zvbench$$ veth=zvb$$ ns_addr=10.211.91.2 host_addr=10.211.91.1
make_shaped_link() {
  shaped_skip=
  [ "$(id -u)" -eq 0 ] || { shaped_skip="not root"; return; }
  if ip -o addr show | grep -q " ${host_addr%.*}\."; then
    shaped_skip="$ns_addr/30 is already in use here"
    return
  fi
  modprobe sch_tbf 2>/dev/null || true
  ip netns add "$ns" 2>/dev/null || { shaped_skip="cannot make a network namespace"; return; }
  ip link add "${veth}h" type veth peer name "${veth}n" netns "$ns" 2>/dev/null ||
    { shaped_skip="cannot make a veth pair"; return; }
  if ! { ip addr add "$host_addr/30" dev "${veth}h" && ip link set "${veth}h" up &&
    ip -n "$ns" addr add "$ns_addr/30" dev "${veth}n" && ip -n "$ns" link set "${veth}n" up; }; then
    shaped_skip="cannot set up the veth pair"
    return
  fi
  # 200 Mbit/s; the bucket holds a few 64 KiB GSO packets, the queue 20 ms.
  tc -n "$ns" qdisc add dev "${veth}n" root tbf rate 200mbit burst 256kb latency 20ms 2>/dev/null ||
    { shaped_skip="no tbf queueing discipline (sch_tbf) in this kernel"; return; }
}
drop_shaped_link() {
  stop_https_server "$work/shaped-server"
  ip netns del "$ns" 2>/dev/null || true
}

rows_server=$work/rows-server
trap 'drop_shaped_link; stop_https_server "$rows_server"; stop_https_server "$server"; stop_https_server "$link_server"' EXIT
real_zip=$work/www/realistic.zip
make_realistic_agent "$real_zip"
sign_agent "$real_zip"
real_files=$(unzip -Z1 "$real_zip" | grep -vc '/$')
real_unpacked=$(unzip -Zt "$real_zip" | awk '{print $3}')
real_size=$(stat -c %s "$real_zip")
real_mib=$((real_size >> 20))
# As much memory touched before each run as the run writes: the archive and
# what it unpacks to.
warm_mb=$(awk -v want=$(((real_size + real_unpacked) / 1048576 + 256)) \
  '/MemAvailable/ {m = int($2 / 4096); print (want < m ? want : m)}' /proc/meminfo)
start_rows_server "$rows_server" "$work/www" 127.0.0.1
loop_url="https://127.0.0.1:$ROWS_PORT/realistic.zip"
cat "$rows_server/cert.pem" >>"$work/ca.pem"
make_shaped_link
if [ -z "$shaped_skip" ]; then
  start_rows_server "$work/shaped-server" "$work/www" "$ns_addr" "$ns" || shaped_skip="nginx did not start in $ns"
  shaped_url="https://$ns_addr/realistic.zip"
  cat "$work/shaped-server/cert.pem" >>"$work/ca.pem"
fi

# Each side starts with neither side's files on disk.
fresh() { forget_cache; rm -rf "$D" "$F" "$F.minisig"; }
road_setup() { fresh; setup_run "$1" "$2"; }
# By hand: the archive (and its signature, on the same connection), checked
# when signed, unpacked, its install run.
road_hand() {
  local get="curl -s -o '$F' '$1'" check=
  [ "$2" = signed ] && get+=" -o '$F.minisig' '$1.minisig'" check="minisign -Vq -p '$work/sign.pub' -m '$F' && "
  fresh; settle
  "$measure" -- sh -c "$get && $check unzip -qq -o '$F' -d '$D' && sh '$D/install'"
}
# The by-hand parts apart: the download, the check, the unpacking.
parts_hand() {
  fresh; settle
  local get unzip verify
  get=$("$measure" -- curl -s -o "$F" -o "$F.minisig" "$1" "$1.minisig" | field 1)
  settle
  verify=$("$measure" -- minisign -Vq -p "$work/sign.pub" -m "$F" | field 1)
  settle
  unzip=$("$measure" -- unzip -qq -o "$F" -d "$D" | field 1)
  echo "$get $verify $unzip"
}
# One setup run with its requests as the server logged them.
logged_setup() {
  fresh
  : >"$3/access.log"
  setup_run "$1" "$2" >/dev/null
  cp "$3/access.log" "$4"
}

for run in $(seq 1 "$RUNS"); do
  echo "realistic agent: run $run of $RUNS" >&2
  results[rl_u_setup]+="$(road_setup "$loop_url" bundle)"$'\n'
  results[rl_u_hand]+="$(road_hand "$loop_url" unsigned)"$'\n'
  results[rl_s_setup]+="$(road_setup "$loop_url" signed-bundle)"$'\n'
  results[rl_s_hand]+="$(road_hand "$loop_url" signed)"$'\n'
  results[rl_parts]+="$(parts_hand "$loop_url")"$'\n'
  [ -z "$shaped_skip" ] || continue
  results[rs_u_setup]+="$(road_setup "$shaped_url" bundle)"$'\n'
  results[rs_u_hand]+="$(road_hand "$shaped_url" unsigned)"$'\n'
  results[rs_s_setup]+="$(road_setup "$shaped_url" signed-bundle)"$'\n'
  results[rs_s_hand]+="$(road_hand "$shaped_url" signed)"$'\n'
done
# Requests and connections of one unsigned and one signed run, on the link
# when there is one, and what one round trip costs there (curl's connect time).
if [ -z "$shaped_skip" ]; then
  req_url=$shaped_url req_dir=$work/shaped-server req_where="the 200 Mbit/s link"
else
  req_url=$loop_url req_dir=$rows_server req_where="loopback"
fi
logged_setup "$req_url" bundle "$req_dir" "$work/requests-unsigned.log"
logged_setup "$req_url" signed-bundle "$req_dir" "$work/requests-signed.log"
rtt_ms=$(for _ in 1 2 3 4 5; do curl -s -o /dev/null -w '%{time_connect}\n' "${req_url%/*}/"; done |
  awk '{print $1 * 1000}' | median)
link_mbit=
if [ -z "$shaped_skip" ]; then
  fresh
  link_mbit=$(curl -s -o "$F" -w '%{speed_download}' "$shaped_url" | awk '{printf "%.0f", $1 * 8 / 1e6}')
fi
fresh

ms() { printf '%s' "${results[$1]}" | field "$2" | median; }
# "| label | setup s (spread) | baseline s (spread, what) | ratio | goal |"
row() {
  local s h
  s=$(ms "$2" 1) h=$(ms "$3" 1)
  echo "| $1 | $s s ($(spread "$2" 1)) | $h s ($(spread "$3" 1); $4) | $(ratio "$s" "$h") | $5 |"
}
# One line per request, in the order they ended: when it started (from the
# first request's start), its connection (and its number on that connection),
# what it asked, the answer, and how long it took.
requests() {
  awk '{gsub(/"/, ""); s[NR] = $3 - $4; if (NR == 1 || s[NR] < first) first = s[NR]
      l[NR] = sprintf("connection %s (#%s) %s %s range %s: %s, %s B, %.0f ms", $1, $2, $8, $9, $7, $5, $6, $4 * 1000)}
    END {for (i = 1; i <= NR; i++) printf "    at +%.0f ms, %s\n", (s[i] - first) * 1000, l[i]}' "$1"
  echo "    $(wc -l <"$1") requests on $(awk '{print $1}' "$1" | sort -u | wc -l) connections"
}
failures=$(printf '%s' "${results[rl_u_setup]}${results[rl_s_setup]}${results[rs_u_setup]:-}${results[rs_s_setup]:-}" |
  field 4 | grep -vc '^0$' || true)
read -r p_get p_verify p_unzip < <(for i in 1 2 3; do ms rl_parts "$i"; done | paste -sd' ')
agent="${real_files} files, ${real_mib} MiB deflated, $((real_unpacked >> 20)) MiB unpacked"
by_hand="curl + unzip + sh" signed_hand="curl + minisign -V + unzip + sh"

cat <<TABLE

Realistic agent ($agent); median of $RUNS alternating runs, spread min–max.

| benchmark | setup | baseline | ratio | goal |
|---|---|---|---|---|
$(row "6. realistic agent over HTTPS on loopback, fresh cache, to the agent's end" rl_u_setup rl_u_hand "$by_hand" "<= 0.70")
$(row "6a. the same, signed" rl_s_setup rl_s_hand "$signed_hand" "<= 0.70")
TABLE
if [ -z "$shaped_skip" ]; then
  row "7. the same over a 200 Mbit/s link (server in a network namespace, tbf)" rs_u_setup rs_u_hand "$by_hand" "<= 0.75"
  row "7a. the same, signed" rs_s_setup rs_s_hand "$signed_hand" "<= 0.90"
else
  echo "| 7, 7a. over a 200 Mbit/s link | skipped: $shaped_skip | | | |"
fi
cat <<NOTES

By hand on loopback, apart: curl ${p_get} s, minisign -V ${p_verify} s, unzip ${p_unzip} s; setup until
"Initializing the installer": unsigned $(ms rl_u_setup 3) s, signed $(ms rl_s_setup 3) s.
${link_mbit:+The link carried one curl download at ${link_mbit} Mbit/s. }One round trip ($req_where, curl's connect time): ${rtt_ms} ms.
Runs of setup that did not exit 0: $failures.

Requests of one unsigned setup run over $req_where:
$(requests "$work/requests-unsigned.log")
Requests of one signed setup run over $req_where:
$(requests "$work/requests-signed.log")
NOTES
