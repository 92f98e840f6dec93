#!/bin/sh
# Runs every benchmark executable of a build (BUILD_DIR/bench) and prints its output.
# Usage: scripts/bench.sh BUILD_DIR. Benchmarks write their scratch files below $TMPDIR.
set -eu
BUILD=${1:?usage: scripts/bench.sh BUILD_DIR}
DIR="$BUILD/bench"
if [ ! -d "$DIR" ]; then
    echo "bench.sh: no benchmarks in $DIR (configure with -DDLARCHIVE_BENCH=ON)" >&2
    exit 1
fi
found=0
for exe in "$DIR"/*; do
    [ -f "$exe" ] && [ -x "$exe" ] || continue
    found=1
    echo "== $(basename "$exe")"
    "$exe"
    echo
done
# Benchmarks of whole commands on real list traffic.
TOP=$(cd "$(dirname "$0")/.." && pwd)
for script in "$TOP"/bench/*.sh; do
    [ -f "$script" ] || continue
    found=1
    echo "== $(basename "$script")"
    "$script" "$BUILD"
    echo
done
if [ "$found" = 0 ]; then
    echo "bench.sh: no benchmark executables in $DIR" >&2
    exit 1
fi
