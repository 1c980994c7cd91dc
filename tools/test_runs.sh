#!/usr/bin/env bash
# make test's runs: every nox session, TEST_JOBS at a time (2), each into its
# log under .nox/logs, one line each as it ends; then what was skipped and why.
# A session whose CPython this machine lacks runs in the Debian unstable root
# (tools/unstable_root.sh) where that has it, and is a named skip otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${TEST_JOBS:-2}
nox=${NOX:-.venv-tools/bin/nox}
logs=.nox/logs
mkdir -p "$logs"
rm -f "$logs"/*.result

# name and python of each session, longest first so the short ones fill the end.
mapfile -t sessions < <("$nox" --list --json 2>/dev/null | python3 -c '
import json, sys
order = ["memcheck", "debug", "asan", "tests", "public", "jupyter-floor", "installed", "lint"]
rows = [(s["name"], s["session"], s.get("python") or "") for s in json.load(sys.stdin) if s["name"] not in ("lock", "public-all")]
# 3.14d is a debug interpreter of 3.14.
rows.sort(key=lambda r: (order.index(r[0]) if r[0] in order else len(order), -int(r[2][2:].rstrip("d") or 0)))
print("\n".join("%s %s" % r[1:] for r in rows))')
[ ${#sessions[@]} -gt 0 ] || { echo "make test: nox lists no sessions ($nox --list)"; exit 1; }

needs_root() {  # yes when the session's CPython is not here
  [ -n "$1" ] && ! tools/newest_python.sh "$1" >/dev/null 2>&1
}

root_state=""
root_ready() {  # makes the unstable root once; its line is printed then
  if [ -z "$root_state" ]; then
    if [ "$(id -u)" != 0 ]; then
      root_state="the unstable root needs root (chroot)"
    elif out=$(tools/unstable_root.sh ensure 2>&1); then
      root_state=ok
      echo "$out" | tail -1
    else
      root_state="the unstable root could not be made: $(echo "$out" | tail -1)"
      echo "$out" | tail -20 | sed 's/^/    | /'
    fi
  fi
  [ "$root_state" = ok ]
}

summary() {  # pytest's and GoogleTest's closing lines
  grep -aE '^=*\s*[0-9]+ (passed|failed|error)|^\[  PASSED  \] [0-9]+ tests?' "$1" | sed -E 's/^=+ //; s/ =+$//' |
    paste -sd ';' | sed 's/;/; /g'
}

run() {
  local name=$1 python=$2 log=$logs/$1.log start rc where=""
  start=$(date +%s)
  if needs_root "$python"; then
    where=" in the unstable root"
    env VELMORA_UNSTABLE_ROOT=1 VELMORA_MAIN_VERSION="${MAIN_VERSION}" tools/unstable_root.sh run -- nox -s "$name" >"$log" 2>&1 </dev/null
  else
    VELMORA_MAIN_VERSION="${MAIN_VERSION}" "$nox" -s "$name" >"$log" 2>&1 </dev/null
  fi
  rc=$?
  local took=$(( $(date +%s) - start )) line status
  if grep -q "Session $name skipped" "$log"; then
    status=SKIP
    line="$(grep -o "Session $name skipped: .*" "$log" | head -1 | sed "s/^Session $name skipped: //")"
  elif [ $rc = 0 ]; then
    status=PASS
    line="$(summary "$log")"
  else
    status=FAIL
    line="$(summary "$log")"
  fi
  printf '%s  %-16s %s  (%dm%02ds%s; log %s)\n' "$status" "$name" "${line:-no test summary}" $((took / 60)) $((took % 60)) "$where" "$log"
  [ $status = FAIL ] && tail -40 "$log" | sed 's/^/    | /'
  echo "$status $name ${line}" >"$logs/$name.result"
}

# The run that also does what runs once (the real Jupyter processes, the
# source archive): the newest CPython of the host's.
MAIN_VERSION=$(tools/newest_python.sh | cut -d' ' -f1)
echo "make test: ${#sessions[@]} runs, $jobs at a time, one line each as it ends (runs once: CPython $MAIN_VERSION)"
start=$(date +%s)
for entry in "${sessions[@]}"; do
  name=${entry%% *} python=${entry#* }
  if needs_root "$python" && ! root_ready; then
    printf 'SKIP  %-16s CPython %s is not here and %s\n' "$name" "$python" "$root_state"
    echo "SKIP $name CPython $python is not here and $root_state" >"$logs/$name.result"
    continue
  fi
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  run "$name" "$python" &
done
wait
took=$(( $(date +%s) - start ))
skipped=$(grep -h '^SKIP' "$logs"/*.result | cut -d' ' -f2- | paste -sd ';' | sed 's/;/; /g')
failed=$(grep -h '^FAIL' "$logs"/*.result | cut -d' ' -f2 | paste -sd ' ')
echo "skipped: ${skipped:-none}"
[ -n "$failed" ] && echo "FAILED: $failed"
printf 'make test: %dm%02ds, %d runs\n' $((took / 60)) $((took % 60)) "$(ls "$logs"/*.result | wc -l)"
echo "runs: $(grep -l '^PASS' "$logs"/*.result | wc -l) passed, $(grep -l '^FAIL' "$logs"/*.result | wc -l) failed, $(grep -l '^SKIP' "$logs"/*.result | wc -l) skipped"
[ -z "$failed" ]
