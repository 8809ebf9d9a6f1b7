#!/usr/bin/env bash
# Builds every libFuzzer target (clang, address + undefined sanitizers) and runs each one.
#   scripts/fuzz.sh                 a short run: FUZZ_RUNS inputs per target (default 20000), each
#                                   target stopped after FUZZ_SHORT_CAP seconds (default 120)
#                                   if it has not done them by then (the capture dispatch target
#                                   manages ~40 a second)
#   FUZZ_SECONDS=600 scripts/fuzz.sh   a long run: that many seconds per target
# Seed corpora: fuzz/corpus/<target>/ or a fuzz_corpus/ directory beside the target's source.
# Runs work on a copy of the seeds, so the repository stays as it is. Findings (crash-*,
# leak-*, timeout-*) are left in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset fuzz >/dev/null
# Only the fuzz targets (and what they link), not the whole tree in the fuzz configuration.
mapfile -t fuzzers < <(ninja -C build/fuzz -t targets all | sed -n 's/^\([A-Za-z0-9_]*_fuzz\): phony$/\1/p')
cmake --build --preset fuzz -j"$(nproc)" --target "${fuzzers[@]}"

runs=${FUZZ_RUNS:-20000}
out=build/fuzz/findings
mkdir -p "$out"
status=0
# Every *_fuzz.cpp in the repository must have become a target.
for src in $(git ls-files '*_fuzz.cpp'); do
  name=$(basename "$src" .cpp)
  if [ ! -x "build/fuzz/bin/$name" ]; then
    echo "$name: NOT BUILT ($src has no rc_add_fuzzer target)"
    status=1
  fi
done
for bin in build/fuzz/bin/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  src=$(git ls-files "*/$name.cpp" | head -n 1)
  for seeds in "fuzz/corpus/$name" "${src:+$(dirname "$src")/fuzz_corpus/$name}" \
               "${src:+$(dirname "$src")/fuzz_corpus}"; do
    if [ -n "$seeds" ] && [ -d "$seeds" ]; then
      find "$seeds" -maxdepth 1 -type f -exec cp {} "$work/" \;
      break
    fi
  done
  if [ -n "${FUZZ_SECONDS:-}" ]; then
    limit=(-max_total_time="$FUZZ_SECONDS")
  else
    limit=(-runs="$runs" -max_total_time="${FUZZ_SHORT_CAP:-120}")
  fi
  printf '%-28s ' "$name"
  log="$out/$name.log"
  started=$(date +%s)
  if "$bin" "${limit[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$out/$name-" "$work" >"$log" 2>&1; then
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    [ -n "$execs" ] || execs=$(grep -oE '#[0-9]+' "$log" | tail -n 1 | tr -d '#')
    echo "ok, ${execs:-?} executions in $(( $(date +%s) - started )) s, no findings"
  else
    echo "FINDING: see $log"
    status=1
  fi
  rm -rf "$work"
done
exit $status
