#!/usr/bin/env bash
# Latency of the grevolt plug-in's fetch against one raw three-vector
# process_vm_readv of the game's memory (the least any implementation has to
# do; target: fetch at most 1.1 times that), against that read followed by
# the pidfd poll that fetch makes to be sure it read the game and no process
# that took over its identifier (one more system call, which alone puts fetch
# above the target: the ratio of the two shows its cost), and against three
# raw 12-byte preads of /proc/PID/mem, all against the stand-in game in the
# same run.
# Usage: bench/grevolt-fetch.sh [BUILD_DIR] [BATCHES]
set -euo pipefail
build=${1:-${BUILD_DIR:-build}}
exec "$build/bench/grevolt_fetch_bench" "${2:-2000}"
