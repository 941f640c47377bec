#!/usr/bin/env bash
# Installs the wheel from DIST into a fresh venv, as a user would, and runs the pytest suite
# against it with no C or C++ compiler reachable: the wheel must bring everything it needs.
#
#   scripts/test-wheel.sh PYTHON DIST WORKDIR [PYTEST ARGS...]   (default: the whole suite)
set -euo pipefail

python=$1 dist=$(cd "$2" && pwd) work=$3
shift 3
repo=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$work"
mkdir -p "$work/bin" "$work/run"
work=$(cd "$work" && pwd)

# PATH without compilers: every program of the current PATH except the C and C++ drivers.
IFS=: read -r -a path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
  [[ -d "$dir" ]] || continue
  for program in "$dir"/*; do
    name=${program##*/}
    case $name in
      cc | c++ | gcc* | g++* | cpp | cpp-* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | tcc | icx | icpx) continue ;;
    esac
    [[ -x "$program" && ! -e "$work/bin/$name" ]] && ln -s "$program" "$work/bin/$name"
  done
done

"$python" -m venv "$work/venv"
export PATH="$work/venv/bin:$work/bin"
for compiler in cc c++ gcc g++ clang clang++; do
  if command -v "$compiler" >/dev/null; then
    echo "error: $compiler still on PATH" >&2
    exit 1
  fi
done

wheels=("$dist"/tacitor-*.whl)
# Binary packages only: with no compiler, nothing may be built from source.
python -m pip install -q --upgrade pip
python -m pip install -q --only-binary=:all: --find-links "$dist" tacitor \
  -r "$repo/requirements-test.txt"
python -m pip list 2>/dev/null | grep -i '^tacitor '
echo "wheels in $dist: ${wheels[*]##*/}"

# The suite must see the installed module, not anything in the source tree.
cd "$work/run"
python -c 'import sys, tacitor; print("tacitor:", tacitor.__file__); sys.exit(not tacitor.__file__.startswith(sys.prefix))'
if [[ $# -eq 0 ]]; then
  set -- "$repo/tests/python"
fi
python -m pytest -q -p no:cacheprovider "$@"
