#!/usr/bin/env bash
# The viewer benchmark: the page + rcweb + TavrinDesk against x11vnc + websockify + noVNC, in the
# same run, on one private 1920x1080 Xvfb showing the shared scenes, both pages in headless
# Chromium over TLS (method: bench/viewer/viewer_bench.py; figures: bench/README.md).
#
#   ./bench/viewer/run.sh                          static, small, scroll
#   ./bench/viewer/run.sh --scenes scroll --seconds 5 --g2g-seconds 8 --keys 20
#   ./bench/viewer/run.sh --no-novnc --keep        ours only; keep the raw files
set -euo pipefail
cd "$(dirname "$0")/../.."
builddir=${BUILD_DIR:-$PWD/build/release}
./scripts/install-deps.sh --browser
cmake --preset release -B "$builddir" >/dev/null
cmake --build "$builddir" -j"$(nproc)" --target TavrinDesk rcweb scene x_probe >/dev/null
exec /usr/bin/python3 bench/viewer/viewer_bench.py --bin "$builddir/bin" "$@"
