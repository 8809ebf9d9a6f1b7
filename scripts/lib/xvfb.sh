# Sourced by the scripts that need a private X display.
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
