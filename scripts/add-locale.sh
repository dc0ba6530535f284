#!/usr/bin/env bash
# Makes the locale ru_RU.UTF-8 exist in the system at ROOT (default /), as
# root:
#
#   scripts/add-locale.sh [ROOT]
#
# The Windows programs are tested under it. Wine takes its ANSI code page
# from the Unix locale, and only from one that exists: under LANG=ru_RU.UTF-8
# it is Windows-1251 (and the OEM code page 866), as on a Russian Windows;
# under C.UTF-8, or a locale that is not there, it is Windows-1252, which
# holds no Cyrillic letter.
#
# Installs the package locales with ROOT's own apt-get when it is missing,
# enables the locale in ROOT's /etc/locale.gen (so that a later locale-gen
# keeps it) and generates it with locale-gen, keeping the locales there
# already. Does nothing when the locale exists.
set -euo pipefail
root=${1:-/}
log() { echo "add-locale: $*" >&2; }

in_root() {  # [NAME=VALUE...] COMMAND...: runs a command in ROOT
  if [ "$root" = / ]; then
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
  else
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
  fi
}
has_locale() { in_root locale -a 2>/dev/null | grep -qx 'ru_RU\.utf8'; }

[ "$(id -u)" = 0 ] || { log "needs root"; exit 1; }
has_locale && exit 0
start=$(date +%s)
if [ ! -x "${root%/}/usr/sbin/locale-gen" ]; then
  log "installing the package locales in $root"
  in_root DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  in_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends locales >&2
fi
list=${root%/}/etc/locale.gen
if grep -qE '^# *ru_RU\.UTF-8 UTF-8$' "$list"; then
  sed -i -E 's/^# *(ru_RU\.UTF-8 UTF-8)$/\1/' "$list"
elif ! grep -qx 'ru_RU\.UTF-8 UTF-8' "$list"; then
  echo 'ru_RU.UTF-8 UTF-8' >>"$list"
fi
in_root locale-gen --keep-existing >&2
has_locale || { log "ru_RU.UTF-8 is still missing in $root"; exit 1; }
log "ru_RU.UTF-8 made in $root in $(($(date +%s) - start)) s"
