#!/usr/bin/env bash
# Runs a 32-bit Windows program under 32-bit Wine on a 64-bit machine that
# cannot run 32-bit Linux programs itself:
#
#   scripts/wine32-env.sh [NAME=VALUE...] PROGRAM.exe [ARGUMENT...]
#   scripts/wine32-env.sh --prepare     only make what is kept (see below)
#
# Wine runs in an i386 Debian root whose 32-bit Linux side is run by
# qemu-i386 (user mode, registered with binfmt_misc for the run only). The
# work tree is bound at /host in the root, which Wine's drive Z: maps to:
# PROGRAM.exe is a path relative to the top of the work tree, and any path
# handed on in an ARGUMENT or a VALUE is written as Z:\host\... The NAME=VALUE
# pairs go into the program's environment. The exit code is the program's.
#
# Wine runs under the locale ru_RU.UTF-8, so that its ANSI code page is
# Windows-1251, as on a Russian Windows; scripts/add-locale.sh makes the
# locale in the root, also in one made before the locale was asked for.
#
# The root (about 870 MB), qemu-i386 and a fresh Wine prefix are made once and
# kept in $WINE32_CACHE (default /var/tmp/logharvest-wine32); later runs reuse
# them. Whatever else the run sets up (mounts, the binfmt_misc entry and its
# file system, Wine's processes) is taken down at the end, also on failure or
# interrupt, and the script checks that the mount table and binfmt_misc are
# as before and that an i386 program runs just as it did before: not at all.
#
# Needs root, mmdebstrap, arch-test and apt (make test-win32 installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD
mirror=${WINE32_MIRROR:-http://deb.debian.org/debian}
cache=${WINE32_CACHE:-/var/tmp/logharvest-wine32}
root=$cache/root
qemu=$cache/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
log() { echo "wine32-env: $*" >&2; }

[ "$(id -u)" = 0 ] || { log "needs root (mounts, binfmt_misc, chroot)"; exit 1; }
prepare=no
if [ "${1:-}" = --prepare ]; then
  prepare=yes
  shift
fi
[ $# -ge 1 ] || [ "$prepare" = yes ] || { log "usage: $0 [NAME=VALUE...] PROGRAM.exe [ARGUMENT...] | --prepare"; exit 2; }
mkdir -p "$cache"
# One run at a time per cache.
exec 9>/run/lock/logharvest-wine32.lock
flock 9

# The binfmt_misc entries are the kernel's, and machines that share a kernel
# (containers, a chroot, a CI host) share them; another run, or a program of
# the host, may register an i386 entry of its own at any time. So the entry's
# name carries this cache's own token, and no other entry is touched: the
# kernel tries the newest entry first, so ours serves this run whatever else
# is registered, and removing it leaves the others as they were.
[ -s "$cache/token" ] || head -c 4 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$cache/token"
entry=logharvest-i386-$(cat "$cache/token")

# The smallest i386 program: exit(42) by int 0x80. Whether it runs tells
# whether this machine runs i386 programs at all.
probe=$cache/probe-i386
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\064\0\0\0\0\0\0\0\0\0\0\0\064\0\040\0\1\0\050\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\140\0\0\0\140\0\0\0\5\0\0\0\0\020\0\0\273\052\0\0\0\270\1\0\0\0\315\200' >"$probe"
chmod 755 "$probe"
probe_result() {
  local code=0
  "$probe" >/dev/null 2>&1 || code=$?
  echo "exit $code"
}
binfmt_state() {  # the state of binfmt_misc, apart from this run's entry
  if [ -e "$binfmt/status" ]; then
    echo "status $(cat "$binfmt/status")"
    local name
    for name in $(ls "$binfmt"); do
      case $name in
        register | status | "$entry") ;;
        *) echo "$name $(tr '\n' ' ' <"$binfmt/$name")" ;;
      esac
    done
  else
    echo "binfmt_misc not mounted"
  fi
}

