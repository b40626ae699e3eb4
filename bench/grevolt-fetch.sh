#!/usr/bin/env bash
# Latency of the grevolt plug-in's fetch against the physical limit (three raw
# 12-byte reads of the game's memory), both against the stand-in game in the
# same run.  Usage: bench/grevolt-fetch.sh [BUILD_DIR] [BATCHES]
set -euo pipefail
build=${1:-build}
exec "$build/bench/grevolt_fetch_bench" "${2:-2000}"
