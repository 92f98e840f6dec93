#!/bin/sh
# Runs the main job on the bundled sample list, in a demonstration home the build ignores.
set -eu
BUILD=${1:-build/release}
TOP=$(cd "$(dirname "$0")/.." && pwd)
CLI="$TOP/$BUILD/dlarchive"
HOME_DIR="$TOP/demo-home"

mkdir -p "$HOME_DIR/etc" "$HOME_DIR/dlmgr"
cat > "$HOME_DIR/etc/kelmo.ini" <<INI
[DlManager]
DbPath=$HOME_DIR/dlmgr
AuthoRebuild=Y

[Gateway]
LogDirectory=$HOME_DIR/log
INI

echo "== dlarchive help"
"$CLI" --config "$HOME_DIR/etc" help
echo "== archive path of the sample list"
"$CLI" --config "$HOME_DIR/etc" path demo-list
