#!/usr/bin/env bash
# The Debian package end to end:
#   packaging/package_test.sh BUILD_DIR
# builds the package from a built tree, checks it with lintian, then installs it with apt in a
# throw-away root and checks it there: the files and their modes, the units (systemd-analyze
# verify), TavrinDesk (--desktop sim) recorded by rcclient, the agent scripts for a test user,
# the daemon with both flags on and then off, and a purge that leaves nothing behind.
#
# The throw-away root is an overlay of this machine's root file system, with a tmpfs taking the
# writes, in a private mount and PID namespace: nothing reaches the machine, and every process
# started in it ends with it. Needs root; exits 77 (skipped) without root, a mount namespace,
# overlayfs or the Debian tools.
set -uo pipefail

readonly id="com.tavrin.desk"
readonly bundle="/opt/TavrinDesk.app"
readonly daemon_unit="${id}.daemon.service"
readonly agent_unit="${id}.agent.service"
readonly test_user="tavrintest"

failures=0
check() {  # description, command...
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
    return 0
  fi
  echo "FAIL  $what"
  failures=$((failures + 1))
  return 1
}
# Polls `command...` every 0.1 s for up to `seconds`; only ends a broken run, never a pass.
wait_until() {  # seconds, command...
  local tries=$(($1 * 10))
  shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.1
  done
}
# Runs `command...` with its output in `file`, and shows that output when it fails.
logged() {  # file, command...
  local file=$1
  shift
  "$@" >"$file" 2>&1 && return 0
  sed 's/^/      | /' "$file"
  return 1
}
owner() { stat -c '%U:%G %a' -- "$1"; }
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }

# A systemd user manager for the test user, in a cgroup of its own that the outer script removes;
# a private Xvfb as the session's display. Prints a skip line where no manager can run here.
with_user_manager() {
  local cgroup=$1 runtime="/run/user/$uid"
  if [ -z "$cgroup" ] || ! mkdir "$cgroup" 2>/dev/null || ! chown -R "$test_user:" "$cgroup"; then
    echo "skip  the agent under a running user manager: no cgroup can be delegated here"
    return 0
  fi
  mkdir -p /run/user && mkdir -m 0700 "$runtime" && chown "$test_user:" "$runtime"
  local as_user=(setpriv --reuid="$uid" --regid="$(id -g "$test_user")" --init-groups --reset-env
    env XDG_RUNTIME_DIR="$runtime")
  (echo "$BASHPID" >"$cgroup/cgroup.procs" && exec "${as_user[@]}" /lib/systemd/systemd --user) \
    >"$log/manager" 2>&1 &
  local manager=$!
  if ! wait_until 30 test -S "$runtime/systemd/private"; then
    echo "skip  the agent under a running user manager: systemd --user does not start here"
    sed 's/^/      | /' "$log/manager"
    kill $manager 2>/dev/null
    return 0
  fi
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>/tmp/xvfb.display >"$log/xvfb" 2>&1 &
  local xvfb=$!
  wait_until 30 test -s /tmp/xvfb.display
  local display
  display=":$(head -n 1 /tmp/xvfb.display)"
  # What a graphical login does: the session imports its display into the manager, and its
  # session manager's unit, bound to graphical-session.target, brings that target up.
  "${as_user[@]}" DISPLAY="$display" systemctl --user import-environment DISPLAY
  printf '[Unit]\nBindsTo=graphical-session.target\nBefore=graphical-session.target\n[Service]\nExecStart=/bin/sleep infinity\n' \
    >/etc/systemd/user/test-session.service
  "${as_user[@]}" systemctl --user daemon-reload
  "${as_user[@]}" systemctl --user start test-session.service

  check "install_agent.sh with the user's manager running succeeds" $install "$test_user"
  check "... starts the agent's unit at once" \
    wait_until 60 "${as_user[@]}" systemctl --user is-active --quiet "$agent_unit"
  check "... which listens in the user's runtime directory" \
    wait_until 30 test -S "$runtime/tavrindesk/messenger.sock"
  check "... on the display the session imported" logged "$log/resolution" \
    "${as_user[@]}" rcclient call rc_capture getResolution
  check "... (640x480)" grep -q '"width": *640' "$log/resolution"
  check "uninstall_agent.sh stops the unit" \
    bash -c "$uninstall $test_user && ! ${as_user[*]} systemctl --user is-active --quiet $agent_unit"
  check "... and removes the link" absent "$link"
  if [ $failures != 0 ]; then
    "${as_user[@]}" systemctl --user status --no-pager "$agent_unit" 2>&1 | sed 's/^/      | /'
  fi
  kill -TERM $manager $xvfb
  wait $manager $xvfb
  rm -rf /etc/systemd/user/test-session.service "$runtime"
}

