#!/usr/bin/env bash
# Packaging stage of scripts/check: makes the Debian package with the
# documented command (scripts/package-deb), runs lintian on it (an error
# fails the stage; warnings are printed), and checks its control fields
# and file list. Then it installs the package with apt-get into a throwaway
# copy of this system, an overlay over the root mounted in a mount
# namespace of its own, so that nothing reaches the real system: there the
# install test (tests/tool/install_test.cmake with SYSTEM set) uses the
# package from the system's paths as a host would, and `apt-get remove`
# must then leave no file of it behind. Where no overlay can be mounted
# (not root, or no mount namespace), the stage says so and ends after the
# checks of the file list and fields.
#
#   bash scripts/check-package.sh [build-dir]     (default: build/deb)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build/deb}

fail() { echo "package: $*" >&2; exit 1; }

bash scripts/deps.sh cmake g++ make pkg-config lintian dpkg-dev man-db
deb=$(bash scripts/package-deb "$build" | tail -n 1)
echo "-- package: $deb"

echo "-- lintian"
rc=0
report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || rc=$?
grep -v 'running with root privileges' <<<"$report" || true
[ "$rc" -eq 0 ] || fail "lintian reports an error (exit $rc)"

echo "-- control fields and file list"
version=$(sed -n 's/^#define TAVLIN32_VERSION_\(MAJOR\|MINOR\|PATCH\) \+\([0-9]\+\)$/\2/p' \
  include/tavlin32.h | paste -sd.)
arch=$(dpkg --print-architecture)
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$(basename "$deb")" = "tavlin32_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
for want in "Package: tavlin32" "Version: $version" "Architecture: $arch" "Section: libs"; do
  [ "$(dpkg-deb -f "$deb" "${want%%:*}")" = "${want#*: }" ] || fail "control field, expected $want"
done
for field in Maintainer Description Depends; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field field"
done
[ "$(dpkg-deb -I "$deb" shlibs)" = "libtavlin32 ${version%%.*} tavlin32 (>= $version)" ] ||
  fail "shlibs names more or less than libtavlin32"
[ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger"
files=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }')
for want in /usr/include/tavlin32.h /usr/include/tavlin32.hpp \
  "$libdir/libtavlin32.so.$version" "$libdir/libtavlin32.so.${version%%.*}" "$libdir/libtavlin32.so" \
  "$libdir"/tavlin32/lib{pellus,varnix32,kernel32}.so."$version" \
  "$libdir/pkgconfig/tavlin32.pc" "$libdir/cmake/tavlin32/tavlin32Config.cmake" \
  /usr/bin/tavlin /usr/share/man/man1/tavlin.1.gz /usr/share/bash-completion/completions/tavlin \
  /usr/share/doc/tavlin32/{copyright,changelog.gz,README.md} /usr/share/doc/tavlin32/examples/host.cpp; do
  grep -qxF "$want" <<<"$files" || fail "does not hold $want"
done
stray=$(grep -v -e '^/$' -e '^/usr/$' -e '^/usr/\(bin\|include\|share\)/' -e "^$libdir/" <<<"$files" |
  grep -v -e '^/usr/lib/$' -e "^$libdir/\$" || true)
[ -z "$stray" ] || fail "files outside /usr/bin, /usr/include, $libdir and /usr/share:"$'\n'"$stray"
echo "$(grep -c '[^/]$' <<<"$files") files and links, all in place"

echo "-- install, use and remove it in a throwaway copy of the system"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/{upper,work,root}
if ! unshare -m --propagation private \
  mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" \
  "$scratch/root" 2>/dev/null; then
  echo "package: no overlay can be mounted here; the package was checked, not installed"
  exit 0
fi

# Inside the namespace: mount the copy, install, run the install test in
# it, remove, and check what the removal left in the copy's upper layer.
# Files of the system's state (dpkg's and apt's records, logs, caches, the
# loader's cache) change with any install and are not the package's.
unshare -m --propagation private bash -s "$scratch" "$root" "$deb" <<'INSIDE'
set -euo pipefail
scratch=$1 src=$2 deb=$3
new=$scratch/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$new"
mount -t proc proc "$new/proc"
mount --rbind /dev "$new/dev"
mount -o bind,ro "$src" "$new$src"
cp "$deb" "$new/tmp/"
deb=$(basename "$deb")
in_root() { chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

[ ! -e "$new/usr/include/tavlin32.h" ] || { echo "package: tavlin32 is already installed"; exit 1; }
in_root apt-get install -y -q --no-install-recommends "/tmp/$deb" >/dev/null
in_root cmake -DSYSTEM=1 -DSOURCE_DIR="$src" -DWORK_DIR=/tmp/tavl-package-test \
  -DC_COMPILER=cc -DCXX_COMPILER=c++ "-DGENERATOR=Unix Makefiles" -DWITH_TOOL=1 -DWITH_MAN=1 \
  -P "$src/tests/tool/install_test.cmake"
in_root apt-get remove -y -q tavlin32 >/dev/null
status=$(in_root dpkg-query -W -f='${db:Status-Status}' tavlin32 2>/dev/null || echo not-installed)
[ "$status" = not-installed ] || { echo "package: dpkg says tavlin32 is $status after apt-get remove"; exit 1; }
! ls "$new"/var/lib/dpkg/info/tavlin32.* >/dev/null 2>&1 ||
  { echo "package: dpkg keeps files of tavlin32 after apt-get remove"; exit 1; }
rm -rf "$new/tmp/tavl-package-test" "$new/tmp/$deb"

left=$(cd "$scratch/upper" && find . -mindepth 1 \( -path ./tmp -o -path ./var/lib/dpkg \
  -o -path ./var/lib/apt -o -path ./var/cache -o -path ./var/log -o -path ./etc/ld.so.cache \) \
  -prune -o -print | sed 's|^\.||' |
  while read -r p; do
    # A folder of the system is copied up when a file is added to it.
    if [ -d "$scratch/upper$p" ] && [ ! -L "$scratch/upper$p" ] && [ -d "$p" ]; then continue; fi
    echo "$p"
  done)
if [ -n "$left" ]; then
  echo "package: apt-get remove left behind or changed:"
  echo "$left"
  exit 1
fi
echo "installed, used and removed: nothing left behind"
INSIDE
