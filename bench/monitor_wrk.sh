#!/usr/bin/env bash
# Throughput of the monitor under wrk: the test host serves its synthetic run
# on an ephemeral port of 127.0.0.1 and wrk loads a few routes for a few
# seconds each. Not a test: it reports numbers and ends.
#
#   bench/monitor_wrk.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

build=${1:-build}
seconds=${2:-5}
host=$build/tests/monitor_test_host
command -v wrk >/dev/null || { echo "monitor_wrk: wrk is not installed" >&2; exit 1; }
[ -x "$host" ] || { echo "monitor_wrk: no $host (build the tests first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'exec 3>&-; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkfifo "$work/in"
(cd "$work" && HTTP_PORT=0 exec "$OLDPWD/$host" <in >out 2>log) &
pid=$!
exec 3>"$work/in"
for _ in $(seq 100); do
  port=$(sed -n 's/^Accept connections on socket port \([0-9]*\)$/\1/p' "$work/out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "${port:-}" ] || { echo "monitor_wrk: the host did not start" >&2; exit 1; }
for i in $(seq 0 99); do echo "it=$i J=1e-$i" >&3; done

for path in /status /options /history /data/y /js/app.js; do
  echo "== GET $path"
  # The monitor answers one request per connection and closes it; wrk
  # counts each such close as a read error before it reconnects.
  wrk --threads 2 --connections 8 --duration "${seconds}s" --timeout 5s -H "Connection: close" \
      "http://127.0.0.1:$port$path" | sed -n '/Latency/p;/Requests\/sec/p;/Socket errors/p;/Non-2xx/p'
done
