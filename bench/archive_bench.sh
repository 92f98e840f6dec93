#!/bin/sh
# Intake, rebuild and index pages on real list traffic (the shared corpus beside the
# repository; nothing of it is copied into the project). Prints wall time, rate and peak
# memory of each run of the dlarchive tool.
# Usage: bench/archive_bench.sh BUILD_DIR   (DLARCHIVE_CORPUS, BENCH_WORK override the paths)
set -eu
TOP=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/archive_bench.sh BUILD_DIR}" && pwd)
CLI="$BUILD/dlarchive"
CORPUS=${DLARCHIVE_CORPUS:-$TOP/../shared/corpus}
WORK=${BENCH_WORK:-$BUILD/bench-work}
SIZES=${BENCH_SIZES:-"1000 10000 100000"}

if [ ! -f "$CORPUS/jailhouse-dev.tar.xz" ]; then
    echo "archive_bench: no corpus at $CORPUS; skipped"
    exit 0
fi
. "$TOP/bench/lib/bench_home.sh"
SRC=$(corpus_list)
TOTAL=$(ls "$SRC" | grep -c '\.msg$')

HOME_DIR="$WORK/home"
rm -rf "$HOME_DIR"
bench_home "$HOME_DIR"
dl() { "$CLI" --config "$HOME_DIR/etc" "$@"; }
dl init --force >/dev/null

# measure LABEL MESSAGES COMMAND...: one line with time, rate and peak memory.
measure() {
    label=$1; count=$2; shift 2
    /usr/bin/time -f "%e %M" -o "$WORK/time.out" "$@" >/dev/null
    set -- $(cat "$WORK/time.out")
    awk -v l="$label" -v n="$count" -v t="$1" -v m="$2" \
        'BEGIN { r = (t > 0) ? n / t : 0; printf "%-44s %8d msgs %8.2f s %9.0f msg/s %8.1f MB peak\n", l, n, t, r, m / 1024 }'
}

# Lists are placed by copying their message files into the archive directory.
place() {
    list=$1; from=$2
    rm -rf "$HOME_DIR/dlmgr/$list"
    mkdir -p "$HOME_DIR/dlmgr/$list/archive"
    find "$from" -maxdepth 1 -name "*.msg" -exec cp -t "$HOME_DIR/dlmgr/$list/archive/" {} +
}

echo "jailhouse-dev: $TOTAL messages"
place jailhouse "$SRC"
measure "rebuild jailhouse-dev (relations + en-us pages)" "$TOTAL" "$CLI" --config "$HOME_DIR/etc" rebuild jailhouse
measure "reload jailhouse-dev (relations only)" "$TOTAL" "$CLI" --config "$HOME_DIR/etc" reload jailhouse
measure "pages jailhouse-dev (en-us)" "$TOTAL" "$CLI" --config "$HOME_DIR/etc" pages jailhouse

python3 "$CORPUS/to_mbox.py" "$SRC" "$WORK/jailhouse.mbox" >/dev/null
rm -rf "$HOME_DIR/dlmgr/imported"
measure "import jailhouse-dev mbox" "$TOTAL" "$CLI" --config "$HOME_DIR/etc" import imported "$WORK/jailhouse.mbox"

for n in $SIZES; do
    place "big$n" "$(corpus_list "$n")"
    measure "rebuild $n (relations + en-us pages)" "$n" "$CLI" --config "$HOME_DIR/etc" rebuild "big$n"
    measure "reload $n (relations only)" "$n" "$CLI" --config "$HOME_DIR/etc" reload "big$n"
    measure "pages $n (en-us)" "$n" "$CLI" --config "$HOME_DIR/etc" pages "big$n"
    # Search and navigation: the library's figures (with the plainly written walks beside
    # them up to 10,000 messages), then whole commands with their peak memory.
    literal=""
    [ "$n" -le 10000 ] && literal=--literal
    "$BUILD/bench/search_bench" "$HOME_DIR/etc" "big$n" $literal
    middle=$((n / 2))
    measure "search $n by author (tool)" "$n" "$CLI" --config "$HOME_DIR/etc" search "big$n" "Jan Kiszka" --by author
    measure "search $n by subject (tool)" "$n" "$CLI" --config "$HOME_DIR/etc" search "big$n" "cell" --by subject --ignore-case
    measure "search $n by date (tool)" "$n" "$CLI" --config "$HOME_DIR/etc" search "big$n" "3 Apr" --by date
    for order in author date thread; do
        measure "prev/next of $middle by $order (tool)" "$n" sh -c "'$CLI' --config '$HOME_DIR/etc' prev big$n $middle --sort $order; '$CLI' --config '$HOME_DIR/etc' next big$n $middle --sort $order; true"
    done
    rm -rf "$HOME_DIR/dlmgr/big$n"
done
