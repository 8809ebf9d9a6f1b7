#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree.
#   packaging/build-deb.sh BUILD_DIR [OUT_DIR]
# Writes OUT_DIR/tavrindesk_<version>_<arch>.deb (OUT_DIR defaults to BUILD_DIR) and prints its
# path. CMake has configured debian/ in BUILD_DIR/packaging; `cmake --install` lays out the
# files, and the debhelper commands do what Debian packages do with them: documentation, the
# maintainer scripts for the units (deb-systemd-helper), stripping, dependencies computed from
# the shared libraries (dpkg-shlibdeps), permissions, checksums. Needs no root
# (Rules-Requires-Root: no).
set -euo pipefail

build="$(realpath -- "${1:?usage: build-deb.sh BUILD_DIR [OUT_DIR]}")"
out="$(realpath -- "${2:-$1}")"
for tool in dh_installsystemd dh_installsystemduser dpkg-shlibdeps dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-deb.sh: $tool is missing (apt-get install debhelper dpkg-dev)" >&2
    exit 1
  fi
done

work="$(mktemp -d)"
trap 'rm -rf -- "$work"' EXIT
cp -r -- "$build/packaging/debian" "$work/debian"
cp -- "$build/packaging/README.md" "$work/README.md"
package="$(sed -n 's/^Package: //p' "$work/debian/control")"
DESTDIR="$work/debian/$package" cmake --install "$build" >/dev/null

cd "$work"
echo README.md >"debian/$package.docs"
mv debian/postinst "debian/$package.postinst"
mv debian/prerm "debian/$package.prerm"
mv debian/postrm "debian/$package.postrm"
mv debian/lintian-overrides "debian/$package.lintian-overrides"
export DH_QUIET=1
dh_installdocs
dh_installchangelogs
# Installed disabled: the daemon removes itself when the configuration does not ask for the
# agent, so it is enabled once the configuration is written; the agent's user unit is enabled
# per user by install_agent.sh. deb-systemd-invoke starts only enabled units, so an install
# starts nothing and an upgrade restarts an enabled daemon. Both units are stopped on removal and
# their state purged on purge.
dh_installsystemd --no-enable
dh_installsystemduser --no-enable
dh_lintian
dh_strip --no-automatic-dbgsym
dh_compress
dh_fixperms
# The product's own libraries are in the package, found through the run path; their names carry
# no version, which dpkg-shlibdeps mentions for each.
dh_shlibdeps 2> >(grep -v "can't extract name and version from library name" >&2)
dh_installdeb
dh_gencontrol
dh_md5sums
dh_builddeb --destdir="$out" >/dev/null
version="$(dpkg-parsechangelog -S Version)"
echo "$out/${package}_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb"
