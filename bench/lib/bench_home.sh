# Sourced by the benchmark scripts (not run on its own; scripts/bench.sh runs only bench/*.sh).
#
# Needs TOP (the project), WORK and CORPUS set by the script that sources it.
#
# bench_home DIR [INI]: a DL manager home for a benchmark in DIR: its folders, the project's
# language files, and a kelmo.ini with English pages and only level-1 log lines; INI (more
# sections, one per line) is appended to the configuration.
bench_home() {
    mkdir -p "$1/etc" "$1/dlmgr" "$1/web"
    cp -R "$TOP/data/web/." "$1/web/"
    cat >"$1/etc/kelmo.ini" <<INI
[DlManager]
DbPath=$1/dlmgr
[Language Selection]
en-us=English,utf-8,en-us.txt
[Config]
WebAdminDirectory=$1/web
[Gateway]
LogDirectory=$1/log
LogLevel=1
INI
    if [ -n "${2:-}" ]; then printf '%s\n' "$2" >>"$1/etc/kelmo.ini"; fi
}

# corpus_list N: the directory of N message files of real list traffic below $WORK/src
# (jailhouse-dev from $CORPUS, scaled with the corpus's make_big.sh when N is given), made
# once and kept between runs.
corpus_list() {
    mkdir -p "$WORK/src"
    [ -d "$WORK/src/jailhouse-dev" ] || tar -xJf "$CORPUS/jailhouse-dev.tar.xz" -C "$WORK/src"
    if [ -z "${1:-}" ]; then
        echo "$WORK/src/jailhouse-dev"
        return
    fi
    [ -d "$WORK/src/big-$1" ] || "$CORPUS/make_big.sh" "$1" "$WORK/src/big-$1" "$WORK/src/jailhouse-dev" >/dev/null
    echo "$WORK/src/big-$1"
}
