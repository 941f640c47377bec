#!/usr/bin/env bash
# Debian's CPython for another processor, unpacked into a folder (nothing is installed on the
# host): `headers` gives DEST/include, the headers an extension module for that processor is
# compiled against; `runtime` gives DEST/root, a root tree holding the interpreter, NumPy and
# pytest with everything they load, to be run under qemu with `-L DEST/root`.
#
#   scripts/target-python.sh headers|runtime DEBIAN_ARCH SUITE DEST
#
# The packages come from SUITE (a Debian release with Python >= 3.12) through the mirror the
# host's apt already uses, with an apt state of its own under DEST, so that neither the host's
# package lists nor its installed packages change.
set -euo pipefail

mode=$1 arch=$2 suite=$3 dest=$4
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
state=$dest/apt
mkdir -p "$state/lists/partial" "$state/archives/partial"

# The host's Debian mirror, from either format of apt's sources.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources \
  2>/dev/null | grep -m1 '/debian/*$' || true)
if [[ -z "$mirror" ]]; then
  mirror=$(awk '$1 == "deb" { for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
    /etc/apt/sources.list 2>/dev/null | grep -m1 '/debian/*$' || true)
fi
if [[ -z "$mirror" ]]; then
  echo "error: no Debian mirror found in the host's apt sources" >&2
  exit 1
fi
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  >"$state/sources.list"
: >"$state/status"
apt_options=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
  -o "Dir::Cache=$state" -o "Dir::Cache::archives=$state/archives"
  -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o Debug::NoLocking=1
  -o APT::Install-Recommends=0 -o APT::Sandbox::User=root)

# Package lists are refreshed once a day at most.
if [[ -z $(find "$state/lists" -name '*Packages*' -mtime -1 -print -quit) ]]; then
  apt-get "${apt_options[@]}" update -qq
fi
# The newest CPython 3 in the suite, e.g. 3.13.
version=$(apt-cache "${apt_options[@]}" pkgnames python3. | sed -n 's/^python3\.\([0-9]\+\)$/\1/p' |
  sort -n | tail -1)
if [[ -z "$version" || "$version" -lt 12 ]]; then
  echo "error: $suite has no CPython >= 3.12 for $arch" >&2
  exit 1
fi
python=python3.$version

unpack() {  # unpacks every .deb in the archive cache into $1
  local deb
  for deb in "$state"/archives/*.deb; do
    dpkg-deb -x "$deb" "$1"
  done
}

case $mode in
headers)
  if [[ ! -f "$dest/include/Python.h" ]]; then
    rm -f "$state"/archives/*.deb
    (cd "$state/archives" && apt-get "${apt_options[@]}" download -qq "lib$python-dev")
    rm -rf "$dest/unpacked" "$dest/include"
    unpack "$dest/unpacked"
    # Debian's pyconfig.h picks the processor's copy by compiler macros; take that copy.
    cp -r "$dest/unpacked/usr/include/$python" "$dest/include"
    cp "$dest"/unpacked/usr/include/*-*/"$python"/pyconfig.h "$dest/include/pyconfig.h"
    rm -rf "$dest/unpacked"
  fi
  echo "$dest/include: headers of Python 3.$version for $arch"
  ;;
runtime)
  if [[ ! -x "$dest/root/usr/bin/$python" ]]; then
    rm -f "$state"/archives/*.deb
    apt-get "${apt_options[@]}" install -qq --download-only -y \
      "$python" python3-numpy python3-pytest python3-hypothesis >/dev/null
    rm -rf "$dest/root"
    unpack "$dest/root"
    # Merged /usr: the top-level links come from a package that nothing here depends on.
    for top in bin sbin lib; do
      [[ -e "$dest/root/$top" ]] || ln -s "usr/$top" "$dest/root/$top"
    done
    # BLAS and LAPACK are chosen by update-alternatives when installed; link the first one.
    for library in libblas.so.3 liblapack.so.3; do
      for found in "$dest"/root/usr/lib/*-*/*/"$library"; do
        [[ -e "$found" ]] || continue
        target=$(dirname "$(dirname "$found")")/$library
        [[ -e "$target" ]] || ln -s "${found#"$(dirname "$target")"/}" "$target"
        break
      done
    done
  fi
  echo "$dest/root: Python 3.$version for $arch with NumPy and pytest"
  ;;
*)
  echo "usage: $0 headers|runtime DEBIAN_ARCH SUITE DEST" >&2
  exit 2
  ;;
esac
