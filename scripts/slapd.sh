#!/bin/sh
# A private LDAP server for the tests, the demo and the benchmarks: Debian's slapd on
# 127.0.0.1 and a free port (plus an ldapi socket), with the project's list schema, its data
# in DIR, never the system's daemon.
#
#   scripts/slapd.sh start DIR [LDIF...]  starts it, loads the LDIF files, prints its URL
#   scripts/slapd.sh load DIR LDIF...     adds the entries of the LDIF files
#   scripts/slapd.sh clear DIR            removes every entry below the suffix
#   scripts/slapd.sh stop DIR             stops it
#
# Suffix dc=example,dc=org, administrator cn=admin,dc=example,dc=org with the password in
# DIR/password. DIR/url holds the ldap:// URL, DIR/ldapi-url the socket's URL. With
# SLAPD_WATCH_PID set, the server also stops when that process ends.
set -eu
TOP=$(cd "$(dirname "$0")/.." && pwd)
SUFFIX="dc=example,dc=org"
ADMIN="cn=admin,$SUFFIX"
SLAPD=${SLAPD:-/usr/sbin/slapd}

usage() {
    echo "usage: scripts/slapd.sh start|load|clear|stop DIR [LDIF...]" >&2
    exit 2
}
[ $# -ge 2 ] || usage
ACTION=$1
DIR=$2
shift 2

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

load() {
    for ldif in "$@"; do
        ldapadd -x -c -H "$(cat "$DIR/url")" -D "$ADMIN" -y "$DIR/password" -f "$ldif" >/dev/null
    done
}

case "$ACTION" in
start)
    DIR=$(mkdir -p "$DIR" && cd "$DIR" && pwd)
    mkdir -p "$DIR/db"
    [ -f "$DIR/password" ] || printf 'secret-%s' "$$" >"$DIR/password"
    chmod 600 "$DIR/password"
    cat >"$DIR/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include $TOP/data/ldap/dlarchive.schema
pidfile $DIR/slapd.pid
argsfile $DIR/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
sizelimit unlimited
database mdb
maxsize 268435456
# A private server for tests and demos: durability is not worth an fsync per write.
dbnosync
suffix "$SUFFIX"
rootdn "$ADMIN"
rootpw "$(cat "$DIR/password")"
directory $DIR/db
CONF
    slaptest -Q -u -f "$DIR/slapd.conf"
    socket=$(printf '%s' "$DIR/ldapi" | sed 's,/,%2F,g')
    # A free port can be taken between the look and slapd's bind: try again then.
    for attempt in 1 2 3 4 5; do
        port=$(free_port)
        if "$SLAPD" -f "$DIR/slapd.conf" -h "ldap://127.0.0.1:$port/ ldapi://$socket/" 2>"$DIR/slapd.err"; then
            break
        fi
        port=""
    done
    [ -n "$port" ] || { cat "$DIR/slapd.err" >&2; exit 1; }
    # With SLAPD_WATCH_PID set, the server stops when that process is gone (a test that crashed).
    if [ -n "${SLAPD_WATCH_PID:-}" ]; then
        pid=$(cat "$DIR/slapd.pid")
        (while kill -0 "$SLAPD_WATCH_PID" 2>/dev/null && kill -0 "$pid" 2>/dev/null; do sleep 1; done
            kill -INT "$pid" 2>/dev/null) </dev/null >/dev/null 2>&1 &
    fi
    echo "ldap://127.0.0.1:$port" >"$DIR/url"
    echo "ldapi://$socket" >"$DIR/ldapi-url"
    # slapd forks before it listens: wait (at most 5 s) until it answers.
    tries=0
    until ldapsearch -x -H "$(cat "$DIR/url")" -b "" -s base >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || { echo "slapd.sh: the server does not answer" >&2; exit 1; }
        sleep 0.05
    done
    printf 'dn: %s\nobjectClass: dcObject\nobjectClass: organization\ndc: example\no: example\n' "$SUFFIX" >"$DIR/base.ldif"
    load "$DIR/base.ldif" "$@"
    cat "$DIR/url"
    ;;
load)
    load "$@"
    ;;
clear)
    ldapsearch -x -LLL -H "$(cat "$DIR/url")" -D "$ADMIN" -y "$DIR/password" -b "$SUFFIX" -s one dn 1.1 |
        sed -n 's/^dn: //p' | while IFS= read -r dn; do
        ldapdelete -x -r -H "$(cat "$DIR/url")" -D "$ADMIN" -y "$DIR/password" "$dn"
    done
    ;;
stop)
    [ -f "$DIR/slapd.pid" ] || exit 0
    pid=$(cat "$DIR/slapd.pid")
    kill -INT "$pid" 2>/dev/null || exit 0
    tries=0
    while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
        tries=$((tries + 1))
        sleep 0.05
    done
    ;;
*)
    usage
    ;;
esac
