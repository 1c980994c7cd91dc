#!/usr/bin/env bash
# Requests per second of GET /api/velmora/server-info on loopback, with the
# compiled handler modules and with the interpreted ones mounted instead.
# Prints the median of several bounded wrk runs for each; needs wrk (Debian).
#   bench/http_rps.sh [runs] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
seconds=${2:-5}
command -v wrk >/dev/null || { echo "wrk is not installed (apt-get install wrk)" >&2; exit 1; }
token=bench-$RANDOM$RANDOM
root=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$root"' EXIT

for handlers in compiled twin; do
  log="$root/$handlers.log"
  port=$(.venv/bin/python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  as_root=(); [ "$(id -u)" = 0 ] && as_root=(--allow-root)
  .venv/bin/python -m velmora.server "${as_root[@]}" \
    --port "$port" --root-dir "$root" --token "$token" --Velmora.handler_kind="$handlers" >"$log" 2>&1 &
  pids+=($!)
  url=http://127.0.0.1:$port/api/velmora/server-info
  for _ in $(seq 600); do curl -s -o /dev/null "$url" && break; sleep 0.1; done
  results=()
  for _ in $(seq "$runs"); do
    rps=$(wrk -t1 -c8 -d"${seconds}s" -H "Authorization: token $token" "$url" |
          awk '/Requests\/sec/ {print $2}')
    results+=("$rps")
  done
  median=$(printf '%s\n' "${results[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  printf '%-9s median %8s req/s   runs: %s\n' "$handlers" "$median" "${results[*]}"
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
done
