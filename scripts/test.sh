#!/usr/bin/env bash
# Installs what is missing, builds everything (debug preset) and runs every test with CTest.
# Tests that need an X display start their own private Xvfb and skip cleanly without one; the
# browser test drives Debian's Chromium (installed here with the other test packages).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --browser
cmake --preset debug >/dev/null
cmake --build --preset debug -j"$(nproc)"
ctest --preset debug -j"$(nproc)" --timeout 600 "$@"
