#!/usr/bin/env bash
# Builds the test binaries of the code with threads and parsers under address+undefined and
# under the thread sanitizer, and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
targets=(platform_tests rc_core_tests rc_vpx_tests rc_capture_tests rc_input_tests tavrindesk_tests)
status=0
for preset in asan tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  existing=()
  for t in "${targets[@]}"; do
    ninja -C "build/$preset" -t targets all 2>/dev/null | grep -q "^$t:" && existing+=("$t")
  done
  cmake --build --preset "$preset" -j"$(nproc)" --target "${existing[@]}"
  # Test names carry their binary's suite names, so run the binaries directly.
  for t in "${existing[@]}"; do
    if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
       ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
       "build/$preset/bin/$t" --gtest_brief=1 >"build/$preset/$t.log" 2>&1; then
      echo "$t: passed"
    else
      echo "$t: FAILED (build/$preset/$t.log)"; tail -n 30 "build/$preset/$t.log"; status=1
    fi
  done
done
exit $status
