#!/usr/bin/env bash
# Runs the commands of every man page's EXAMPLES section, in order, with the
# built programs, in a scratch directory standing in for /srv, with the
# built plug-in standing in for the installed one.  Each must succeed.
#
# A command ending in " &" starts a server: it is run in the background on a
# free loopback port instead of the port it names (127.0.0.1:PORT), and the
# commands after it reach that server wherever they name 127.0.0.1:PORT.  It
# must print its address as its first line; at the end of its page it is
# stopped with SIGTERM and must exit 0.
. "$(dirname "$0")/../../tests/support/init.sh"
export PATH="$BUILD_DIR/bin:$PATH" HOME="$T/home"
export no_proxy=127.0.0.1,localhost,::1 NO_PROXY=127.0.0.1,localhost,::1
pids=()
stop_servers() {
  local pid status
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 600; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    status=0; wait "$pid" 2>/dev/null || status=$?
    if [ "$status" != 0 ]; then
      fail "$page_name: the server's exit status after SIGTERM" 0 "$status: $(cat "$T/server-$pid.err")"
    fi
  done
  pids=()
}
at_exit stop_servers

# start_server PAGE-PORT COMMAND: runs COMMAND in the background, listening
# on a free port instead of PAGE-PORT; sets ports[PAGE-PORT] to the port it
# prints.
declare -A ports
start_server() {
  local page_port=$1 cmd=${2//127.0.0.1:$1/127.0.0.1:0} out="$T/server.out" line=""
  : >"$out"
  bash -c "exec $cmd" >"$out" 2>"$T/server.err" </dev/null &
  local pid=$!
  pids+=("$pid")
  for ((i = 0; i < 600; i++)); do
    line=$(head -n 1 "$out")
    [ -n "$line" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  mv "$T/server.err" "$T/server-$pid.err"
  if [[ ! $line =~ ^127\.0\.0\.1:[0-9]+$ ]]; then
    fail "$page_name: '$cmd' starts" "its address as its first line" "'$line': $(cat "$T/server-$pid.err")"
    return
  fi
  ports[$page_port]=${line#*:}
}

for page in "$SOURCE_DIR"/docs/man/*.scd; do
  page_name=$(basename "$page")
  rm -rf "$T/srv" && mkdir -p "$T/srv/repos" "$T/home"
  ports=()
  # The lines starting with "$ " inside the EXAMPLES section.
  commands=$(awk '/^# /{ex = ($2 == "EXAMPLES")} ex && /^\$ /{print substr($0, 3)}' "$page")
  if [ -z "$commands" ]; then
    fail "$page_name has examples"
    continue
  fi
  while IFS= read -r cmd; do
    cmd=${cmd//\/srv\//$T/srv/}
    cmd=${cmd//\/usr\/lib\/x86_64-linux-gnu\/grevolt\//$BUILD_DIR/lib/}
    if [[ $cmd == *' &' ]]; then
      if [[ ! $cmd =~ 127\.0\.0\.1:([0-9]+) ]]; then
        fail "$page_name: the server in '$cmd' listens on 127.0.0.1:PORT"
        continue
      fi
      port=${BASH_REMATCH[1]}
      start_server "$port" "${cmd% &}"
      continue
    fi
    for port in "${!ports[@]}"; do cmd=${cmd//127.0.0.1:$port/127.0.0.1:${ports[$port]}}; done
    if ! bash -c "$cmd" >"$T/out" 2>&1 </dev/null; then
      fail "$page_name: '$cmd'" "it succeeds" "$(cat "$T/out")"
    fi
  done <<<"$commands"
  stop_servers
done
finish
