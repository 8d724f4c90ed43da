#!/usr/bin/env bash
# Builds the x86 guest into OUT: a Debian amd64 root (whose kernel runs 32-bit
# programs) with 32-bit Wine, packed as an ext4 image, plus its kernel and
# initrd, and a 32-bit Wine prefix made once in a first boot.
#   build-image.sh OUT RUNNER
# RUNNER is scripts/x86-guest.sh, used for the first boot. Run as root.
set -euo pipefail
out=$1 runner=$2
here=$(cd "$(dirname "$0")" && pwd)
suite=bookworm
wine_user=updater-wine  # the user the project's Wine runner uses

# The Debian mirror this machine's apt already uses.
mirror() {
  local uri
  uri=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+' /etc/apt/sources.list.d/*.sources \
          /etc/apt/sources.list 2>/dev/null | grep -v security | awk '{print $2}' | head -1)
  [ -n "$uri" ] || { echo "x86 guest: no Debian mirror in this machine's apt sources" >&2; exit 1; }
  echo "$uri"
}

work=$out.partial
root=$work/root
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
bind() { mount --bind "/$1" "$root/$1"; mounted+=("$root/$1"); }

rm -rf "$work"
mkdir -p "$work"
step() { printf 'x86 guest: %s (%s)\n' "$*" "$(date +%T)"; }

step "debootstrap $suite (minbase, amd64)"
debootstrap --variant=minbase --arch=amd64 \
  --include=linux-image-amd64,initramfs-tools,kmod,procps,ca-certificates \
  "$suite" "$root" "$(mirror)" >"$work/debootstrap.log" 2>&1 \
  || { tail -20 "$work/debootstrap.log"; echo "x86 guest: debootstrap failed" >&2; exit 1; }

step "installing 32-bit Wine and the test tools in the root"
mapfile -t packages < <(grep -vE '^\s*(#|$)' "$here/packages.txt")
for d in proc sys dev dev/pts; do bind "$d"; done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
chroot "$root" /bin/sh -c "
  set -e
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  apt-get update -qq
  # No service starts in the chroot (nginx would).
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
  apt-get install -y -qq --no-install-recommends ${packages[*]}
  rm -f /usr/sbin/policy-rc.d
  apt-get clean
  rm -rf /var/lib/apt/lists/*
  useradd --system --create-home --home-dir /home/$wine_user --shell /usr/sbin/nologin $wine_user
" >"$work/chroot.log" 2>&1 || { tail -30 "$work/chroot.log"; echo "x86 guest: installing packages failed" >&2; exit 1; }
cleanup
mounted=()

install -m 755 "$here/init" "$root/sbin/guest-init"
cp -L "$root/vmlinuz" "$work/vmlinuz"
cp -L "$root/initrd.img" "$work/initrd.img"

step "packing the ext4 image"
truncate -s 6G "$work/root.img"
mkfs.ext4 -q -F -L guest -d "$root" "$work/root.img"
rm -rf "$root"

step "first boot: making the 32-bit Wine prefix"
job=$work/prefix-job
mkdir -p "$job"
cat >"$job/fonts.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
REG
cat >"$job/job.sh" <<'JOB'
set -e
export WINEPREFIX=/opt/wine-x86/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
mkdir -p /opt/wine-x86/home
chown updater-wine: /opt/wine-x86 /opt/wine-x86/home
install -m 644 /share/fonts.reg /tmp/fonts.reg
as_user() {
  runuser -u updater-wine -- env HOME=/opt/wine-x86/home WINEPREFIX="$WINEPREFIX" \
    WINEARCH="$WINEARCH" WINEDEBUG="$WINEDEBUG" WINEDLLOVERRIDES="$WINEDLLOVERRIDES" "$@"
}
as_user wineboot -i
as_user wine regedit /S 'Z:\tmp\fonts.reg'
as_user wineserver -w
grep -q 'WenQuanYi' /opt/wine-x86/prefix/system.reg
echo "prefix ready: $(du -sh /opt/wine-x86/prefix | cut -f1)"
JOB
UPDATER_GUEST_DIR=$work UPDATER_GUEST_WRITABLE=1 "$runner" run "$job" 600 \
  || { echo "x86 guest: making the Wine prefix in the guest failed" >&2; exit 1; }
rm -rf "$job"

rm -rf "$out"
mv "$work" "$out"
step "ready in $out ($(du -sh --apparent-size "$out/root.img" | cut -f1) image, $(du -sh "$out/root.img" | cut -f1) used)"
