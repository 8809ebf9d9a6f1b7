#!/usr/bin/env bash
# The agent's main job: builds TavrinDesk and rcclient, starts the host on an X display (a
# private Xvfb showing a moving scene when no DISPLAY is set), records a few seconds of the
# desktop with rcclient, stops the host, and says where the playable file is.
#
#   ./scripts/run-agent.sh                       5 s at 30 frames/s into ./recording.ivf
#   FPS=60 SECONDS_TO_RECORD=10 OUT=/tmp/a.ivf ./scripts/run-agent.sh
#   DESKTOP=sim ./scripts/run-agent.sh           the simulated desktop instead of X
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/run_support.sh
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target TavrinDesk rcclient scene

bin=$PWD/build/release/bin
out=${OUT:-$PWD/recording.ivf}
fps=${FPS:-30}
seconds=${SECONDS_TO_RECORD:-5}
desktop=${DESKTOP:-x11}
begin_work_dir run

if [ "$desktop" = x11 ] && [ -z "${DISPLAY:-}" ]; then
  start_private_xvfb 1920x1080 "$work/xvfb.log" || exit 1
  pids+=("$XVFB_PID")
  echo "no DISPLAY set: started a private Xvfb on $DISPLAY (1920x1080) with a moving scene"
  "$bin/scene" -d "$DISPLAY" -s small -r 30 >"$work/scene.log" 2>&1 &
  pids+=($!)
fi

sock="$work/messenger.sock"
"$bin/TavrinDesk" --desktop "$desktop" --messenger "$sock" >"$work/host.out" 2>"$work/host.err" &
host=$!
pids+=($host)
if ! wait_for "$sock" 20; then
  echo "TavrinDesk did not start:"; cat "$work/host.err"; exit 1
fi
echo "TavrinDesk is running on the $desktop desktop (DISPLAY=${DISPLAY:-none})"

"$bin/rcclient" --messenger "$sock" record --fps "$fps" --seconds "$seconds" --out "$out"

kill -TERM "$host"
wait "$host" || true
echo "--- host output"
cat "$work/host.out"
echo "---"
echo "Playable file: $out"
echo "  play it:   ffplay $out     (or: vpxdec --i420 -o decoded.y4m $out)"