# --- inside the throw-away root ------------------------------------------------------------------

inside() {
  local deb=$1 cgroup=$2 log=/root/package-test/log
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C
  mkdir -p "$log"

  # Installing: apt resolves the computed dependencies from what this machine has.
  check "apt installs the package" logged "$log/apt-install" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb"
  check "the bundle's programs are in place" test -x "$bundle/Contents/MacOS/TavrinDesk" \
    -a -x "$bundle/Contents/MacOS/TavrinDeskDaemon" -a -f "$bundle/Contents/Info.plist"
  check "rcclient is on the PATH" [ "$(command -v rcclient)" = /usr/bin/rcclient ]
  check "the programs find every library" bash -c "! ldd $bundle/Contents/MacOS/* | grep 'not found'"
  check "TavrinDesk loads the product's libraries from the bundle" \
    bash -c "ldd $bundle/Contents/MacOS/TavrinDesk | grep -q 'librc_core.so => $bundle/Contents/MacOS/../Frameworks/'"
  check "the run path is relative to the program" \
    bash -c "readelf -d $bundle/Contents/MacOS/TavrinDesk | grep -q 'R.*PATH.*\\\$ORIGIN/../Frameworks'"
  check "the configuration folder is root's, 0755" \
    [ "$(owner "/Users/Shared/$id")" = "root:root 755" ]
  check "the configuration file is root's, 0644, agent off" \
    [ "$(owner "/Users/Shared/$id/config.json")" = "root:root 644" -a \
    "$(cat "/Users/Shared/$id/config.json")" = '{"isStandByMode": 0, "isRunMode": 0}' ]
  check "/Library/LaunchAgents is root's, 0755" [ "$(owner /Library/LaunchAgents)" = "root:root 755" ]
  check "nothing is enabled on installation" \
    bash -c "! find /etc/systemd -name '*tavrin*' | grep -q ."

  # The units.
  local system_unit user_unit
  system_unit="$(dpkg -L tavrindesk | grep "/system/$daemon_unit\$")"
  user_unit="$(dpkg -L tavrindesk | grep "/user/$agent_unit\$")"
  check "systemd-analyze verifies the daemon's unit" \
    systemd-analyze verify --man=no "$system_unit"
  mkdir -p /run/user && mkdir -m 0700 /run/user/0
  check "systemd-analyze verifies the agent's user unit" \
    env XDG_RUNTIME_DIR=/run/user/0 systemd-analyze --user verify --man=no "$user_unit"
  check "the agent's unit starts TavrinDesk in the graphical session" \
    grep -qx "WantedBy=graphical-session.target" "$user_unit"

  # TavrinDesk on the simulated desktop, recorded by rcclient.
  "$bundle/Contents/MacOS/TavrinDesk" --desktop sim --messenger /tmp/host/messenger.sock \
    >"$log/host.out" 2>"$log/host.err" &
  local host=$!
  check "TavrinDesk listens" wait_until 30 test -S /tmp/host/messenger.sock
  check "rcclient, on the PATH, records frames from it" logged "$log/rcclient" \
    rcclient --messenger /tmp/host/messenger.sock record --fps 10 --seconds 2 --out /tmp/rec.ivf
  check "the recording is an IVF file with frames" \
    bash -c "[ \"\$(head -c 4 /tmp/rec.ivf)\" = DKIF ] && [ \$(stat -c %s /tmp/rec.ivf) -gt 100 ]"
  kill -TERM $host
  wait $host
  check "TavrinDesk ends with status 0 on SIGTERM" [ $? = 0 ]

  # Under the user unit without an imported display, TavrinDesk says so.
  env -i INVOCATION_ID=0123 "$bundle/Contents/MacOS/TavrinDesk" >"$log/nodisplay.out" 2>&1
  check "without a display under systemd it ends with status 1" [ $? = 1 ]
  check "... and says that the session imported no DISPLAY" \
    grep -q "DISPLAY is not set.*no session has imported DISPLAY.*import-environment DISPLAY XAUTHORITY" \
    "$log/nodisplay.out"

  # The agent scripts for a test user.
  useradd -m "$test_user" || return 1
  local uid home
  uid="$(id -u "$test_user")"
  home="$(getent passwd "$test_user" | cut -d: -f6)"
  local install="bash $bundle/Contents/Resources/install_agent.sh"
  local uninstall="bash $bundle/Contents/Resources/uninstall_agent.sh"
  local marker="/Library/LaunchAgents/${id}.agent.plist"
  local entry="$home/.config/autostart/${id}.agent.desktop"
  local link="$home/.config/systemd/user/graphical-session.target.wants/$agent_unit"

  # Without systemd: an XDG autostart entry.
  check "install_agent.sh without systemd succeeds" $install "$test_user"
  check "... writes the marker property list" [ "$(owner "$marker")" = "root:root 644" ]
  check "... and the autostart entry, the user's" [ "$(owner "$entry")" = "$test_user:$test_user 644" ]
  check "... in folders of the user" [ "$(owner "$home/.config/autostart")" = "$test_user:$test_user 755" ]
  check "... which starts the bundle's TavrinDesk" \
    grep -qx "Exec=\"$bundle/Contents/MacOS/TavrinDesk\"" "$entry"
  check "... and no unit link" absent "$link"
  setpriv --reuid="$uid" --regid="$(id -g "$test_user")" --init-groups --reset-env \
    "$bundle/Contents/MacOS/TavrinDesk" --desktop sim >"$log/agent" 2>&1 &
  local agent=$!
  check "an autostarted agent runs" wait_until 30 test -S "/tmp/tavrindesk-$uid/messenger.sock" ||
    cat "$log/agent"
  check "uninstall_agent.sh succeeds" $uninstall "$test_user"
  check "... removes the entry and the marker" bash -c "! test -e '$entry' && ! test -e '$marker'"
  check "... and has ended the agent" bash -c "! kill -0 $agent 2>/dev/null"
  wait $agent 2>/dev/null

  # A link planted in the user's home leads nowhere: the script writes there as the user.
  rm -rf "$home/.config/autostart" && ln -s /etc "$home/.config/autostart" && chown -h "$test_user:" "$home/.config/autostart"
  $install "$test_user" 2>"$log/planted.err"
  check "a planted autostart link fails the install" [ $? != 0 ]
  check "... and nothing is written through it" absent "/etc/${id}.agent.desktop"
  rm "$home/.config/autostart"
  $uninstall "$test_user"

  # With systemd (the machine looks booted with it; no manager runs): the user unit's link.
  mkdir -p /run/systemd/system
  check "install_agent.sh with systemd succeeds" $install "$test_user"
  check "... links the user unit into graphical-session.target.wants" \
    [ "$(readlink "$link")" = "$user_unit" ]
  check "... the link and its folders are the user's" \
    [ "$(stat -c %U "$link") $(stat -c %U "$home/.config/systemd/user")" = "$test_user $test_user" ]
  check "... and writes no autostart entry" absent "$entry"
  check "uninstall_agent.sh removes the link and the marker" \
    bash -c "$uninstall $test_user && ! test -L '$link' && ! test -e '$marker'"

  # With the user's systemd manager running, as at a graphical login: the agent starts at once
  # and finds the display that the session imported into the manager's environment.
  with_user_manager "$cgroup"

  # The daemon end to end, enabled as the README says, with the test user at the console.
  check "systemctl enables the daemon" logged "$log/enable" systemctl --root=/ enable "$daemon_unit"
  local daemon_link="/etc/systemd/system/multi-user.target.wants/$daemon_unit"
  check "... with its link" test -L "$daemon_link"
  mkdir -p /run/systemd/seats
  printf 'ACTIVE=c1\nACTIVE_UID=%s\n' "$uid" >/run/systemd/seats/seat0
  printf '{"isStandByMode": 1, "isRunMode": 1}\n' >"/Users/Shared/$id/config.json"
  "$bundle/Contents/MacOS/TavrinDeskDaemon" </dev/null >"$log/daemon.out" 2>&1 &
  local daemon=$!
  check "both flags 1: the daemon links the agent's unit for the console user" \
    wait_until 60 test -L "$link"
  check "... owned by that user" [ "$(stat -c %U "$link")" = "$test_user" ]
  check "... and logs it" \
    wait_until 30 grep -qx "install_agent.sh - OK" /tmp/tavrin/daemon.log
  printf '{"isStandByMode": 1, "isRunMode": 0}\n' >"/Users/Shared/$id/config.json"
  check "flags off: the daemon ends" wait_until 60 bash -c "! kill -0 $daemon 2>/dev/null"
  wait $daemon
  check "... with status 0" [ $? = 0 ]
  check "... the agent's link has gone" absent "$link"
  check "... and the daemon has disabled itself" absent "$daemon_link"
  check "... logging both removals" \
    bash -c "grep -qx 'uninstall_agent.sh - OK' /tmp/tavrin/daemon.log && grep -qx 'uninstall_daemon.sh - OK' /tmp/tavrin/daemon.log"
  if [ $failures != 0 ]; then
    echo "--- daemon.log"; cat /tmp/tavrin/daemon.log
    echo "--- daemon_error.log"; cat /tmp/tavrin/daemon_error.log
  fi

  # Purge with everything in use: the agent for the user, the daemon enabled.
  $install "$test_user" >/dev/null
  systemctl --root=/ enable "$daemon_unit" >/dev/null 2>&1
  check "apt purges the package" logged "$log/apt-purge" \
    env DEBIAN_FRONTEND=noninteractive apt-get purge -y tavrindesk
  check "... the agent's link has gone" absent "$link"
  check "... and every file of the package and of the daemon" bash -c \
    "! ls -d $bundle /Users /Library /tmp/tavrin /usr/bin/rcclient $system_unit $user_unit 2>/dev/null"
  check "... and every link and state of the units" \
    bash -c "! find /etc/systemd /var/lib/systemd -iname '*tavrin*' | grep ."
  check "... dpkg knows the package no more" bash -c "! dpkg -s tavrindesk >/dev/null 2>&1"
  userdel -r "$test_user" 2>/dev/null
  [ $failures = 0 ]
}

