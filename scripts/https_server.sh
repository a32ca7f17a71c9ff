# shellcheck shell=bash
# Sourced: a throw-away HTTPS server (nginx) on 127.0.0.1 with a certificate
# made here, for the demo and the benchmarks.
#   start_https_server STATE_DIR WEB_ROOT [RATE]  sets SERVER_PORT, SERVER_CA
#   stop_https_server STATE_DIR
#   run_https_server STATE_DIR WEB_ROOT  in the foreground: prints the port
#     once it listens, and ends with nginx
# With HTTPS_SERVER_HTTP2=1 in the environment it offers HTTP/2 as well, and
# its log ends each line with the connection's serial number.
# write_nginx_conf also takes, for the benchmarks, HTTPS_SERVER_ADDR (the
# address it listens on, 127.0.0.1 unless given) and HTTPS_SERVER_LOG (the
# access log's format, in nginx's words) and HTTPS_SERVER_TLS (lines for
# the server block, such as its TLS versions and session cache).

# A self-signed certificate for |addr| (127.0.0.1 unless given).
make_test_certificate() {
  local dir=$1 addr=${2:-127.0.0.1}
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$addr" \
    -addext "subjectAltName=IP:$addr,DNS:localhost" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1
}

write_nginx_conf() {
  local dir=$1 root=$2 port=$3 rate=${4:-0} top=${5:-} h2=""
  [ "${HTTPS_SERVER_HTTP2:-}" = 1 ] && h2=1
  local log='$request_method $uri $status $body_bytes_sent $http_if_none_match'${h2:+' $connection'}
  cat >"$dir/nginx.conf" <<CONF
$top
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  log_format bytes '${HTTPS_SERVER_LOG:-$log}';
  access_log $dir/access.log bytes;
  client_body_temp_path $dir/tmp; proxy_temp_path $dir/tmp; fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp; scgi_temp_path $dir/tmp;
  sendfile on;
  server {
    listen ${HTTPS_SERVER_ADDR:-127.0.0.1}:$port ssl${h2:+ http2};
    ssl_certificate $dir/cert.pem;
    ssl_certificate_key $dir/key.pem;
    ${HTTPS_SERVER_TLS:-}
    root $root;
    limit_rate $rate;
    # The same files as a server with "etag off" sends them.
    location /etag-off/ { alias $root/; etag off; }
    # /linked/PORT/OTHER/FILE: FILE, its answer (a 404 too) naming OTHER on
    # this machine's PORT (as fault_server.py serves it) as a duplicate.
    location ~ ^/linked/(?<dport>[0-9]+)/(?<dother>[^/]+)/(?<dfile>[^/]+)\$ {
      alias $root/\$dfile;
      add_header Link "<https://127.0.0.1:\$dport/serve/\$dother>; rel=duplicate" always;
    }
    # The same files as a server that sends one range a request: a request
    # for more gets the whole file.
    location /one-range/ { alias $root/; max_ranges 1; }
  }
}
CONF
}

start_https_server() {
  local dir=$1 root=$2 rate=${3:-0}
  mkdir -p "$dir/tmp"
  make_test_certificate "$dir"
  # shellcheck disable=SC2034  # for the caller
  SERVER_CA=$dir/cert.pem
  for _ in $(seq 1 30); do
    SERVER_PORT=$((20000 + RANDOM % 30000))
    write_nginx_conf "$dir" "$root" "$SERVER_PORT" "$rate"
    if /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" 2>/dev/null; then
      return 0
    fi
  done
  echo "could not start nginx" >&2
  return 1
}

stop_https_server() {
  local dir=$1
  [ -f "$dir/nginx.pid" ] || return 0
  /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" -s stop 2>/dev/null || kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
  for _ in $(seq 1 50); do [ -f "$dir/nginx.pid" ] || break; sleep 0.1; done
}

run_https_server() {
  local dir=$1 root=$2 port nginx
  mkdir -p "$dir/tmp"
  make_test_certificate "$dir"
  for _ in $(seq 1 30); do
    port=$((20000 + RANDOM % 30000))
    write_nginx_conf "$dir" "$root" "$port" 0 "daemon off; master_process off;"
    /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" 2>/dev/null &
    nginx=$!
    # Its pid file comes once it listens; on a taken port it ends at once.
    while kill -0 "$nginx" 2>/dev/null && [ ! -f "$dir/nginx.pid" ]; do sleep 0.02; done
    if [ -f "$dir/nginx.pid" ]; then
      echo "$port"
      wait "$nginx"
      return
    fi
  done
  echo "could not start nginx" >&2
  return 1
}
