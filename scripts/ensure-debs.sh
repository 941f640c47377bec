#!/usr/bin/env bash
# Makes sure the Debian packages named as arguments are installed.
#
# Missing packages are installed with apt-get (after one `apt-get update`) when we run as
# root; otherwise the script names the exact command to run and fails, so that a Makefile
# target stops with one line a user can act on instead of a compiler or CMake error later.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "error: missing Debian packages; run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing Debian packages: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Another apt-get or dpkg run (an unattended upgrade, a second make target) may hold the
# package database for a while: wait for it rather than fail at once.
lock_wait=(-o DPkg::Lock::Timeout=600)
apt-get "${lock_wait[@]}" update -qq
apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