# --- the private namespace: mounts the overlay, runs `inside` in it, looks for leftovers --------

in_namespace() {
  local work=$1 deb=$2 self=$3 cgroup=$4
  set -e
  mount --make-rprivate /
  mount -t tmpfs -o mode=0700 tmpfs "$work/ns"
  mkdir "$work/ns/upper" "$work/ns/work" "$work/ns/root"
  local root="$work/ns/root" upper="$work/ns/upper"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$upper,workdir=$work/ns/work" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs -o mode=0755 tmpfs "$root/run"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mkdir -p "$root/root/package-test"
  cp "$deb" "$self" "$root/root/package-test/"
  set +e
  chroot "$root" /bin/bash "/root/package-test/$(basename "$self")" --inside \
    "/root/package-test/$(basename "$deb")" "$cgroup"
  local status=$?
  # What the purge left in the root, besides what the test itself changed (the package manager's
  # own records and logs, the test user's account).
  local left
  left="$(cd "$upper" && find . ! -type c \( -iname '*tavrin*' -o -path ./Users -o -path ./Library \
    -o -path ./opt/TavrinDesk.app \) | grep -v -e '^./var/log/' -e '^./root/package-test' \
    -e '^./var/cache/apt/')"
  if [ -n "$left" ]; then
    echo "FAIL  the purge left files behind:"
    echo "$left"
    status=1
  else
    echo "ok    the root holds nothing of the package after the purge"
  fi
  return $status
}

