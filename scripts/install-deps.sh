#!/bin/sh
# Installs every Debian package the build, the tests (the web server and browser of the
# front end's tests among them), the demo, the benchmarks and the fuzz
# targets need (clang only recommends the libFuzzer runtime, libclang-rt-14-dev, and
# recommendations are not installed here).
# Idempotent and non-interactive: when everything is present it only asks dpkg.
set -eu

PACKAGES="build-essential cmake pkg-config g++ make
libc-client2007e-dev libsqlite3-dev sqlite3 libgtest-dev googletest libbenchmark-dev
libldap-dev slapd ldap-utils libcurl4-openssl-dev python3 python3-aiosmtpd
libcrypt-dev libfcgi-dev nlohmann-json3-dev time xz-utils clang-format tzdata
clang libclang-rt-14-dev
lighttpd chromium chromium-driver python3-selenium"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# slapd asks questions when configured interactively; the tests run their own server.
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
