# shellcheck shell=bash
# Sourced by bench/run.sh with BENCH_ROWS=hosts: a signed agent from one host
# against the same agent from two hosts at once (the second as a mirror),
# each host an nginx on loopback that sends at most HOSTS_RATE a connection
# (limit_rate), alternating; and with a second host five times slower
# (HOSTS_SLOW_RATE), where the whole should take about 1 / 1.2 of one host's
# time if each host's share follows its speed. Uses run.sh's helpers (setup_run, forget_cache,
# make_agent, sign_agent, median, ratio, ...).
hs_dir=$work/hosts HOSTS_RATE=${HOSTS_RATE:-5m} HOSTS_SLOW_RATE=${HOSTS_SLOW_RATE:-1m} HOSTS_MB=${HOSTS_MB:-48}
mkdir -p "$hs_dir/www"
make_agent "$hs_dir/www/agent.zip" "$HOSTS_MB"
sign_agent "$hs_dir/www/agent.zip"
trap 'stop_https_server "$hs_dir/a"; stop_https_server "$hs_dir/b"; stop_https_server "$hs_dir/c"; stop_https_server "$server"; stop_https_server "$link_server"' EXIT
start_https_server "$hs_dir/a" "$hs_dir/www" "$HOSTS_RATE"
host_a="https://127.0.0.1:$SERVER_PORT/agent.zip"
start_https_server "$hs_dir/b" "$hs_dir/www" "$HOSTS_RATE"
host_b="https://127.0.0.1:$SERVER_PORT/agent.zip"
start_https_server "$hs_dir/c" "$hs_dir/www" "$HOSTS_SLOW_RATE"
host_c="https://127.0.0.1:$SERVER_PORT/agent.zip"
cat "$hs_dir/a/cert.pem" "$hs_dir/b/cert.pem" "$hs_dir/c/cert.pem" >>"$work/ca.pem"

# Download-phase seconds, and the body bytes each host sent.
sent() { awk '$2 == "/agent.zip" {b += $4} END {print b + 0}' "$hs_dir/$1/access.log"; }
one_run() {
  forget_cache
  : >"$hs_dir/a/access.log" && : >"$hs_dir/b/access.log" && : >"$hs_dir/c/access.log"
  local t
  t=$(ZV_INTERNAL_INSTALL_AGENT_MIRRORS=${1:-} setup_run "$host_a" signed-bundle | field 3)
  sleep 0.2  # nginx logs a request as it ends
  echo "$t $(sent a) $(sent "${2:-b}")"
}
declare -A hs
for r in $(seq 1 "$RUNS"); do
  echo "hosts: round $r of $RUNS" >&2
  hs[one]+="$(one_run)"$'\n'
  hs[two]+="$(one_run "$host_b")"$'\n'
  hs[slow]+="$(one_run "$host_c" c)"$'\n'
done
hm() { printf '%s' "${hs[$1]}" | field "$2" | median; }
hl() { printf '%s' "${hs[$1]}" | field "$2" | sort -n | sed -n '1p;$p' | paste -sd' ' | sed 's/ /–/'; }
size=$(stat -c %s "$hs_dir/www/agent.zip")
two=$(hm two 1) one=$(hm one 1)
cat <<TABLE

Two hosts: download phase of a signed ${HOSTS_MB} MiB agent, each host nginx on loopback at
limit_rate ${HOSTS_RATE} a connection; median of $RUNS alternating runs (spread). Load average: $(cut -d' ' -f1-3 /proc/loadavg).

| download | time | body bytes (first host, second) | ratio | goal |
|---|---|---|---|---|
| two hosts at once | ${two} s ($(hl two 1)) | $(ratio "$(hm two 2)" "$size"), $(ratio "$(hm two 3)" "$size") of the archive | $(ratio "$two" "$one") | <= 0.55 |
| a second host five times slower | $(hm slow 1) s ($(hl slow 1)) | $(ratio "$(hm slow 2)" "$size"), $(ratio "$(hm slow 3)" "$size") of the archive | $(ratio "$(hm slow 1)" "$one") | report (1 / 1.2 = 0.833 at best) |
| one host | ${one} s ($(hl one 1)) | $(ratio "$(hm one 2)" "$size") of the archive | | |
TABLE
