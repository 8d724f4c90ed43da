#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix inside the build tree.
#   wine-run.sh ROOT --init        create the prefix
#   wine-run.sh ROOT --persist     keep this prefix's wineserver up until --kill
#   wine-run.sh ROOT --kill        end this prefix's wineserver
#   wine-run.sh ROOT PROGRAM ARGS  run PROGRAM, bounded in time
# As root, Wine runs as an ordinary user: root would bypass the file
# permissions through which Wine models read-only files.
# UPDATER_WINE_ARCH picks the prefix kind (win64, or win32 in the x86 guest);
# with UPDATER_WINE_TEMPLATE, --init copies that ready prefix instead of booting one.
set -u
root=$1; shift
user=updater-wine
run_timeout=${UPDATER_WINE_TIMEOUT:-300}

export WINEPREFIX=$root/prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=${UPDATER_WINE_ARCH:-win64}
[ -n "${UPDATER_WINE_DISPLAY:-}" ] && export DISPLAY=$UPDATER_WINE_DISPLAY || unset DISPLAY

as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$user" -- env HOME="$root/home" WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" \
      WINEDLLOVERRIDES="$WINEDLLOVERRIDES" WINEARCH="$WINEARCH" ${DISPLAY:+DISPLAY="$DISPLAY"} \
      ${UPDATER_WINE_ENV:-} "$@"
  else
    HOME=${UPDATER_WINE_HOME:-$HOME} "$@"
  fi
}

# A checkout under a private folder (root's home, say) is out of the user's
# reach: let it pass through each such ancestor, and nothing more.
grant_traverse() {
  local dir=$1
  [ "$dir" = / ] && return
  grant_traverse "$(dirname "$dir")"
  runuser -u "$user" -- test -x "$dir" 2>/dev/null || setfacl -m "u:$user:x" "$dir"
}

prepare_root() {
  mkdir -p "$root"
  if [ "$(id -u)" -eq 0 ]; then
    id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    mkdir -p "$root/home"
    chown "$user:" "$root" "$root/home"
    grant_traverse "$(cd "$root/.." && pwd)"
  fi
}

case "${1:-}" in
  --init)
    rm -rf "$root"
    prepare_root
    if [ -n "${UPDATER_WINE_TEMPLATE:-}" ]; then
      cp -a "$UPDATER_WINE_TEMPLATE" "$WINEPREFIX" || exit 1
      [ "$(id -u)" -eq 0 ] && chown -R "$user:" "$WINEPREFIX"
      echo "wine prefix ready: $WINEPREFIX (from $UPDATER_WINE_TEMPLATE)"
      exit 0
    fi
    as_user timeout --kill-after=10 "$run_timeout" wineboot -i >"$root/wineboot.log" 2>&1
    status=$?
    as_user timeout 60 wineserver -w
    [ $status -eq 0 ] && echo "wine prefix ready: $WINEPREFIX" || { cat "$root/wineboot.log"; exit $status; }
    ;;
  --persist)
    as_user wineserver -p
    ;;
  --kill)
    [ -d "$WINEPREFIX" ] && as_user timeout 30 wineserver -k
    exit 0
    ;;
  *)
    [ -d "$WINEPREFIX" ] || { echo "wine-run: no prefix at $WINEPREFIX; run --init first" >&2; exit 2; }
    program=$1; shift
    as_user timeout --kill-after=10 "$run_timeout" wine "$program" "$@"
    ;;
esac
