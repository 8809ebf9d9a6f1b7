#!/usr/bin/env bash
# Soak: the host on a private Xvfb showing a moving scene, capturing at 60 frames/s for a long
# while under a randomised client (tests/soak_client.cpp: capture and input commands, frames
# read, reconnects, abrupt departures). The host's resident memory, open descriptors, SysV
# shared-memory segments and threads are sampled after a warm-up and at the end, both times with
# the host idle (no client), printed as a table, and checked against fixed bounds.
#
#   ./scripts/soak.sh                          60 s (the CI length), release build
#   SOAK_SECONDS=1800 ./scripts/soak.sh        the long soak (half an hour)
#   SOAK_BIN=build/debug/bin ./scripts/soak.sh use programs already built (CTest does this)
#
# Bounds (end minus start): RSS +20 MiB, descriptors +4, shared-memory segments +0, threads +2.
# The screen is 1280x720 (SOAK_SIZE=WxH to change).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/run_support.sh

seconds=${SOAK_SECONDS:-60}
warmup=${SOAK_WARMUP_SECONDS:-10}
size=${SOAK_SIZE:-1280x720}
width=${size%x*}
height=${size#*x}
max_rss_kib=$((20 * 1024))
max_fds=4
max_shm=0
max_threads=2

if [ -n "${SOAK_BIN:-}" ]; then
  bin=$SOAK_BIN
  client=${SOAK_CLIENT:-$bin/soak_client}
else
  ./scripts/install-deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release -j"$(nproc)" --target TavrinDesk scene soak_client
  bin=$PWD/build/release/bin
  client=$bin/soak_client
fi
if ! command -v Xvfb >/dev/null; then
  echo "soak: Xvfb is not installed; skipped"
  exit 0
fi

begin_work_dir soak

start_private_xvfb "$size" "$work/xvfb.log" || exit 1
pids+=("$XVFB_PID")

"$bin/scene" -d "$DISPLAY" -s small -r 30 >"$work/scene.log" 2>&1 &
pids+=($!)
sock="$work/run/messenger.sock"
"$bin/TavrinDesk" --desktop x11 --messenger "$sock" >"$work/host.out" 2>"$work/host.err" &
host=$!
pids+=($host)
for _ in $(seq 1 200); do [ -S "$sock" ] && break; sleep 0.1; done
[ -S "$sock" ] || { echo "soak: TavrinDesk did not start"; cat "$work/host.err"; exit 1; }

# One sample: RSS (KiB), descriptors, SysV segments the host created that still exist, threads.
sample() {
  local rss fds shm threads
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$host/status")
  fds=$(ls "/proc/$host/fd" | wc -l)
  shm=$(awk -v pid="$host" 'NR > 1 && $5 == pid {n++} END {print n + 0}' /proc/sysvipc/shm)
  threads=$(ls "/proc/$host/task" | wc -l)
  echo "$rss $fds $shm $threads"
}
idle() {  # lets the host finish with the client that just left
  sleep 2
  kill -0 "$host" 2>/dev/null || { echo "soak: the host died"; cat "$work/host.err"; exit 1; }
}

echo "soak: host pid $host on $DISPLAY ($size), warm-up ${warmup} s, soak ${seconds} s"
"$client" --messenger "$sock" --seconds "$warmup" --seed 1 --width "$width" --height "$height"
idle
read -r rss0 fds0 shm0 thr0 < <(sample)
started=$(date +%s)
status=0
"$client" --messenger "$sock" --seconds "$seconds" --seed 2 --width "$width" --height "$height" ||
  status=1
elapsed=$(( $(date +%s) - started ))
idle
read -r rss1 fds1 shm1 thr1 < <(sample)

row() {  # name start end bound unit
  local growth=$(( $3 - $2 )) verdict=ok
  [ "$growth" -gt "$4" ] && { verdict=FAIL; status=1; }
  printf '%-24s %10s %10s %+10d %10s  %s\n' "$1" "$2" "$3" "$growth" "+$4" "$verdict"
}
printf '%-24s %10s %10s %10s %10s\n' "host (idle, after ${elapsed} s)" start end growth bound
row "resident memory (KiB)" "$rss0" "$rss1" "$max_rss_kib"
row "open descriptors" "$fds0" "$fds1" "$max_fds"
row "shm segments" "$shm0" "$shm1" "$max_shm"
row "threads" "$thr0" "$thr1" "$max_threads"

kill -TERM "$host"
if ! wait "$host"; then
  echo "soak: the host did not end cleanly"; status=1
fi
if grep -qE 'lost the connection|AddressSanitizer|ThreadSanitizer|runtime error' "$work/host.err"; then
  echo "soak: the host reported a fault:"; grep -E 'lost the connection|Sanitizer|runtime error' "$work/host.err" | head
  status=1
fi
echo "soak: host messages: $(grep -c 'refused a second' "$work/host.err" || true) refused connects," \
     "$(grep -c 'closed the connection' "$work/host.err" || true) clients gone"
[ $status -eq 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit $status