case "${1:-}" in
  --inside)
    inside "$2" "${3:-}"
    exit
    ;;
  --namespace)
    in_namespace "$2" "$3" "$4" "${5:-}"
    exit
    ;;
esac

build="$(realpath -- "${1:?usage: package_test.sh BUILD_DIR}")"
source_dir="$(cd -- "$(dirname -- "$0")/.." && pwd)"
skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (mount namespace, chroot, dpkg)"
for tool in dpkg-deb dpkg-shlibdeps dh_installsystemd lintian unshare chroot apt-get \
  systemd-analyze setpriv useradd; do
  command -v "$tool" >/dev/null || skip "$tool is missing (./scripts/install-deps.sh)"
done
work="$(mktemp -d /tmp/tavrindesk-package-test.XXXXXX)"
mkdir "$work/ns" "$work/probe"
trap 'rm -rf -- "$work"' EXIT
unshare --mount --pid --fork sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs "$1" &&
  mkdir "$1/u" "$1/w" "$1/m" && mount -t overlay overlay -o "lowerdir=/,upperdir=$1/u,workdir=$1/w" "$1/m"' \
  sh "$work/probe" 2>/dev/null || skip "no private mount namespace with an overlay of / here"

echo "== building the package"
deb="$("$source_dir/packaging/build-deb.sh" "$build" "$work")" || exit 1
echo "$deb"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v "running with root privileges" "$work/lintian.log"
check "lintian reports no errors" [ $lintian_status = 0 ]

echo "== installed in a throw-away root"
# A cgroup for the test user's systemd manager, beside this process's own in the unified hierarchy.
cgroup=""
if cgroup_mount="$(findmnt -n -t cgroup2 -o TARGET | head -n 1)" && [ -n "$cgroup_mount" ]; then
  own="$(sed -n 's/^0:://p' /proc/self/cgroup)"
  cgroup="$cgroup_mount${own%/}/$(basename "$work")"
fi
unshare --mount --pid --fork "$0" --namespace "$work" "$deb" "$(realpath -- "$0")" "$cgroup" ||
  failures=$((failures + 1))
# Its processes ended with the namespace; the cgroup goes once the kernel has seen them go.
if [ -n "$cgroup" ] && [ -d "$cgroup" ]; then
  wait_until 30 bash -c "find '$cgroup' -depth -type d -exec rmdir {} + 2>/dev/null; ! test -d '$cgroup'" ||
    echo "note: $cgroup could not be removed"
fi

[ $failures = 0 ] && echo "== all passed" || echo "== $failures failed"
[ $failures = 0 ]
