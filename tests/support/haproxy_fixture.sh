# HAProxy on a free loopback port in front of ostreld servers (sourced, after
# init.sh).
#   start_haproxy ADDR...  balances round robin over the servers at ADDR
#                          (HOST:PORT each), checking each one's health
#                          endpoint every 200 ms; sets HAPROXY_ADDR and
#                          HAPROXY_PID once every server is seen up.  HAProxy
#                          not installed: skipped (77); no start: setup broke (99).
#   haproxy_wait_down ADDR waits until HAProxy has taken ADDR out of rotation
#   stop_haproxy
# HAProxy is stopped when the shell exits.
# The configuration is the one docs/scale-out.md shows, with test timings.
HAPROXY=${OSTREL_HAPROXY:-$(command -v haproxy || echo /usr/sbin/haproxy)}
HAPROXY_PID=
HAPROXY_ADDR=
HAPROXY_DIR=

# A port nobody listens on now (the kernel's choice for port 0).
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

write_haproxy_config() {  # FILE PORT ADDR...
  local file=$1 port=$2
  shift 2
  {
    cat <<CFG
global
    maxconn 1024
    stats socket $HAPROXY_DIR/admin.sock mode 600 level admin

defaults
    mode http
    timeout connect 5s
    timeout client 120s
    timeout server 120s
    # A commit is one POST: never sent twice.  A request that found no
    # server up is tried once more on another.
    retries 2
    option redispatch

frontend repositories
    bind 127.0.0.1:$port
    default_backend ostreld

backend ostreld
    balance roundrobin
    option httpchk GET /?op=health
    http-check expect status 200
    default-server check inter 200ms fall 2 rise 1
CFG
    local i=1 addr
    for addr in "$@"; do
      echo "    server s$i $addr"
      i=$((i + 1))
    done
  } >"$file"
}

# The state HAProxy gives the server at ADDR ("UP", "DOWN", ...).
haproxy_server_state() {
  local name
  name=$(grep -n " $1\$" "$HAPROXY_DIR/haproxy.cfg" | sed -e 's/.*server \(s[0-9]*\) .*/\1/')
  echo "show stat" | python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
s.sendall(b"show stat\n"); data = b""
while True:
    b = s.recv(65536)
    if not b: break
    data += b
for line in data.decode().splitlines():
    f = line.split(",")
    if len(f) > 17 and f[0] == "ostreld" and f[1] == sys.argv[2]: print(f[17])
' "$HAPROXY_DIR/admin.sock" "$name"
}

haproxy_wait_state() {  # ADDR STATE-PREFIX
  local i
  for i in $(seq 1 300); do
    case $(haproxy_server_state "$1") in "$2"*) return 0 ;; esac
    sleep 0.1
  done
  return 1
}

haproxy_wait_down() { haproxy_wait_state "$1" DOWN || setup_failed "HAProxy still sends to $1"; }

start_haproxy() {
  [ -x "$HAPROXY" ] || skip "HAProxy is not installed (package haproxy)"
  [ -n "$HAPROXY_DIR" ] || HAPROXY_DIR=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-haproxy.XXXXXX") || setup_failed "mktemp"
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$(free_port) || setup_failed "no free port"
    write_haproxy_config "$HAPROXY_DIR/haproxy.cfg" "$port" "$@"
    "$HAPROXY" -c -q -f "$HAPROXY_DIR/haproxy.cfg" >"$HAPROXY_DIR/check.log" 2>&1 ||
      setup_failed "HAProxy refuses its configuration: $(cat "$HAPROXY_DIR/check.log")"
    # -db: in the foreground (its process is ours to stop); -Ws would fork.
    "$HAPROXY" -db -f "$HAPROXY_DIR/haproxy.cfg" >"$HAPROXY_DIR/haproxy.log" 2>&1 &
    HAPROXY_PID=$!
    local i up=no
    for i in $(seq 1 100); do
      kill -0 "$HAPROXY_PID" 2>/dev/null || break
      if (exec {probe}<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then up=yes; break; fi
      sleep 0.1
    done
    if [ $up = yes ]; then
      HAPROXY_ADDR=127.0.0.1:$port
      local addr
      for addr in "$@"; do
        haproxy_wait_state "$addr" UP || setup_failed "HAProxy does not see $addr up: $(cat "$HAPROXY_DIR/haproxy.log")"
      done
      return 0
    fi
    # The port was taken between the choice and the bind: another one.
    stop_haproxy
  done
  setup_failed "HAProxy did not start: $(cat "$HAPROXY_DIR/haproxy.log")"
}

stop_haproxy() {
  [ -n "$HAPROXY_PID" ] || return 0
  kill -TERM "$HAPROXY_PID" 2>/dev/null || true
  wait "$HAPROXY_PID" 2>/dev/null || true
  HAPROXY_PID=
}

cleanup_haproxy() {
  stop_haproxy
  [ -n "$HAPROXY_DIR" ] && rm -rf "$HAPROXY_DIR"
}

at_exit cleanup_haproxy
