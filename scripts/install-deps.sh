#!/usr/bin/env bash
# Installs, as root, whatever is missing of the packages that a make target
# needs.
#
#   scripts/install-deps.sh PKG...          the build and the tests' packages, and PKG...
#   scripts/install-deps.sh --only PKG...   PKG... alone (make demo: a compiler and CMake)
set -euo pipefail
if [ "${1:-}" = --only ]; then
  shift
  packages=("$@")
else
  packages=(cmake make g++ googletest clang-format libc-bin dpkg-dev unzip man-db "$@")
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
