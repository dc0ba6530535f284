#!/usr/bin/env bash
# Runs a test against a booted systemd with the package installed:
#
#   scripts/systemd-env.sh PACKAGE.deb COMMAND [ARGUMENT...]
#   scripts/systemd-env.sh --prepare     only make the root (see below)
#
# A Debian 12 root with systemd is booted with systemd as PID 1 of a new PID
# and mount namespace; PACKAGE.deb is installed in it with dpkg, and COMMAND
# runs on this machine with LOGHARVEST_SYSTEMD_ROOT (the root's directory)
# and LOGHARVEST_SYSTEMD_PID (systemd's process): `nsenter -t PID -m -p -r -w
# COMMAND` runs a command in the booted system (-r -w: in systemd's root; a
# chroot by name would resolve ROOT from the namespace's own root, which is
# not this process's where this runs in a chroot itself), and the files of
# ROOT/srv are those that its units see. The exit code is COMMAND's.
#
# The root (about 250 MB) is made once and kept in $SYSTEMD_CACHE (default
# /var/tmp/logharvest-systemd). Each run starts from it with the package's
# earlier install, the units enabled by earlier runs and ROOT/srv removed;
# at the end systemd is powered off (killed if it does not end in 20 s) and
# the namespace, with every mount made in it, goes with it.
#
# Needs root, mmdebstrap and util-linux (make test-systemd installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
mirror=${SYSTEMD_MIRROR:-http://deb.debian.org/debian}
cache=${SYSTEMD_CACHE:-/var/tmp/logharvest-systemd}
root=$cache/root
log() { echo "systemd-env: $*" >&2; }

[ "$(id -u)" = 0 ] || { log "needs root (namespaces, mounts, chroot)"; exit 1; }
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

if [ ! -e "$cache/root.done" ]; then
  log "making the root with systemd (about a minute, once)"
  start=$(date +%s)
  rm -rf "$root"
  # inotify-tools: what the package depends on, so that dpkg alone installs it;
  # man-db, so that the units' manual page is looked up as they name it.
  mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus,inotify-tools,man-db --dpkgopt=force-unsafe-io \
    --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' bookworm "$root" "$mirror" >&2
  # What a container has no use for, and would wait on at boot.
  for unit in getty.target console-getty.service systemd-firstboot.service systemd-networkd-wait-online.service; do
    ln -sf /dev/null "$root/etc/systemd/system/$unit"
  done
  touch "$cache/root.done"
  log "root made in $(($(date +%s) - start)) s"
fi
if [ "${1:-}" = --prepare ]; then
  log "root ready in $cache"
  exit 0
fi
[ $# -ge 2 ] || { log "usage: $0 PACKAGE.deb COMMAND [ARGUMENT...] | --prepare"; exit 2; }
package=$1
shift

# What earlier runs left in the root.
rm -rf "$root/srv" "$root/etc/systemd/system/"*.wants/logharvest@* "$root/etc/systemd/system/logharvest@"* \
  "$root/var/lib/probe"
chroot "$root" dpkg --purge logharvest >/dev/null 2>&1 || true
mkdir -p "$root/srv"

boot=$(mktemp)
unshare --pid --fork --mount --propagation private /bin/sh -c '
  root=$1
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/sys/fs/cgroup"
  mkdir "$root/sys/fs/cgroup/unified" "$root/sys/fs/cgroup/systemd"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup/unified"
  mount -t cgroup -o none,name=systemd cgroup "$root/sys/fs/cgroup/systemd"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" /usr/bin/env -i container=other /lib/systemd/systemd --system
' sh "$root" >"$boot" 2>&1 &
unshare_pid=$!
pid=
teardown() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$pid" ]; then
    nsenter -t "$pid" -m -p -r -w systemctl --no-block poweroff 2>/dev/null || true
  fi
  for _ in $(seq 200); do
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$unshare_pid" 2>/dev/null; then
    log "systemd did not power off in 20 s: killed"
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    wait "$unshare_pid" 2>/dev/null || true
  fi
  rm -f "$boot"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for _ in $(seq 100); do
  pid=$(pgrep -P "$unshare_pid" || true)
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { cat "$boot" >&2; log "systemd did not start"; exit 1; }
in_root() { nsenter -t "$pid" -m -p -r -w "$@"; }
state=
for _ in $(seq 300); do
  state=$(in_root systemctl is-system-running 2>/dev/null || true)
  case $state in running | degraded) break ;; esac
  sleep 0.1
done
if [ "$state" != running ]; then
  log "the system is $state after 30 s:"
  in_root systemctl --failed --no-pager >&2 || true
  tail -n 20 "$boot" >&2
  exit 1
fi
log "booted: systemd $(in_root systemctl --version | head -n 1 | cut -d' ' -f2) is $state"
# The package, installed in the running system as an administrator would.
cp "$package" "$root/root/logharvest.deb"
in_root dpkg -i /root/logharvest.deb >/dev/null
rm "$root/root/logharvest.deb"

status=0
LOGHARVEST_SYSTEMD_ROOT=$root LOGHARVEST_SYSTEMD_PID=$pid "$@" || status=$?
exit "$status"
