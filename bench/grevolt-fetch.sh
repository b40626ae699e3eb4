#!/usr/bin/env bash
# Latency of the grevolt plug-in's fetch against one raw three-vector
# process_vm_readv of the game's memory (the least any implementation has to
# do; target: fetch at most 1.1 times that) and against three raw 12-byte
# preads of /proc/PID/mem, all against the stand-in game in the same run.
# Usage: bench/grevolt-fetch.sh [BUILD_DIR] [BATCHES]
set -euo pipefail
build=${1:-${BUILD_DIR:-build}}
exec "$build/bench/grevolt_fetch_bench" "${2:-2000}"
