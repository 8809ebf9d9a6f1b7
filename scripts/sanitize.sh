#!/usr/bin/env bash
# Builds the test binaries of the code with threads and parsers under address+undefined and
# under the thread sanitizer, and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
# The X11 tests start their own Xvfb (and skip without one); the end-to-end tests run the host
# built with the same sanitizer, so a report in the host fails its test through the exit status.
targets=(platform_tests rc_core_tests rc_vpx_tests rc_capture_tests rc_input_tests tavrindesk_tests
         daemon_tests x11_tests e2e_tests x11_e2e_tests rcweb_tests rcweb_e2e_tests)
status=0
for preset in asan tsan; do
  echo "== $preset"
  started=$(date +%s)
  cmake --preset "$preset" >/dev/null
  # The list is read whole first: `ninja ... | grep -q` under pipefail fails at random when grep
  # stops reading early and ninja dies of SIGPIPE, which silently dropped test binaries.
  all_targets=$(ninja -C "build/$preset" -t targets all 2>/dev/null)
  existing=()
  for t in "${targets[@]}"; do
    grep -q "^$t:" <<<"$all_targets" && existing+=("$t")
  done
  cmake --build --preset "$preset" -j"$(nproc)" --target "${existing[@]}"
  # Test names carry their binary's suite names, so run the binaries directly.
  built=$(date +%s)
  # Reports also go to build/<preset>/<binary>.report.<pid>: tests that capture their own
  # standard error would otherwise swallow them. The suppressions file explains each entry.
  for t in "${existing[@]}"; do
    report="$PWD/build/$preset/$t.report"
    rm -f "$report".*
    if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp log_path=$report" \
       ASAN_OPTIONS="detect_leaks=1 log_path=$report" UBSAN_OPTIONS="print_stacktrace=1 log_path=$report" \
       "build/$preset/bin/$t" --gtest_brief=1 >"build/$preset/$t.log" 2>&1 &&
       ! compgen -G "$report.*" >/dev/null; then
      echo "$t: passed"
    else
      echo "$t: FAILED (build/$preset/$t.log)"; tail -n 30 "build/$preset/$t.log"
      for r in "$report".*; do [ -e "$r" ] && { echo "--- $r"; head -n 60 "$r"; }; done
      status=1
    fi
  done
  echo "== $preset: build $((built - started)) s, tests $(( $(date +%s) - built )) s"
done
exit $status
