#!/usr/bin/env bash
# The viewer: builds TavrinDesk and rcweb, starts the host on the X desktop (a private Xvfb
# showing a moving scene when no DISPLAY is set) and rcweb in front of it, and prints the
# address to open in a browser. Runs until Ctrl-C.
#
#   ./scripts/run-viewer.sh                                   https://127.0.0.1:8443, token URL
#   LISTEN=0.0.0.0:8443 PASSWORD_FILE=~/.config/tavrindesk/viewer-password ./scripts/run-viewer.sh
#   ./scripts/run-viewer.sh --cert site.pem --key site.key    (any further options go to rcweb)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/run_support.sh
./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target TavrinDesk rcweb scene >/dev/null

bin=$PWD/build/release/bin
listen=${LISTEN:-127.0.0.1:8443}
begin_work_dir viewer

if [ -z "${DISPLAY:-}" ]; then
  start_private_xvfb 1920x1080 "$work/xvfb.log" || exit 1
  pids+=("$XVFB_PID")
  echo "no DISPLAY set: started a private Xvfb on $DISPLAY (1920x1080) with a moving scene"
  "$bin/scene" -d "$DISPLAY" -s small -r 30 >"$work/scene.log" 2>&1 &
  pids+=($!)
fi

sock="$work/messenger.sock"
"$bin/TavrinDesk" --desktop x11 --messenger "$sock" >"$work/host.out" 2>"$work/host.err" &
pids+=($!)
if ! wait_for "$sock" 20; then
  echo "TavrinDesk did not start:"; cat "$work/host.err"; exit 1
fi
echo "TavrinDesk is running on DISPLAY=$DISPLAY"

args=(--messenger "$sock" --listen "$listen")
[ -n "${PASSWORD_FILE:-}" ] && args+=(--password-file "$PASSWORD_FILE")
# rcweb prints its certificate's fingerprint and the "open: https://…/#token=…" line itself.
"$bin/rcweb" "${args[@]}" "$@" &
rcweb=$!
pids+=("$rcweb")
wait "$rcweb"
