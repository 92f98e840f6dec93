#!/bin/sh
# Runs the main job on the bundled sample list, in a demonstration home the build ignores:
# import the list's mbox, show a few stored messages, write the index pages; then read the
# lists from a private LDAP server and let the batch run archive the sample list through it.
set -eu
BUILD=${1:-build/release}
TOP=$(cd "$(dirname "$0")/.." && pwd)
CLI="$TOP/$BUILD/dlarchive"
DEMO="$TOP/demo-home"
LIST=demo-list

rm -rf "$DEMO"
mkdir -p "$DEMO/etc" "$DEMO/dlmgr" "$DEMO/web"
# The language files are copied: their index files are written beside them.
cp -R "$TOP/data/web/." "$DEMO/web/"
cat > "$DEMO/etc/kelmo.ini" <<INI
[DlManager]
DbPath=$DEMO/dlmgr
AuthoRebuild=Y

[Language Selection]
en-us=English,utf-8,en-us.txt
de-de=Deutsch,utf-8,de-de.txt

[Config]
WebAdminDirectory=$DEMO/web

[Gateway]
LogDirectory=$DEMO/log
LogLevel=6
INI
run() {
    echo "\$ dlarchive $*"
    "$CLI" --config "$DEMO/etc" "$@"
}

run init
run import "$LIST" "$TOP/data/sample-list/demo-list.mbox"
echo
echo "== a reply in a long thread, with its MIME structure"
run show "$LIST" 0x5
echo
echo "== a forwarded message (message/rfc822 inside multipart/mixed)"
run show "$LIST" 0x23
echo
echo "== display texts: an encoded Japanese subject, in German"
run texts "$LIST" 0xc --locale de-de
echo "== display texts: a message without subject"
run texts "$LIST" 0x31
echo
echo
echo "== search: subjects that begin with \"release\", in any case"
run search "$LIST" "release" --by subject --ignore-case --partial
echo
echo "== one thread walked with next from its first message, then back with prev"
first=$("$CLI" --config "$DEMO/etc" search "$LIST" "Release 0.9.2 planning" --by subject |
    grep -o '"number": *[0-9]*' | head -n 1 | grep -o '[0-9]*$')
n=$first
while out=$("$CLI" --config "$DEMO/etc" next "$LIST" "$n" --sort thread 2>/dev/null); do
    echo "\$ dlarchive next $LIST $n --sort thread"
    echo "$out"
    n=$(echo "$out" | grep -o '"number": *[0-9]*' | grep -o '[0-9]*$')
done
run next "$LIST" "$n" --sort thread || true
run prev "$LIST" "$n" --sort thread
echo
run pages "$LIST"
ARCHIVE=$("$CLI" --config "$DEMO/etc" path "$LIST")
echo
echo "== the mailing-list directory: a private LDAP server holding the sample lists"
SLAPD_DIR="$DEMO/slapd"
"$TOP/scripts/slapd.sh" start "$SLAPD_DIR" "$TOP/data/ldap/sample-lists.ldif" >/dev/null
trap '"$TOP/scripts/slapd.sh" stop "$SLAPD_DIR"' EXIT
cat >>"$DEMO/etc/kelmo.ini" <<INI

[Ldap]
HostName=$(cat "$SLAPD_DIR/url")
Username=cn=admin,dc=example,dc=org
Password=$(cat "$SLAPD_DIR/password")
INI
mkdir -p "$DEMO/dlmgr/$LIST/digest"
run lists
echo "digest schedule file of $LIST: $(cat "$DEMO/dlmgr/$LIST/digest/digest.dt") ($(date -d "@$(cat "$DEMO/dlmgr/$LIST/digest/digest.dt")"))"
echo
echo "== the batch run: $LIST's relations are gone, so it reloads them from the message files and writes the pages"
rm -f "$ARCHIVE"archiveenv.db* "$ARCHIVE"archivebody.db* "$ARCHIVE"*.html
run batch
echo
echo "Index pages of $LIST:"
ls -1 "$ARCHIVE"*.html
echo "Log: $DEMO/log/kelmo.log"
