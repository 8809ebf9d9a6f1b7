#!/usr/bin/env bash
# The capture benchmark: TavrinDesk + rcclient against ffmpeg x11grab → libvpx, side by side, on
# a private Xvfb showing the deterministic scenes (bench/scene_x11.c).
#
#   ./bench/run.sh                      1920x1080; static, small, scroll; 10 s a run
#   ./bench/run.sh --quick              1920x1080; 3 s a run (smoke test)
#   ./bench/run.sh --sizes "1920x1080 1280x720" --scenes "scroll" --seconds 5 --rates "30 60 120"
#   ./bench/run.sh --no-ffmpeg --no-input --no-psnr
#   ./bench/run.sh --build-dir build/mine --keep   (release preset into another build directory)
#
# Per scene and rate it prints: achieved rate, host CPU per frame (utime + stime from /proc),
# time per stage (grab, cursor, conversion, encoding, hand-over wait, socket write) from the
# host's frame trace (RC_TRACE_FILE), grab-to-socket delay (median, 99th percentile), bytes per
# frame, the PSNR of the decoded stream against the grabbed images (a separate 30 fps pass with
# RC_TRACE_DUMP), and ffmpeg's CPU per frame on the same display and scene, with our figures as
# ratios of its. The highest rate is the host driven at 120 frames per second (--rates).
# The CPU per frame is the steady state: from 1.5 s after "startCapture" (the first frame, its key
# frame's refinement and the codec's start excluded); the whole run's and the time from
# "startCapture" to the first frame are reported beside it. A key-frame pass per scene forces a
# key frame ("setIFrame") 1.5 s into a 30 fps run and follows the picture's PSNR over the second
# after it (every 3rd grabbed image dumped).
# Then an input burst: 10,000 mouseMove commands through the socket, timed to the X event; and
# 200 single key presses and 200 single clicks on an idle host, 10 ms apart, each timed to its
# raw X event.
# Raw files stay in the work directory printed at the end (--keep) or are removed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/run_support.sh
root=$PWD

sizes="1920x1080"
scenes="static small scroll"
rates="30 60 120"
ffmpeg_rates="30 60"
seconds=10
psnr_seconds=4
do_ffmpeg=1
do_input=1
do_psnr=1
KEEP_WORK=${KEEP_WORK:-0}
build=1
builddir=$root/build/release
burst=10000
singles=200
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) seconds=3; psnr_seconds=2; burst=2000; singles=50 ;;
    --sizes) sizes=$2; shift ;;
    --scenes) scenes=$2; shift ;;
    --rates) rates=$2; shift ;;
    --ffmpeg-rates) ffmpeg_rates=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --burst) burst=$2; shift ;;
    --no-ffmpeg) do_ffmpeg=0 ;;
    --no-input) do_input=0 ;;
    --no-psnr) do_psnr=0 ;;
    --no-build) build=0 ;;
    --build-dir) builddir=$(realpath "$2"); shift ;;
    --keep) KEEP_WORK=1 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "unknown option $1 (--help)"; exit 2 ;;
  esac
  shift
done

if [ $build = 1 ]; then
  ./scripts/install-deps.sh
  cmake --preset release -B "$builddir" >/dev/null
  cmake --build "$builddir" -j"$(nproc)" --target TavrinDesk rcclient scene psnr_tool \
    motion_probe >/dev/null
fi
bin=$builddir/bin
begin_work_dir bench

cpu_ticks() {  # pid → utime + stime in clock ticks
  awk '{print $14 + $15}' "/proc/$1/stat"
}
stop_pid() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

hz=$(getconf CLK_TCK)
# CLOCK_REALTIME − CLOCK_MONOTONIC in ns, to put wall-clock stamps on the traces' clock.
python3 -c 'import time; print(time.time_ns() - time.monotonic_ns())' >"$work/clock_offset"
record_extra=()
results=$work/results.txt
: >"$results"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "work: $work   run length: ${seconds}s"

# host_run NAME FPS SECONDS [env...]: one host, one recording; writes NAME.{trace,recv,ivf,cpu}.
host_run() {
  local name=$1 fps=$2 secs=$3
  shift 3
  local sock=$work/$name.sock
  env "$@" RC_TRACE_FILE="$work/$name.trace" "$bin/TavrinDesk" --desktop x11 --messenger "$sock" \
    >"$work/$name.host.out" 2>"$work/$name.host.err" &
  local host=$!
  pids+=("$host")
  wait_for "$sock" 20 || { echo "TavrinDesk did not start:"; cat "$work/$name.host.err"; exit 1; }
  # The host readies its encoder when it starts, as it would long before a viewer asks: wait
  # for that, so that the first frame and the CPU are measured as a viewer meets them.
  for _ in $(seq 1 200); do
    grep -q "encoder ready" "$work/$name.host.err" && break
    sleep 0.1
  done
  local before
  before=$(cpu_ticks "$host")
  # The steady state starts 1.5 s in: CLOCK_MONOTONIC and the host's CPU ticks then.
  # (Wall-clock time, converted with clock_offset; no interpreter start in the way.)
  (sleep 1.5; t=$EPOCHREALTIME; read -r stat <"/proc/$host/stat"; echo "$t $stat" \
    >"$work/$name.cpu1") 2>/dev/null &
  local sampler=$!
  "$bin/rcclient" --messenger "$sock" record --fps "$fps" --seconds "$secs" \
    --out "$work/$name.ivf" --trace "$work/$name.recv" "${record_extra[@]}" \
    >"$work/$name.client.out"
  wait "$sampler" || true
  local after
  after=$(cpu_ticks "$host")
  echo "$before $after $hz" >"$work/$name.cpu"
  stop_pid "$host"
}

