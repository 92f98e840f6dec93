#!/bin/sh
# The mailing-list directory and the batch run against a private slapd: loading a directory
# of 1,000 lists with 10 members each (`dlarchive lists`, which also writes each list's digest
# schedule file), and the batch run over 100 lists of 200 messages each (written here), once
# with the relations missing (reload and pages) and once more (pages only). Prints wall time
# and peak memory of each command.
# Usage: bench/directory_bench.sh BUILD_DIR   (BENCH_WORK overrides the scratch directory)
set -eu
TOP=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/directory_bench.sh BUILD_DIR}" && pwd)
CLI="$BUILD/dlarchive"
WORK=${BENCH_WORK:-$BUILD/bench-work}/directory
SLAPD_DIR="$WORK/slapd"
HOME_DIR="$WORK/home"

rm -rf "$WORK"
"$TOP/scripts/slapd.sh" start "$SLAPD_DIR" >/dev/null
trap '"$TOP/scripts/slapd.sh" stop "$SLAPD_DIR"' EXIT
. "$TOP/bench/lib/bench_home.sh"
bench_home "$HOME_DIR" "[Ldap]
HostName=$(cat "$SLAPD_DIR/url")
Username=cn=admin,dc=example,dc=org
Password=$(cat "$SLAPD_DIR/password")"

# measure LABEL COMMAND...: one line with wall time and peak memory.
measure() {
    label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$WORK/time.out" "$@" >/dev/null
    set -- $(cat "$WORK/time.out")
    awk -v l="$label" -v t="$1" -v m="$2" 'BEGIN { printf "%-58s %8.2f s %8.1f MB peak\n", l, t, m / 1024 }'
}

# lists COUNT MEMBERS ARCHIVE: LDIF of COUNT lists "listN" with MEMBERS members each.
lists() {
    awk -v n="$1" -v m="$2" -v a="$3" 'BEGIN {
        print "dn: ou=lists,dc=example,dc=org\nobjectClass: organizationalUnit\nou: lists\n"
        for (i = 1; i <= n; i++) {
            printf "dn: cn=list%d,ou=lists,dc=example,dc=org\nobjectClass: vklist\ncn: list%d\nmail: list%d\n", i, i, i
            printf "archive: %d\nfrequency: weekly\nwhichday: %d\nDigestDeliverTime: 6:15\n", a, i % 7 + 1
            for (j = 1; j <= m; j++) printf "listmember: %s;member%d@example.org\n", j % 3 ? "Immediate" : "Digest", j
            print ""
        }
    }'
}

lists 1000 10 0 >"$WORK/lists.ldif"
i=1
while [ $i -le 1000 ]; do mkdir -p "$HOME_DIR/dlmgr/list$i/digest"; i=$((i + 1)); done
"$TOP/scripts/slapd.sh" load "$SLAPD_DIR" "$WORK/lists.ldif"
DL="$CLI --config $HOME_DIR/etc"
$DL init --force >/dev/null
measure "Load 1000 lists x 10 members (schedule files written)" $DL lists
measure "Load 1000 lists x 10 members (schedule files present)" $DL lists

"$TOP/scripts/slapd.sh" clear "$SLAPD_DIR"
lists 100 10 1 >"$WORK/archived.ldif"
"$TOP/scripts/slapd.sh" load "$SLAPD_DIR" "$WORK/archived.ldif"
# 200 messages per list: threads of up to five messages among 20 authors.
awk -v root="$HOME_DIR/dlmgr" 'BEGIN {
    for (i = 1; i <= 100; i++) {
        dir = sprintf("%s/list%d/archive", root, i)
        system("mkdir -p " dir)
        for (n = 1; n <= 200; n++) {
            f = sprintf("%s/%x.msg", dir, n)
            t = int((n - 1) / 5)
            printf "From: Member %d <member%d@example.org>\nTo: list%d@example.org\n", n % 20, n % 20, i > f
            printf "Subject: %sTopic %d of list %d\n", (n - 1) % 5 ? "Re: " : "", t, i > f
            printf "Date: Mon, %d Oct 2001 %02d:%02d:00 +0000\n", t % 28 + 1, n % 24, n % 60 > f
            printf "Message-ID: <%d.%d@example.org>\n\nMessage %d of list %d.\nSome text of the body.\n", i, n, n, i > f
            close(f)
        }
    }
}'
measure "StartArchive 100 lists x 200 messages (reload + pages)" $DL batch
measure "StartArchive 100 lists x 200 messages (pages only)" $DL batch