# A run that was killed outright leaves its mounts and entry behind: they
# are this cache's own (the lock is held), so they go before the state is
# taken.
sweep_leftovers() {
  local target
  while read -r target; do
    umount "$target" 2>/dev/null || umount -l "$target"
    log "removed a mount left by an earlier run: $target"
  done < <(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/self/mounts | sort -r)
  if [ -e "$binfmt/$entry" ]; then
    echo -1 >"$binfmt/$entry"
    log "removed a binfmt_misc entry left by an earlier run"
  fi
}
sweep_leftovers

# The mounts this script deals in: those in the root and binfmt_misc. (Other
# mounts may come and go meanwhile, made by others.)
our_mounts() { awk -v c="$cache/" -v b="$binfmt" 'index($2, c) == 1 || $2 == b' /proc/self/mounts; }
mounts_before=$(our_mounts)
binfmt_before=$(binfmt_state)
probe_before=$(probe_result)
mounted_binfmt=no
registered=no
server_started=no

# Wine's processes are those whose root directory is the i386 root.
root_processes() {
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && echo "$pid"
  done
  return 0
}

# Wine's settings: the Russian locale (ANSI code page 1251); no installer
# prompts for the .NET and HTML engines; console programs need no display.
wine_environment=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=ru_RU.UTF-8 WINEPREFIX=/root/prefix WINEDEBUG=-all
  "WINEDLLOVERRIDES=mscoree,mshtml=")
in_root() {  # COMMAND...: runs a command in the root with Wine's settings
  chroot "$root" /usr/bin/env -i "${wine_environment[@]}" "$@"
}

teardown() {
  local status=$? pids target failed=no
  trap - EXIT INT TERM
  if [ "$server_started" = yes ]; then
    in_root wineserver -k 2>/dev/null || true
    timeout 20 chroot "$root" /usr/bin/env -i "${wine_environment[@]}" wineserver -w 2>/dev/null || true
  fi
  for signal in TERM KILL; do
    pids=$(root_processes)
    [ -z "$pids" ] && break
    kill -s "$signal" $pids 2>/dev/null || true
    sleep 1
  done
  while read -r target; do
    umount "$target" 2>/dev/null || umount -l "$target" || failed=yes
  done < <(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/self/mounts | sort -r)
  if [ "$registered" = yes ] && [ -e "$binfmt/$entry" ]; then echo -1 >"$binfmt/$entry" || failed=yes; fi
  if [ "$mounted_binfmt" = yes ]; then umount "$binfmt" || failed=yes; fi
  # Everything as before, or the run fails.
  if [ "$(our_mounts)" != "$mounts_before" ]; then
    log "FAIL: the mount table differs from before the run:"
    diff <(echo "$mounts_before") <(our_mounts) >&2 || true
    failed=yes
  fi
  if [ -e "$binfmt/$entry" ]; then
    log "FAIL: the binfmt_misc entry $entry is still there"
    failed=yes
  fi
  # Whether i386 programs run as before says something only if no one else
  # changed binfmt_misc meanwhile.
  if [ "$(binfmt_state)" != "$binfmt_before" ]; then
    log "binfmt_misc was changed by another program during the run; the i386 probe is not compared"
  elif [ "$(probe_result)" != "$probe_before" ]; then
    log "FAIL: an i386 program now ends as [$(probe_result | tr '\n' ' ')], before as [${probe_before//$'\n'/ }]"
    failed=yes
  fi
  if [ -n "$(root_processes)" ]; then
    log "FAIL: processes still run in the root: $(root_processes | tr '\n' ' ')"
    failed=yes
  fi
  if [ "$failed" = yes ]; then
    status=1
  else
    log "torn down: mounts, binfmt_misc and i386 programs as before (the i386 probe: $probe_before)"
  fi
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# qemu-i386 10.x from bookworm-backports (bookworm's 7.2 makes Wine hang),
# fetched with a private apt state so that nothing else of the machine
# comes from backports. The binary is static: it runs in any root.
if [ ! -x "$qemu" ]; then
  log "fetching qemu-i386 from bookworm-backports"
  apt_dir=$cache/apt
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/deb"
  echo "deb $mirror bookworm-backports main" >"$apt_dir/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Dir::State::Status=/dev/null
    -o APT::Architecture=amd64 -o APT::Sandbox::User=root -q)
  apt-get "${apt_options[@]}" update >&2
  (cd "$apt_dir/deb" && apt-get "${apt_options[@]}" download qemu-user/bookworm-backports >&2)
  dpkg-deb --fsys-tarfile "$apt_dir"/deb/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$qemu.tmp"
  chmod 755 "$qemu.tmp"
  mv "$qemu.tmp" "$qemu"
  rm -rf "$apt_dir"
