#!/usr/bin/env bash
# Installs, as root, whatever the build and the tests need and is missing.
set -euo pipefail
packages=(cmake make g++ googletest clang-format libc-bin dpkg-dev unzip man-db "$@")
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
