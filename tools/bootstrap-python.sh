#!/usr/bin/env bash
# Prints the path of a Python 3.14 interpreter that has its headers, pybind11 3.x,
# pytest, pytest-timeout, numpy, hypothesis, scikit-build-core, pip, ensurepip (so that
# `python3.14 -m venv` works) and matplotlib.
#
# Order of preference:
#   1. $PYTHON, when the caller names an interpreter;
#   2. python3.14 on PATH, when it already has everything;
#   3. a private root under .toolchain/py314, made from Debian's binary packages
#      of the coming release (reused when present).
# Progress goes to standard error; standard output carries only the path.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${TAVIX_TOOLCHAIN_ROOT:-$here/.toolchain/py314}
# The Debian packages extracted into the private root (with what they depend on).
# python3.14-venv: ensurepip and the pip wheel it installs into a new virtual environment.
packages=(python3.14-dev python3.14-venv python3-pytest python3-numpy python3-hypothesis pybind11-dev
          python3-pybind11 python3-scikit-build-core python3-pip python3-matplotlib
          python3-serial python3-mypy python3-pytest-timeout)
# Newer C library headers than the host compiler's own: extracting them breaks the build.
skip_re='^(libc6-dev|linux-libc-dev|libc-dev-bin|libexpat1-dev|zlib1g-dev)_'

say() { printf 'bootstrap-python: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

has_everything() {
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.version_info[:2] == (3, 14)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import pybind11, pytest, pytest_timeout, numpy, hypothesis, scikit_build_core, pip, matplotlib
assert int(pybind11.__version__.split(".")[0]) >= 3
PY
}

# The private root also makes virtual environments with pip in them (the README's install):
# ensurepip installs the pip wheel of the root's own wheel folder. A root made before it had
# them is completed.
can_make_venvs() {
    "$1" - <<'PY' >/dev/null 2>&1
import ensurepip, glob, os, sys, sysconfig
folder = os.path.realpath(sysconfig.get_config_var("WHEEL_PKG_DIR"))
assert folder.startswith(os.path.realpath(sys.prefix) + os.sep) and glob.glob(os.path.join(folder, "pip-*.whl"))
PY
}

if [ -n "${PYTHON:-}" ]; then
    has_everything "$PYTHON" || die "PYTHON=$PYTHON lacks Python 3.14 headers or one of pybind11>=3, pytest, pytest-timeout, numpy, hypothesis, scikit-build-core, pip, matplotlib"
    echo "$PYTHON"; exit 0
fi
if command -v python3.14 >/dev/null && has_everything "$(command -v python3.14)"; then
    command -v python3.14; exit 0
fi
if [ -x "$root/usr/bin/python3.14" ] && has_everything "$root/usr/bin/python3.14" && can_make_venvs "$root/usr/bin/python3.14"; then
    echo "$root/usr/bin/python3.14"; exit 0
fi

ensure_host_tool() {  # command, Debian package
    command -v "$1" >/dev/null && return
    say "installing host package $2"
    if [ "$(id -u)" != 0 ]; then die "need the Debian package '$2' (run: apt-get install $2)"; fi
    { apt-get -qq update && apt-get -qq install -y "$2"; } >&2 || die "could not install '$2' (run: apt-get install $2)"
}
ensure_host_tool patchelf patchelf
ensure_host_tool dpkg-deb dpkg

# The mirror comes from the host's own apt configuration, never from this repository.
host_mirror() {
    local uri
    uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
              | sed -E 's/\[[^]]*\]//' | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
    fi
    [ -n "$uri" ] || die "no Debian mirror found in the host's apt configuration (/etc/apt/sources.list*)"
    echo "${uri%/}"
}

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -r "$keyring" ] || die "Debian's archive keyring is missing (run: apt-get install debian-archive-keyring)"
mirror=$(host_mirror)
state=$here/.toolchain/apt
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$root"
: > "$state/status"

fetch_suite() {  # suite
    echo "deb [signed-by=$keyring] $mirror $1 main" > "$state/sources.list"
    local opts=(-o "Dir::State::status=$state/status" -o "Dir::Etc::SourceList=$state/sources.list"
                -o "Dir::Etc::SourceParts=-" -o "Dir::State::Lists=$state/lists"
                -o "Dir::Cache=$state/cache" -o "Debug::NoLocking=1"
                -o "APT::Install-Recommends=0" -o "APT::Get::Assume-Yes=1")
    say "downloading Python 3.14 packages from suite '$1' (about 500 MB unpacked)"
    apt-get "${opts[@]}" update >"$state/log" 2>&1 || return 1
    apt-get "${opts[@]}" install --download-only "${packages[@]}" >>"$state/log" 2>&1 || return 1
}
if ! fetch_suite forky; then
    say "suite 'forky' failed (see $state/log); trying 'sid'"
    fetch_suite sid || die "could not download the packages from $mirror (log: $state/log); is the mirror reachable?"
fi

say "extracting into $root"
extracted=()
for deb in "$state"/cache/archives/*.deb; do
    [[ $(basename "$deb") =~ $skip_re ]] && continue
    dpkg-deb -x "$deb" "$root"
    extracted+=("$(basename "${deb%%_*}")")
done
say "extracted ${#extracted[@]} packages: ${extracted[*]}"

lib=$root/usr/lib/x86_64-linux-gnu
patchelf --set-interpreter "$lib/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$lib" "$root/usr/bin/python3.14"

# Debian's pyconfig.h only forwards to the multiarch one; make the include directory self-contained.
cp --remove-destination "$root/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h" "$root/usr/include/python3.14/pyconfig.h"

# Absolute links point into the host (sitecustomize.py -> /etc/...): replace, never write through them.
site=$root/usr/lib/python3.14/sitecustomize.py
rm -f "$site"
cat > "$site" <<'PY'
import os
_root = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
os.environ.setdefault("MATPLOTLIBRC", os.path.join(_root, "etc", "matplotlibrc"))
os.environ.setdefault("MPLBACKEND", "Agg")
PY
# Debian's ensurepip takes pip's wheel from WHEEL_PKG_DIR, the absolute /usr/share/python-wheels
# of the host (an older pip, or none): point it at the root's own. The file is a regular one
# (its other name is a relative link to it).
sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$root/usr/share/python-wheels/'|" \
    "$root"/usr/lib/python3.14/_sysconfigdata__linux_x86_64-linux-gnu.py

# Debian's matplotlib falls back to the absolute /usr/share data path when mpl-data is not beside it.
ln -sfn ../../../../share/matplotlib/mpl-data "$root/usr/lib/python3/dist-packages/matplotlib/mpl-data"

{ has_everything "$root/usr/bin/python3.14" && can_make_venvs "$root/usr/bin/python3.14"; } \
    || die "the private root at $root is incomplete (log: $state/log)"
say "ready: $root/usr/bin/python3.14"
echo "$root/usr/bin/python3.14"
