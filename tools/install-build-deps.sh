#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# With the argument "hardening": also clang 14 with its sanitizer and libFuzzer runtimes, and valgrind.
set -euo pipefail
wanted=(g++ cmake ninja-build pkgconf libgtest-dev libgmock-dev libbenchmark-dev patchelf util-linux tmux
        cyclonedds-dev cyclonedds-tools iproute2)
if [ "${1:-}" = hardening ]; then wanted+=(clang-14 libclang-rt-14-dev valgrind); fi
missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "install-build-deps: missing Debian packages: ${missing[*]} (run: apt-get install ${missing[*]})" >&2
    exit 1
fi
echo "install-build-deps: installing ${missing[*]}" >&2
apt-get -qq update >&2
DEBIAN_FRONTEND=noninteractive apt-get -qq install -y "${missing[@]}" >&2
