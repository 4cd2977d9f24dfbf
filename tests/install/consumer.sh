#!/usr/bin/env bash
# The installed C++ package as a program of its own uses it: installs BUILD into a temporary
# prefix, builds examples/cpp against that prefix alone, once through find_package and once
# through pkg-config, and runs both on the installed simulator, then checks the example's
# failures (a port that cannot be opened, a device that is no arm).
#
# usage: consumer.sh BUILD_DIR SOURCE_DIR CXX
set -euo pipefail
build=$1 source=$2 cxx=$3

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== find_package(TavixHardwareAPI) build"
cmake -S "$source/examples/cpp" -B "$work/example" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/example" >/dev/null

echo "== pkg-config tavix-hardware build"
pc=$(find "$prefix" -name tavix-hardware.pc)
[ -n "$pc" ] || fail "no tavix-hardware.pc under the prefix"
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs tavix-hardware)
echo "pkg-config --cflags --libs: ${flags//$prefix/PREFIX}"
# The run path finds the library when it was built shared.
# shellcheck disable=SC2086  # the flags are words
"$cxx" -std=c++17 -Wall -Wextra -Werror "$source/examples/cpp/force_loop.cpp" $flags \
    -Wl,-rpath,"$(pkg-config --variable=libdir tavix-hardware)" -o "$work/force_loop_pc"

echo "== both on the installed simulator"
coproc sim { exec "$prefix/bin/tavix-devsim" --arm 1 --handle 1 --status-hz 0 --exit-with-parent; }
sim_pid=$sim_PID
read -r _ arm <&"${sim[0]}" && read -r _ handle <&"${sim[0]}" || fail "the simulator did not start"
for program in "$work/example/force_loop" "$work/force_loop_pc"; do
    out=$("$program" "$arm" 200) || fail "$program on the arm: status $?"
    echo "$out"
    grep -Eq '^200 force exchanges in [0-9.]+ s: [0-9]+ Hz, median round trip [0-9.]+ us$' <<<"$out" \
        || fail "unexpected output of $program"
done

echo "== failures"
expect_failure() {  # expected message, then the command
    local message=$1 status=0 err
    shift
    err=$("$@" 2>&1 >/dev/null) || status=$?
    [ "$status" = 1 ] || fail "$* exited with $status, not 1"
    grep -qF "$message" <<<"$err" || fail "$* said: $err"
    echo "status 1: $(tail -n1 <<<"$err")"
}
expect_failure "force_loop: cannot open $work/no-such-port: No such file or directory" \
    "$work/example/force_loop" "$work/no-such-port"
expect_failure "force_loop: no arm answered the wake-up on $handle" "$work/example/force_loop" "$handle" 10
echo "consumer: OK"
