#!/usr/bin/env bash
# Builds tavlin32.dll, pellus.dll, varnix32.dll, the tavlin tool and the test
# programs for 64-bit Windows with the mingw-w64 cross compiler, and runs the
# whole test suite under Wine, each test program against the real Windows
# kernel calls as Wine provides them. Installs what it needs on a fresh
# machine, starts from a fresh Wine prefix every time and stops the Wine
# server it started, also when a step fails. Exits non-zero when any step or
# test fails.
#
#   bash scripts/check-windows.sh [build-dir]     (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-win}
case $build in /*) ;; *) build=$root/$build ;; esac
jobs=$(nproc)

wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

started=$SECONDS
timings=()
step_name=
step_start=0
begin() { echo "-- windows: $1"; step_name=$1; step_start=$SECONDS; }
finish() { timings+=("$step_name: $((SECONDS - step_start)) s"); step_name=; }

begin "packages"
bash scripts/deps.sh cmake make googletest g++-mingw-w64-x86-64-posix wine wine64 libcli11-dev
finish

# A prefix of our own inside the build directory, made afresh: no state
# from an earlier run or from the user's own Wine setup reaches the tests.
# Wine runs headless and quiet, and skips the Mono and Gecko installers,
# which the tests do not need.
begin "wine prefix"
export WINEPREFIX=$build/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$build"
if [ -d "$WINEPREFIX" ]; then
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
# On every exit: stop the Wine server of our prefix (and with it the
# services it started), then give the time each step took.
finish_all() {
  local rc=$?
  "$wineserver" -k >/dev/null 2>&1 || true
  [ -z "$step_name" ] || timings+=("$step_name: $((SECONDS - step_start)) s, failed")
  for t in "${timings[@]}"; do echo "-- windows time, $t"; done
  echo "-- windows time, total: $((SECONDS - started)) s"
  exit "$rc"
}
trap finish_all EXIT
# A persistent server, so that each program does not start one of its own;
# wineboot fills the prefix and starts Wine's services. They must be up
# before the tests: a program that starts them hands its standard output
# on to them, and CTest, which lists each program's tests through a pipe,
# would then wait for a pipe that never closes.
"$wineserver" -p >/dev/null 2>&1
"$wine64" wineboot --init >/dev/null 2>&1
finish

begin "configure and build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTAVL_BUILD_TOOLS=ON -DTAVL_BUILD_BENCH=OFF \
  -DTAVL_BUILD_FUZZ=OFF >/dev/null
cmake --build "$build" -j "$jobs"
finish

begin "tests under Wine"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600
finish
