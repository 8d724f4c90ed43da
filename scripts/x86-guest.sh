#!/usr/bin/env bash
# The x86 guest: a QEMU machine (software emulation) with 32-bit Wine, in which
# the x86 exes run as they would on a user's machine.
#   x86-guest.sh image              build the guest unless cached; print its folder
#   x86-guest.sh run DIR SECONDS    boot it with DIR shared as /share, run
#                                   /share/job.sh for at most SECONDS, power off;
#                                   prints the job's output, exits with its code
#   x86-guest.sh remove             delete every cached guest
# The guest is cached under UPDATER_GUEST_CACHE (default /var/cache/updater-x86-guest),
# keyed by a hash of its recipe (scripts/guest/), and reused by later runs. A run
# never changes it: the disk is opened read-only (-snapshot). Run as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${UPDATER_GUEST_CACHE:-/var/cache/updater-x86-guest}
boot_limit=${UPDATER_GUEST_BOOT_SECONDS:-180}

fail() { echo "x86 guest: $*" >&2; exit 1; }

guest_dir() {
  local key
  key=$(cat "$here/guest/build-image.sh" "$here/guest/init" "$here/guest/packages.txt" \
        | sha256sum | cut -c1-16)
  echo "$cache/$key"
}

image() {
  local dir
  dir=$(guest_dir)
  mkdir -p "$cache"
  # One build at a time; a second caller waits and then reuses it.
  exec 9>"$cache/.lock"
  flock 9
  if [ ! -f "$dir/root.img" ]; then
    [ "$(id -u)" -eq 0 ] || fail "building the guest needs root"
    local start=$SECONDS
    "$here/guest/build-image.sh" "$dir" "$0" >&2 || fail "building the guest failed"
    echo "x86 guest: built in $((SECONDS - start)) s" >&2
  fi
  flock -u 9
  echo "$dir"
}

qemu_pid=
tail_pid=
stop_qemu() {
  if [ -n "$tail_pid" ]; then
    kill "$tail_pid" 2>/dev/null || true
    tail_pid=
  fi
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$qemu_pid" 2>/dev/null || true
  fi
  qemu_pid=
  return 0
}

run() {
  local share seconds dir start
  share=$(cd "$1" && pwd) seconds=$2
  dir=${UPDATER_GUEST_DIR:-$(image)}
  [ -f "$dir/root.img" ] || fail "no guest image in $dir"
  rm -f "$share/booted" "$share/job.rc" "$share/job.log" "$share/console.log"
  echo "$seconds" >"$share/timeout"
  : >"$share/job.log"

  local snapshot=(-snapshot)
  [ -n "${UPDATER_GUEST_WRITABLE:-}" ] && snapshot=()
  trap stop_qemu EXIT INT TERM
  start=$SECONDS
  # -smap off: with it, 32-bit processes die in the guest kernel on iret.
  qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -cpu max,-smap -smp 2 -m 4096 \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/guest-init panic=-1 quiet" \
    -drive "file=$dir/root.img,format=raw,if=virtio,cache=unsafe" "${snapshot[@]}" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none" \
    -nic none -display none -serial "file:$share/console.log" -no-reboot \
    </dev/null >"$share/qemu.log" 2>&1 &
  qemu_pid=$!

  while [ ! -f "$share/booted" ]; do
    if ! kill -0 "$qemu_pid" 2>/dev/null; then
      tail -20 "$share/console.log" "$share/qemu.log" >&2
      fail "the guest stopped before it ran the job"
    fi
    if [ $((SECONDS - start)) -ge "$boot_limit" ]; then
      tail -20 "$share/console.log" >&2
      fail "the guest did not boot within $boot_limit s"
    fi
    sleep 0.5
  done
  echo "x86 guest: booted in $((SECONDS - start)) s" >&2
  tail -n +1 -f "$share/job.log" &
  tail_pid=$!

  # The guest bounds the job itself; this bounds the guest.
  local deadline=$((SECONDS + seconds + 60))
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      fail "the guest ran past $seconds s and was stopped"
    fi
    sleep 0.5
  done
  sleep 0.3
  stop_qemu
  [ -f "$share/job.rc" ] || fail "the job left no exit code (see $share/console.log)"
  local rc
  rc=$(cat "$share/job.rc")
  [ "$rc" = 124 ] || [ "$rc" = 137 ] && fail "the job ran past $seconds s and was stopped"
  echo "x86 guest: job ended with $rc after $((SECONDS - start)) s" >&2
  return "$rc"
}

case "${1:-}" in
  image) image ;;
  run) [ $# -eq 3 ] || fail "usage: x86-guest.sh run DIR SECONDS"; run "$2" "$3" ;;
  remove) rm -rf "$cache" && echo "removed $cache" ;;
  *) fail "usage: x86-guest.sh image | run DIR SECONDS | remove" ;;
esac
