# Sourced by the scripts that run the programs: a work directory cleaned up at exit with the
# processes started in it, waiting for a file, and a private X display.

# begin_work_dir NAME: makes $work, an empty $pids array (append what you start), and a trap that
# kills those processes and removes $work at exit (kept and named when KEEP_WORK=1).
begin_work_dir() {
  work=$(mktemp -d "/tmp/tavrindesk-$1-XXXXXX")
  pids=()
  trap _end_work_dir EXIT
}
_end_work_dir() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${KEEP_WORK:-0}" = 1 ]; then echo "raw files: $work"; else rm -rf "$work"; fi
}

# wait_for PATH SECONDS: true once PATH exists, false when the time runs out.
wait_for() {
  for _ in $(seq 1 $(( $2 * 10 ))); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
#
# start_private_xvfb SIZE LOG: starts Xvfb at SIZE (e.g. 1920x1080) on a display number it picks
# itself (-displayfd, so two runs never race for one), waits until it is up, exports DISPLAY,
# and sets XVFB_PID. Returns non-zero (after printing the log) when it does not start.
start_private_xvfb() {
  local size=$1 log=$2 numfile fd
  numfile=$(mktemp)
  exec {fd}>"$numfile"
  Xvfb -displayfd "$fd" -screen 0 "${size}x24" -nolisten tcp -noreset >"$log" 2>&1 &
  XVFB_PID=$!
  exec {fd}>&-
  for _ in $(seq 1 200); do [ -s "$numfile" ] && break; sleep 0.1; done
  if [ ! -s "$numfile" ]; then
    echo "Xvfb did not start:"; cat "$log"; rm -f "$numfile"
    return 1
  fi
  export DISPLAY=":$(head -n 1 "$numfile")"
  rm -f "$numfile"
}
