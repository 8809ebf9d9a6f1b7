#!/usr/bin/env bash
# Installs what is missing, builds everything (debug preset) and runs every test with CTest.
# Tests that need an X display start their own private Xvfb and skip cleanly without one.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug -j"$(nproc)"
ctest --preset debug -j"$(nproc)" --timeout 600 "$@"