# ffmpeg_run NAME FPS SECONDS SIZE: ffmpeg x11grab → libvpx-vp9 at the yardstick's settings.
ffmpeg_run() {
  local name=$1 fps=$2 secs=$3 size=$4
  local kbps=$(( 3000 * fps / 30 ))  # the host's budget is per frame: 0.05 bit/pixel/frame
  /usr/bin/time -f '%U %S' -o "$work/$name.time" \
    ffmpeg -hide_banner -nostdin -loglevel error -f x11grab -draw_mouse 0 -framerate "$fps" \
    -video_size "$size" -i "$DISPLAY" -t "$secs" -pix_fmt yuv420p \
    -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -row-mt 1 -tune-content screen \
    -lag-in-frames 0 -threads 2 -b:v "${kbps}k" -minrate "${kbps}k" -maxrate "${kbps}k" -g 100000 \
    -fps_mode passthrough -enc_time_base 1:1000 -f ivf -y "$work/$name.ivf" 2>"$work/$name.err"
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$work/$name.ivf" >"$work/$name.frames"
  echo "$secs" >"$work/$name.secs"
}

for size in $sizes; do
  start_private_xvfb "$size" "$work/xvfb-$size.log" || exit 1
  xvfb=$XVFB_PID
  pids+=("$xvfb")

  for scene in $scenes; do
    for fps in $rates; do
      srate=$fps
      "$bin/scene" -d "$DISPLAY" -s "$scene" -r "$srate" >"$work/scene.log" 2>&1 &
      spid=$!
      pids+=("$spid")
      sleep 1
      name="ours-$size-$scene-$fps"
      echo "  $name"
      host_run "$name" "$fps" "$seconds"
      echo "ours $size $scene $fps $name" >>"$results"
      if [ $do_ffmpeg = 1 ] && [[ " $ffmpeg_rates " == *" $fps "* ]]; then
        name="ffmpeg-$size-$scene-$fps"
        echo "  $name"
        ffmpeg_run "$name" "$fps" "$seconds" "$size"
        echo "ffmpeg $size $scene $fps $name" >>"$results"
      fi
      stop_pid "$spid"
    done
    if [ $do_psnr = 1 ]; then
      "$bin/scene" -d "$DISPLAY" -s "$scene" -r 30 >"$work/scene.log" 2>&1 &
      spid=$!
      pids+=("$spid")
      sleep 1
      name="psnr-$size-$scene"
      echo "  $name"
      mkdir -p "$work/$name.dump"
      host_run "$name" 30 "$psnr_seconds" RC_TRACE_DUMP="$work/$name.dump" RC_TRACE_DUMP_EVERY=5
      "$bin/psnr_tool" "$work/$name.ivf" "$work/$name.dump" --frames >"$work/$name.psnr" || true
      rm -rf "$work/$name.dump"
      echo "psnr $size $scene 30 $name" >>"$results"
      name="key-$size-$scene"
      echo "  $name"
      mkdir -p "$work/$name.dump"
      record_extra=(--key-at 1.5)
      host_run "$name" 30 3.5 RC_TRACE_DUMP="$work/$name.dump" RC_TRACE_DUMP_EVERY=3
      record_extra=()
      "$bin/psnr_tool" "$work/$name.ivf" "$work/$name.dump" --frames >"$work/$name.psnr" || true
      rm -rf "$work/$name.dump"
      echo "key $size $scene 30 $name" >>"$results"
      stop_pid "$spid"
    fi
  done

  if [ $do_input = 1 ]; then
    name="input-$size"
    echo "  $name"
    "$bin/motion_probe" -d "$DISPLAY" -o "$work/$name.events" >"$work/$name.probe.out" \
      2>"$work/$name.probe.err" &
    probe=$!
    pids+=("$probe")
    wait_for "$work/$name.events" 10
    sleep 0.3
    sock=$work/$name.sock
    "$bin/TavrinDesk" --desktop x11 --messenger "$sock" >"$work/$name.host.out" \
      2>"$work/$name.host.err" &
    host=$!
    pids+=("$host")
    wait_for "$sock" 20
    "$bin/rcclient" --messenger "$sock" input-burst "$burst" --trace "$work/$name.sent" \
      >"$work/$name.client.out"
    sleep 1  # events still on their way
    stop_pid "$host"
    # Single events on an idle host (a fresh one, nothing captured).
    sock=$work/$name-single.sock
    "$bin/TavrinDesk" --desktop x11 --messenger "$sock" >"$work/$name-single.host.out" \
      2>"$work/$name-single.host.err" &
    host=$!
    pids+=("$host")
    wait_for "$sock" 20
    sleep 1
    "$bin/rcclient" --messenger "$sock" input-single "$singles" --pause 10 \
      --trace "$work/$name.single" >"$work/$name-single.client.out"
    sleep 1
    stop_pid "$host"
    stop_pid "$probe"
    echo "input $size - - $name" >>"$results"
  fi
  stop_pid "$xvfb"
done

python3 "$root/bench/report.py" "$work" "$results"
