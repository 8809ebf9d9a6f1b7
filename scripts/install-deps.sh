#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need. Idempotent: only
# missing packages are fetched, so a machine that has everything pays one dpkg query.
#
#   ./scripts/install-deps.sh              build, tests, capture benchmark
#   ./scripts/install-deps.sh --browser    also what the browser test and the viewer benchmark
#                                          drive: Chromium + chromedriver + Selenium, nginx (the
#                                          reverse-proxy check) and x11vnc + noVNC (the yardstick)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libvpx-dev libyuv-dev libpng-dev nlohmann-json3-dev libplist-dev libsystemd-dev
  libx11-dev libxext-dev libxtst-dev libxfixes-dev libxrandr-dev libxss-dev libxi-dev
  # the X11 backend follows the screen's damage to grab only what changed
  libxdamage-dev
  # rcweb, the browser viewer's gateway: HTTPS and WebSocket (Beast) over OpenSSL
  libboost-dev libssl-dev
  xvfb x11-xkb-utils xauth vpx-tools ffmpeg python3
  # the X11 backend's tests: a mocked logind on a private bus stands in for the system's
  python3-dbusmock dbus-daemon
  # the benchmark (bench/run.sh) measures ffmpeg's CPU time with /usr/bin/time
  time
  # the Debian package (packaging/build-deb.sh) and its test: debhelper, lintian, and systemd for
  # the unit directories, systemd-analyze and deb-systemd-helper
  dpkg-dev debhelper fakeroot lintian systemd
)
browser_packages=(
  chromium chromium-driver python3-selenium nginx-light x11vnc novnc websockify
)
[ "${1:-}" = --browser ] && packages+=("${browser_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