fi

# i386 ELF programs go to qemu-i386. F: the interpreter is opened now, so
# it need not exist inside the root.
if [ ! -e "$binfmt/status" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
  mounted_binfmt=yes
fi
[ "$(cat "$binfmt/status")" = enabled ] || { log "binfmt_misc is disabled on this machine"; exit 1; }
# A killed run's entry, if binfmt_misc was not mounted at the sweep.
if [ -e "$binfmt/$entry" ]; then echo -1 >"$binfmt/$entry"; fi
magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":$entry:M::$magic:$mask:$qemu:F" >"$binfmt/register"
registered=yes
[ "$(probe_result)" = "exit 42" ] || { log "qemu-i386 does not run i386 programs: $(probe_result)"; exit 1; }

# The root: bookworm for i386 with the 32-bit Wine, and the locales.
if [ ! -e "$cache/root.done" ]; then
  log "making the i386 root with wine32 (several minutes, once)"
  start=$(date +%s)
  rm -rf "$root"
  # Every program of the set-up runs emulated: no documentation, no syncs.
  # The entry above runs them (check/qemu would look for one of another name).
  mmdebstrap --arch=i386 --skip=check/qemu --variant=minbase --include=wine32,wine,locales --dpkgopt=force-unsafe-io \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' bookworm "$root" "$mirror" >&2
  mkdir -p "$root/host"
  touch "$cache/root.done"
  log "root made in $(($(date +%s) - start)) s"
fi

mount --bind /proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount --bind "$tree" "$root/host"
"$tree/scripts/add-locale.sh" "$root"

# One prefix, made once and kept as a template; each run starts on a copy.
# One server for every program of the run.
if [ ! -e "$cache/prefix.done" ]; then
  log "making the Wine prefix (once)"
  start=$(date +%s)
  rm -rf "$root/root/prefix-template" "$root/root/prefix"
  in_root mkdir -p /root/prefix
  server_started=yes
  in_root wineserver -p
  in_root wine wineboot --init >&2
  in_root wineserver -k || true
  in_root wineserver -w || true
  mv "$root/root/prefix" "$root/root/prefix-template"
  touch "$cache/prefix.done"
  log "prefix made in $(($(date +%s) - start)) s"
fi
if [ "$prepare" = yes ]; then
  log "root, qemu-i386 and prefix ready in $cache"
  exit 0
fi
rm -rf "$root/root/prefix"
cp -a "$root/root/prefix-template" "$root/root/prefix"
server_started=yes
in_root wineserver -p

environment=()
while [ $# -gt 0 ] && [[ $1 == *=* ]]; do
  environment+=("$1")
  shift
done
[ $# -ge 1 ] || { log "no program given"; exit 2; }
program=$1
shift
# Waited for in the background, so that a signal ends the wait at once.
in_root env "${environment[@]}" sh -c 'cd /host && exec wine "$@"' wine "$program" "$@" </dev/null &
status=0
wait $! || status=$?
exit "$status"
