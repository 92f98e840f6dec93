#!/bin/sh
# Serves the demo archive through lighttpd on 127.0.0.1 in the foreground (Ctrl-C stops it).
# Makes the demo archive first when it is missing (scripts/demo.sh).
# Usage: scripts/serve.sh [BUILD_DIR] [PORT]
set -eu
BUILD=${1:-build/release}
PORT=${2:-8080}
TOP=$(cd "$(dirname "$0")/.." && pwd)
DEMO="$TOP/demo-home"
CGI="$TOP/$BUILD/archivecgi"
[ -x "$CGI" ] || { echo "serve.sh: no $CGI (build first)" >&2; exit 1; }
if ! ls "$DEMO"/dlmgr/demo-list/archive/en-us-thread.html >/dev/null 2>&1; then
    "$TOP/scripts/demo.sh" "$BUILD" >/dev/null
fi
# The site's own files are refreshed; the language files keep the index files beside them.
cp -R "$TOP/data/web/." "$DEMO/web/"
STATE="$DEMO/lighttpd"
mkdir -p "$STATE"
sed -e "s|@ADDRESS@|127.0.0.1|; s|@PORT@|$PORT|; s|@WEB@|$DEMO/web|; s|@STATE@|$STATE|g" \
    -e "s|@CGI@|$CGI|; s|@CONFIG@|$DEMO/etc|" "$TOP/data/lighttpd.conf.in" >"$STATE/lighttpd.conf"
echo "Thread index of demo-list:"
echo "  http://127.0.0.1:$PORT/vubo/scripts/archivecgi.exe?Command=GetThreadIndex&mailinglist=demo-list&locale=en-us"
echo "(lighttpd in the foreground; Ctrl-C stops it; its errors go to $STATE/error.log)"
exec /usr/sbin/lighttpd -D -f "$STATE/lighttpd.conf"
