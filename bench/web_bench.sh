#!/bin/sh
# The web front end through lighttpd on a large list (the shared corpus scaled with
# make_big.sh), warm cache, 4 concurrent clients: requests per second, median and 99th
# percentile latency of ShowMessage, the thread index page and a search by subject. lighttpd
# runs archivecgi as data/lighttpd.conf.in says: two FastCGI processes it starts itself.
# Usage: bench/web_bench.sh BUILD_DIR   (DLARCHIVE_CORPUS, BENCH_WORK, WEB_BENCH_SIZE override)
set -eu
TOP=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/web_bench.sh BUILD_DIR}" && pwd)
CLI="$BUILD/dlarchive"
CORPUS=${DLARCHIVE_CORPUS:-$TOP/../shared/corpus}
WORK=${BENCH_WORK:-$BUILD/bench-work}
N=${WEB_BENCH_SIZE:-100000}
if [ ! -f "$CORPUS/jailhouse-dev.tar.xz" ] || [ ! -x /usr/sbin/lighttpd ]; then
    echo "web_bench: no corpus at $CORPUS or no lighttpd; skipped"
    exit 0
fi
. "$TOP/bench/lib/bench_home.sh"
MESSAGES=$(corpus_list "$N")

HOME_DIR="$WORK/web-home"
mkdir -p "$HOME_DIR/run"
bench_home "$HOME_DIR"
LIST="big$N"
# The list is built once and kept between runs (rebuilding 100,000 messages takes minutes).
if [ ! -f "$HOME_DIR/dlmgr/$LIST/archive/en-us-thread.html" ]; then
    "$CLI" --config "$HOME_DIR/etc" init --force >/dev/null
    rm -rf "$HOME_DIR/dlmgr/$LIST"
    mkdir -p "$HOME_DIR/dlmgr/$LIST/archive"
    find "$MESSAGES" -maxdepth 1 -name "*.msg" -exec cp -t "$HOME_DIR/dlmgr/$LIST/archive/" {} +
    "$CLI" --config "$HOME_DIR/etc" rebuild "$LIST" >/dev/null
fi
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@ADDRESS@|127.0.0.1|; s|@PORT@|$PORT|; s|@WEB@|$HOME_DIR/web|; s|@STATE@|$HOME_DIR/run|g" \
    -e "s|@CGI@|$BUILD/archivecgi|; s|@CONFIG@|$HOME_DIR/etc|" "$TOP/data/lighttpd.conf.in" >"$HOME_DIR/run/lighttpd.conf"
/usr/sbin/lighttpd -D -f "$HOME_DIR/run/lighttpd.conf" &
SERVER=$!
trap 'kill $SERVER 2>/dev/null || true' EXIT INT TERM

python3 - "$PORT" "$LIST" "$N" <<'PY'
import http.client, random, statistics, sys, threading, time
port, lst, n = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
base = f"/vubo/scripts/archivecgi.exe?mailinglist={lst}&locale=en-us&Command="
for _ in range(100):
    try:
        http.client.HTTPConnection("127.0.0.1", port).request("GET", "/")
        break
    except OSError:
        time.sleep(0.05)

def drive(paths, clients):
    lat, lock, todo = [], threading.Lock(), list(paths)
    def worker():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        while True:
            with lock:
                if not todo:
                    return
                p = todo.pop()
            t = time.perf_counter()
            conn.request("GET", p)
            r = conn.getresponse()
            r.read()
            assert r.status == 200, (p, r.status)
            with lock:
                lat.append(time.perf_counter() - t)
    start = time.perf_counter()
    threads = [threading.Thread(target=worker) for _ in range(clients)]
    for t in threads: t.start()
    for t in threads: t.join()
    return lat, time.perf_counter() - start

def run(label, paths, clients=4):
    # Warm the cache, and each FastCGI process with it (its relations and navigation index are
    # built by its first requests): the first requests from every client at once, not measured.
    drive(paths[:2 * clients], clients)
    lat, wall = drive(paths, clients)
    lat.sort()
    print(f"{label:<44} {len(lat):5d} req {len(lat) / wall:8.1f} req/s  median {statistics.median(lat) * 1000:8.1f} ms"
          f"  p99 {lat[min(len(lat) - 1, int(len(lat) * 0.99))] * 1000:8.1f} ms")

rng = random.Random(7)
for sort in ("ByThread", "ByDate", "ByAuthor"):
    run(f"ShowMessage {n} ({sort}, random messages)",
        [f"{base}ShowMessage&nId={rng.randint(1, n)}&sort={sort}" for _ in range(400 if n <= 10000 else 100)])
run(f"thread index page {n}", [f"{base}GetThreadIndex"] * 20)
run(f"search {n} by subject", [f"{base}Search&by=subject&case=1&partial=1&text=cell"] * 8)
PY
