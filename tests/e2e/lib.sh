# Shared by the end-to-end scenarios and the main job: a throwaway Wine prefix
# with a virtual display, the client installed in C:\Kelvo, helpers to stage
# files, start processes, find dialogs and press their buttons.
# Needs: REPO, ROOT (throwaway folder), UPDATER_EXE, CLIENT_EXE.

WINE_RUN="$REPO/scripts/wine-run.sh"
WINE_USER=$([ "$(id -u)" -eq 0 ] && echo updater-wine || id -un)
CAPTION="Kelvo提示您"
export UPDATER_WINE_TIMEOUT=${UPDATER_WINE_TIMEOUT:-240}
# Every wait below is stretched by this factor on a slow machine (the x86 guest
# emulates its CPU).
PATIENCE=${E2E_PATIENCE:-1}
# Polls of 0.1 s for three times SECONDS: every wait ends as soon as its
# condition holds, so the bound is generous enough for a machine busy with
# other work. for _ in $(polls SECONDS); do ...
polls() { seq $(($1 * 30 * PATIENCE)); }

# The client notes a line before it fetches, so a note is not yet its outcome.
wait_outcome() {
  local outcome='^((check|fetch|apply): code|started the updater|the updater did not start|refused|staging)'
  for _ in $(polls 15); do
    grep -qE "$outcome" "$KELVO/KelvoClient.launch" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

wait_until() {  # wait_until SECONDS COMMAND [ARGS...]
  local seconds=$1
  shift
  for _ in $(polls "$seconds"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

wine_do() { "$WINE_RUN" "$ROOT" "$@"; }
# Files made here belong to the user Wine runs as.
own() { [ "$(id -u)" -ne 0 ] || chown -R "$WINE_USER:" "$@"; }
win_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

start_display() {
  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -ac 3>"$fdfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.1; done
  [ -s "$fdfile" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(cat "$fdfile")" UPDATER_WINE_DISPLAY=":$(cat "$fdfile")"
  rm -f "$fdfile"
}

# A throwaway CA and a certificate for 127.0.0.1 that it signed, and the same
# from a second CA that nobody trusts, in TLS_DIR: ca, server, stranger-ca,
# stranger (.pem, .key).
make_certs() {
  TLS_DIR=$ROOT/tls
  [ -s "$TLS_DIR/stranger.pem" ] && return 0
  mkdir -p "$TLS_DIR"
  (
    cd "$TLS_DIR" || exit 1
    # The name in the common name, not an IP entry of subjectAltName: Wine
    # matches a host against the DNS entries only.
    printf 'extendedKeyUsage=serverAuth\n' >server.ext
    for pair in server:ca stranger:stranger-ca; do
      name=${pair%%:*} ca=${pair#*:}
      openssl req -x509 -newkey rsa:2048 -nodes -days 3 -subj "/CN=Kelvo test $ca" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$ca.key" -out "$ca.pem" &&
        openssl req -new -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 \
          -keyout "$name.key" -out "$name.csr" &&
        openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial \
          -days 3 -extfile server.ext -out "$name.pem" || exit 1
    done
  ) >"$ROOT/tls.log" 2>&1 || { cat "$ROOT/tls.log" >&2; return 1; }
  chmod -R a+rX "$TLS_DIR"
}

# Trusts the test CA in this Wine prefix only, as a machine root certificate
# in the prefix's registry; the machine's own trust is not touched.
trust_test_ca() {
  make_certs || return 1
  python3 - "$TLS_DIR/ca.pem" >"$ROOT/trust.reg" <<'PY' || return 1
import hashlib, ssl, struct, sys
der = ssl.PEM_cert_to_DER_cert(open(sys.argv[1]).read())
# A serialized certificate: property 32 (the encoded certificate), X.509 ASN.1.
blob = struct.pack("<III", 32, 1, len(der)) + der
print("REGEDIT4\n")
print("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\%s]"
      % hashlib.sha1(der).hexdigest().upper())
print('"Blob"=hex:' + ",".join("%02x" % b for b in blob))
PY
  own "$ROOT/trust.reg"
  wine_do regedit /S "$(win_path "$ROOT/trust.reg")"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
listening() {  # listening PORT [HOST]
  for _ in $(polls 10); do
    python3 -c "import socket; socket.create_connection(('${2:-127.0.0.1}', $1), 1)" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# nginx on free loopback ports, serving FOLDER: over HTTP on WEB_PORT, over
# HTTPS on TLS_PORT (the test CA's certificate) and on STRANGER_PORT (one of
# an untrusted CA).
serve_releases() {  # serve_releases FOLDER
  local state=$ROOT/nginx
  rm -rf "$state" && mkdir -p "$state"
  make_certs || return 1
  WEB_PORT=$(free_port) TLS_PORT=$(free_port) STRANGER_PORT=$(free_port)
  sed -e "s|ROOT|$1|; s|STRANGER_PORT|$STRANGER_PORT|; s|TLS_PORT|$TLS_PORT|; s|PORT|$WEB_PORT|" \
    -e "s|TLS/|$TLS_DIR/|; s|STATE|$state|g" "$REPO/tests/e2e/nginx.conf" >"$state/nginx.conf"
  # As root, its workers read as the Wine user, who owns the folders.
  [ "$(id -u)" -ne 0 ] || sed -i "1i user $WINE_USER;" "$state/nginx.conf"
  nginx -c "$state/nginx.conf" -p "$state" -e "$state/error.log" || return 1
  listening "$WEB_PORT" && listening "$TLS_PORT" && listening "$STRANGER_PORT"
}
# squid on a free loopback port (PROXY_HOST:PROXY_PORT), caching nothing, for
# this machine's own clients only; it logs each request to $ROOT/squid/access.log.
# Not on 127.0.0.1, where nginx is: Wine's WinHTTP sends a proxy of the same
# host name as the server the server's form of the request ("GET /path"),
# which a proxy refuses; Windows sends the whole address to any proxy.
PROXY_HOST=127.0.0.2
serve_proxy() {
  local state=$ROOT/squid
  rm -rf "$state" && mkdir -p "$state"
  PROXY_PORT=$(free_port)
  cat >"$state/squid.conf" <<CONF
http_port $PROXY_HOST:$PROXY_PORT
pid_filename $state/squid.pid
access_log stdio:$state/access.log squid
cache_log $state/cache.log
cache_store_log none
cache deny all
pinger_enable off
shutdown_lifetime 0 seconds
coredump_dir $state
acl loopback src 127.0.0.0/8
http_access allow loopback
http_access deny all
CONF
  # It drops to its own user, which writes the logs.
  chmod -R a+rwX "$state"
  squid -f "$state/squid.conf" -N >"$state/out.log" 2>&1 &
  PROXY_PID=$!
  listening "$PROXY_PORT" "$PROXY_HOST"
}

# The user's proxy in this prefix, as Windows' settings write it: the
# Internet Settings values and the connection's settings blob (flags 3: direct
# and proxy; 1: direct alone).
set_user_proxy() {  # set_user_proxy HOST:PORT, or nothing for none
  python3 - "${1:-}" >"$ROOT/proxy.reg" <<'PY' || return 1
import struct, sys
proxy = sys.argv[1].encode()
blob = struct.pack("<IIII", 0x46, 1, 3 if proxy else 1, len(proxy)) + proxy + bytes(8 + 32)
print("REGEDIT4\n")
print("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]")
print('"ProxyEnable"=dword:%08x' % (1 if proxy else 0))
print('"ProxyServer"="%s"\n' % proxy.decode())
print("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections]")
print('"DefaultConnectionSettings"=hex:' + ",".join("%02x" % b for b in blob))
PY
  own "$ROOT/proxy.reg"
  wine_do regedit /S "$(win_path "$ROOT/proxy.reg")"
}

stop_serving() {
  [ -n "${PROXY_PID:-}" ] && kill "$PROXY_PID" 2>/dev/null && wait "$PROXY_PID" 2>/dev/null
  PROXY_PID=
  [ -f "$ROOT/nginx/nginx.pid" ] && kill "$(cat "$ROOT/nginx/nginx.pid")" 2>/dev/null
  [ -n "${MISBEHAVE_PID:-}" ] && kill "$MISBEHAVE_PID" 2>/dev/null
  MISBEHAVE_PID=
  return 0
}

# The scripted server (misbehave.py) on FOLDER: BAD_PORT (HTTP), BAD_TLS_PORT.
serve_misbehaving() {  # serve_misbehaving FOLDER
  make_certs || return 1
  rm -f "$ROOT/misbehave.ports"
  python3 "$REPO/tests/e2e/misbehave.py" "$1" "$TLS_DIR/server.pem" "$TLS_DIR/server.key" \
    "$ROOT/misbehave.ports" 2>"$ROOT/misbehave.log" &
  MISBEHAVE_PID=$!
  for _ in $(polls 10); do [ -s "$ROOT/misbehave.ports" ] && break; sleep 0.1; done
  read -r BAD_PORT BAD_TLS_PORT <"$ROOT/misbehave.ports" 2>/dev/null || return 1
  listening "$BAD_PORT" && listening "$BAD_TLS_PORT"
}

stop_everything() {
  stop_serving
  kill_clients
  [ -d "$ROOT/prefix" ] && "$WINE_RUN" "$ROOT" --kill
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  return 0
}

# A fresh prefix: CJK font for dialogs, Wine-drawn captions (there is no window
# manager), and a "browser" that only records the address it is given.
make_prefix() {
  "$WINE_RUN" "$ROOT" --init >/dev/null || return 1
  PREFIX="$ROOT/prefix"
  cat >"$ROOT/browser.sh" <<SH
#!/bin/sh
printf '%s\n' "\$*" >> "$ROOT/browser.log"
SH
  chmod 755 "$ROOT/browser.sh"
  cat >"$ROOT/setup.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Decorated"="N"

[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]
"Browsers"="$ROOT/browser.sh"
REG
  own "$ROOT/browser.sh" "$ROOT/setup.reg"
  wine_do regedit /S "$(win_path "$ROOT/setup.reg")" || return 1
  APPDATA_DIR=$(wine_do cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r' | tail -1)
  APPDATA_UNIX="$PREFIX/drive_c/${APPDATA_DIR#C:\\}"
  APPDATA_UNIX=$(printf '%s' "$APPDATA_UNIX" | tr '\\' /)
  CLIENT_ROOT="$APPDATA_UNIX/KelvoClient"
  STAGING="$CLIENT_ROOT/UPDATE_TEMP"
  CACHE="$CLIENT_ROOT/AppCache/Cache"
}

# Holds this prefix's desktop until stop_everything, as a logged-on user's shell
# holds Windows' own. Wine closes its desktop a second after the last program on
# it ends; a program started while that desktop goes away (seconds long in the
# emulated x86 guest) may get no window at all, and its message box never shows.
hold_desktop() {  # hold_desktop KEEPER_EXE
  cp "$1" "$ROOT/desktop_keeper.exe" && own "$ROOT/desktop_keeper.exe" || return 1
  rm -f "$ROOT/desktop.held"
  # The first program may itself meet a desktop process slow to start, and end
  # without a window: another start finds that desktop up.
  local keeper
  for _ in 1 2 3; do
    UPDATER_WINE_TIMEOUT=$((6 * 3600)) "$WINE_RUN" "$ROOT" "$(win_path "$ROOT/desktop_keeper.exe")" \
      "$(win_path "$ROOT/desktop.held")" >/dev/null 2>&1 &
    keeper=$!
    for _ in $(polls 30); do
      [ -f "$ROOT/desktop.held" ] && return 0
      kill -0 "$keeper" 2>/dev/null || break
      sleep 0.1
    done
  done
  return 1
}

# C:\NAME with the updater, optionally the client, and installed files.
install_into() {
  local dir="$PREFIX/drive_c/$1" with_client=$2
  rm -rf "$dir" && mkdir -p "$dir"
  cp "$UPDATER_EXE" "$dir/updater.exe"
  [ "$with_client" = with-client ] && cp "$CLIENT_EXE" "$dir/KelvoClient.exe"
  own "$dir"
}

put() {  # put FILE CONTENT
  mkdir -p "$(dirname "$1")"
  printf '%s' "$2" >"$1"
  own "$CLIENT_ROOT" 2>/dev/null
  own "$1"
}

# The stand-in client, started as a user would, from its own folder. Further
# arguments ask it to update through the launch library; the updater it starts
# inherits its Wine trace, so the updater's message boxes show in shown_texts.
start_client() {  # start_client DIR [ARGS...]
  local name=$1 dir="$PREFIX/drive_c/$1" starts
  shift
  starts=$(starts_noted "$dir")
  rm -f "$ROOT/msgbox.log"
  (cd "$dir" && WINEDEBUG=trace+msgbox exec "$WINE_RUN" "$ROOT" "C:\\$name\\KelvoClient.exe" "$@" \
     >/dev/null 2>"$ROOT/msgbox.log") &
  CLIENT_WINE_PID=$!
  for _ in $(polls 10); do [ "$(starts_noted "$dir")" -gt "$starts" ] && return 0; sleep 0.1; done
  echo "the stand-in client did not start" >&2
  return 1
}

# Windows processes under Wine carry their image path as command line; the
# wrappers that started them (timeout, runuser) do not start with it.
CLIENT_PATTERN='^([A-Za-z]:[^ ]*\\)?KelvoClient\.exe( |$)'
# Only this prefix's processes: another Wine workload of the same user may run
# beside the scenarios.
prefix_pids() {  # prefix_pids PATTERN
  local pid
  for pid in $(pgrep -u "$WINE_USER" -f "$1"); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$ROOT/prefix" && echo "$pid"
  done
  return 0
}
running_clients() { prefix_pids "$CLIENT_PATTERN" | wc -l; }
kill_clients() {
  local pids
  pids=$(prefix_pids "$CLIENT_PATTERN")
  [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
  sleep 0.5
  return 0
}
# Waits up to 15 s (times PATIENCE) for the client to have noted N starts, then says how many.
wait_starts() {  # wait_starts FOLDER N
  for _ in $(polls 15); do [ "$(starts_noted "$1")" -ge "$2" ] && break; sleep 0.1; done
  starts_noted "$1"
}
starts_noted() { [ -f "$1/KelvoClient.started" ] && wc -l <"$1/KelvoClient.started" || echo 0; }

# Starts the updater in the background with DIR as working directory.
start_updater() {  # start_updater DIR(C:\ name) PROGRAM ARGS...
  local dir="$PREFIX/drive_c/$1"; shift
  rm -f "$ROOT/updater.rc" "$ROOT/msgbox.log"
  (cd "$dir" && WINEDEBUG=trace+msgbox "$WINE_RUN" "$ROOT" "$@" 2>"$ROOT/msgbox.log" >/dev/null
   echo $? >"$ROOT/updater.rc") &
  UPDATER_JOB=$!
}

wait_updater() {
  for _ in $(polls 30); do [ -f "$ROOT/updater.rc" ] && break; sleep 0.1; done
  wait "$UPDATER_JOB" 2>/dev/null
  cat "$ROOT/updater.rc" 2>/dev/null || echo "still running"
}

# The window id of a top-level window whose caption is exactly NAME.
# Searched again and again rather than with --sync: Debian's xdotool ends its
# whole search on a BadWindow error, which any window closing meanwhile raises.
# Each search starts xdotool, slow in the x86 guest: the bound is also kept by the clock.
wait_window() {  # wait_window NAME SECONDS
  local id deadline=$((SECONDS + $2 * 3 * PATIENCE))
  for _ in $(polls "$2"); do
    id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    [ "$SECONDS" -lt "$deadline" ] || return 0
    sleep 0.1
  done
}

press_ok() {  # the default button, as a user pressing Enter
  # --sync waits for the focus without a bound of its own.
  timeout $((5 * PATIENCE)) xdotool windowfocus --sync "$1" 2>/dev/null
  xdotool key --clearmodifiers Return
}

# Presses OK until that box is gone: on a busy machine a key press can come
# before the box takes input, and a box left up would stand in for the next.
answer() {  # answer WINDOW
  for _ in $(seq $((60 * PATIENCE))); do
    press_ok "$1"
    for _ in $(seq 10); do
      xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
      sleep 0.1
    done
  done
  echo "the box $1 did not go" >&2
  return 1
}

# A box found by its name may not be drawn yet; a picture that cannot be had is
# noted, and never keeps the box from being answered.
screenshot() {  # screenshot WINDOW FILE
  mkdir -p "$(dirname "$2")"
  for _ in $(polls 5); do
    import -display "$DISPLAY" -window "$1" "$2" 2>/dev/null && return 0
    xdotool getwindowname "$1" >/dev/null 2>&1 || break
    sleep 0.1
  done
  echo "    (no screenshot: $2)"
  return 1
}
keep_and_answer() {  # keep_and_answer WINDOW FILE
  [ -n "$1" ] || return 0
  screenshot "$1" "$2"
  answer "$1"
}

# What was on the screen when a scenario failed, said in the log: a lane that is
# stopped keeps its log, not its artifacts.
note_screen() {  # note_screen FILE
  local names
  names=$(timeout $((10 * PATIENCE)) xdotool search --onlyvisible --name . getwindowname %@ \
          2>/dev/null | sort -u | paste -sd '|')
  printf '    (windows shown: %s)\n' "${names:-none}"
  grep -v -e MSGBOX_OnInit -e ':fixme:' "$ROOT/msgbox.log" 2>/dev/null | tail -5 | sed 's/^/    (updater: /; s/$/)/'
  mkdir -p "$(dirname "$1")" && import -display "$DISPLAY" -window root "$1" 2>/dev/null
  return 0
}

# The texts of the message boxes shown so far, decoded from Wine's trace.
shown_texts() {
  python3 - "$ROOT/msgbox.log" <<'PY'
import re, sys
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    m = re.search(r'MSGBOX_OnInit L"(.*)"', line)
    if m:
        print(re.sub(r'\\([0-9a-f]{4})', lambda h: chr(int(h.group(1), 16)), m.group(1)))
PY
}
