#!/usr/bin/env bash
# The Debian package under a real systemd: a minimal Debian 12 is booted in a container, an
# installation laid out like version 1.0 (/opt/vantor-web) is upgraded by installing the package,
# and the service is checked for readiness, reload, restart after a kill, a failed start, its
# exposure rating, remove and purge; the packaged binaries must pass hardening-check.
#
# Usage (as root): tests/package/systemd_container.sh [BUILD_DIR]     (default: build)
# The debootstrapped tree is kept in $VANTOR_CONTAINER_CACHE (default /var/tmp/vantor-bookworm)
# and reused; every run boots a copy of it. Exits 0 with a SKIP line only when this machine cannot
# boot a container; any failed check exits 1.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$top" && realpath -m "${1:-build}")
cache=${VANTOR_CONTAINER_CACHE:-/var/tmp/vantor-bookworm}
mirror=http://deb.debian.org/debian
# The base system, the service's libraries and what its maintainer scripts and unit call, so that
# installing the package needs no download.
include=systemd,systemd-sysv,dbus,adduser,passwd,procps,logrotate,libsqlite3-0,libssl3,libcurl4,libfmt9,libsystemd0
work=$(mktemp -d /var/tmp/vantor-systemd-test.XXXXXX)
root=$work/root
nspawn_pid=
leader=
started=$SECONDS

say() { printf '[%4ds] %s\n' $((SECONDS - started)) "$*"; }
pass() { say "PASS $*"; }
fail() {
  say "FAIL $*" >&2
  exit 1
}
skip() {
  say "SKIP: $* (this machine cannot boot a container)"
  exit 0
}

cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # systemd-nspawn shuts the container down cleanly on SIGTERM.
    kill -TERM "$nspawn_pid"
    for _ in $(seq 60); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Runs a command inside the booted container, in its namespaces and root.
in_ct() { nsenter -t "$leader" -a -r -w -- "$@"; }

# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.5
  done
}

install_host_tools() {
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v systemd-nspawn >/dev/null || missing+=(systemd-container)
  command -v hardening-check >/dev/null || missing+=(devscripts)
  [ ${#missing[@]} -eq 0 ] && return
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_package() {
  say "building the package in $build"
  make -C "$top" package BUILD="$build" >"$work/package.log" 2>&1 || {
    tail -30 "$work/package.log" >&2
    fail "make package"
  }
  deb=$(ls -t "$build"/vantor-web_*_amd64.deb | head -1)
  say "package $(basename "$deb")"
}

# PIE, stack protector, fortified functions, RELRO and BIND_NOW are required. Control-flow
# protection cannot be: our objects are built with -fcf-protection, but Debian 12's C runtime
# start files are not, and the linker marks a program only when every object it links is.
check_hardening() {
  dpkg-deb -x "$deb" "$work/extracted"
  hardening-check --nocfprotection "$work/extracted/usr/sbin/VantorWebSrv" \
    "$work/extracted/usr/bin/vantor-console" >"$work/hardening.txt" || {
    cat "$work/hardening.txt" >&2
    fail "hardening-check"
  }
  pass "hardening-check (all but control-flow protection): VantorWebSrv and vantor-console"
  cat "$work/hardening.txt"
}

make_cache() {
  [ -e "$cache/.complete" ] && return
  say "debootstrapping Debian 12 into $cache"
  rm -rf "$cache.partial"
  debootstrap --variant=minbase --include="$include" bookworm "$cache.partial" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || {
    tail -20 "$work/debootstrap.log" >&2
    fail "debootstrap"
  }
  chroot "$cache.partial" apt-get update -qq
  touch "$cache.partial/.complete"
  rm -rf "$cache"
  mv "$cache.partial" "$cache"
}

boot() {
  cp -a "$cache" "$root"
  systemd-nspawn --register=no --keep-unit -q -b -D "$root" --console=pipe \
    >"$work/nspawn.log" 2>&1 </dev/null &
  nspawn_pid=$!
  # The container's init is systemd-nspawn's child.
  wait_until 30 eval 'leader=$(pgrep -P "$nspawn_pid" | head -1); [ -n "$leader" ]' ||
    skip "systemd-nspawn started no container: $(tail -3 "$work/nspawn.log" | tr '\n' ' ')"
  local state
  state=$(timeout 120 nsenter -t "$leader" -a -r -w -- systemctl is-system-running --wait 2>&1) || true
  case "$state" in
  running) ;;
  degraded) say "container degraded: $(in_ct systemctl --failed --no-legend --plain | tr '\n' ' ')" ;;
  *) skip "the container did not finish booting ($state): $(tail -3 "$work/nspawn.log" | tr '\n' ' ')" ;;
  esac
  say "container booted (init PID $leader)"
}

free_ports() {
  python3 -c 'import socket
for kind in (socket.SOCK_STREAM, socket.SOCK_STREAM, socket.SOCK_DGRAM, socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The layout of version 1.0: the account's home and the data in /opt/vantor-web. The database is
# made by this build's console, on ports of its own (the container shares the host's network).
make_old_layout() {
  local console=$build/tools/vantor-console old=$root/opt/vantor-web
  read -r -d '' ws wss snmp metrics < <(free_ports) || true
  "$console" init "$old" >/dev/null
  "$console" --dir "$old" customer add 01000001 "Upgrade Company" >/dev/null
  "$console" --dir "$old" settings set WsPort "$ws" >/dev/null
  "$console" --dir "$old" settings set WssPort "$wss" >/dev/null
  "$console" --dir "$old" settings set SnmpPort "$snmp" >/dev/null
  "$console" --dir "$old" settings set MetricsPort "$metrics" >/dev/null
  echo "kept" >"$old/Log/upgrade-marker.txt"
  in_ct adduser --system --quiet --group --home /opt/vantor-web --no-create-home vantor
  in_ct chown -R vantor:vantor /opt/vantor-web
}

install_package() {
  cp "$deb" "$root/root/vantor-web.deb"
  in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/vantor-web.deb \
    >"$work/install.log" 2>&1 || {
    tail -30 "$work/install.log" >&2
    fail "apt-get install of the package"
  }
  say "package installed"
}

check_layout() {
  local data=$root/var/lib/vantor-web
  [ "$(in_ct stat -c '%U:%G %a' /usr/sbin/VantorWebSrv /usr/bin/vantor-console)" = \
    $'root:root 755\nroot:root 755' ] || fail "programs are not root's with mode 0755"
  [ "$(in_ct stat -c '%U:%G %a' /var/lib/vantor-web)" = "vantor:vantor 750" ] ||
    fail "/var/lib/vantor-web is not vantor:vantor 0750"
  pass "layout: programs root:root 0755, /var/lib/vantor-web vantor:vantor 0750"
  [ -f "$data/VantorWeb.mdb" ] && [ "$(cat "$data/Log/upgrade-marker.txt")" = kept ] ||
    fail "the old database and logs were not moved"
  [ ! -e "$root/opt/vantor-web" ] || fail "/opt/vantor-web is still there: $(ls -A "$root/opt/vantor-web")"
  in_ct vantor-console customer list | grep -q "01000001.*Upgrade Company" ||
    fail "the moved database lost its customer (or the console's default directory is wrong)"
  [ "$(in_ct getent passwd vantor | cut -d: -f6)" = /var/lib/vantor-web ] ||
    fail "the account's home is not /var/lib/vantor-web"
  pass "upgrade: data moved from /opt/vantor-web, old directory gone, home moved"
}

main_pid() { in_ct systemctl show -p MainPID --value vantor-web.service; }
is_active() { [ "$(in_ct systemctl is-active vantor-web.service)" = active ]; }

check_running() {
  is_active || fail "vantor-web is not active: $(in_ct systemctl status --no-pager vantor-web 2>&1 | tail -5)"
  local status
  status=$(in_ct systemctl show -p StatusText --value vantor-web.service)
  case "$status" in
  "Listening: none"* | "") fail "no listener is up: '$status'" ;;
  "Listening: "*) pass "active and ready, StatusText '$status'" ;;
  *) fail "unexpected StatusText '$status'" ;;
  esac
}

# The monitoring listener answers from inside the hardened unit (the container shares the network).
check_metrics() {
  local scrape
  scrape=$(python3 -c 'import sys, urllib.request
print(urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode())' "$metrics") ||
    fail "no answer from the monitoring listener on port $metrics"
  grep -q '^vantor_listener_up{listener="metrics"} 1$' <<<"$scrape" && grep -q '^vantor_build_info{' <<<"$scrape" ||
    fail "the scrape lacks the listener or build series: $(head -c 300 <<<"$scrape")"
  pass "monitoring listener scraped under the unit: $(grep -c '^vantor_' <<<"$scrape") vantor_ series"
}

reread_count() { grep -c "Customer Table Re-read On SIGHUP" "$root/var/lib/vantor-web/Debug/AppEvent.txt" || true; }

check_reload() {
  local before
  before=$(reread_count)
  in_ct systemctl reload vantor-web.service || fail "systemctl reload"
  wait_until 15 eval '[ "$(reread_count)" -gt "$before" ]' ||
    fail "no 'Customer Table Re-read On SIGHUP' event after reload"
  is_active || fail "not active after reload"
  pass "reload re-read the customer table"
}

check_restart_after_kill() {
  local old
  old=$(main_pid)
  in_ct kill -9 "$old"
  # Restart=on-failure, after RestartSec=5.
  wait_until 30 eval 'p=$(main_pid); [ "$p" != 0 ] && [ "$p" != "$old" ] && is_active' ||
    fail "not restarted after kill -9 of $old"
  pass "kill -9 of main PID $old: restarted as $(main_pid)"
}

check_failed_start() {
  local since
  since=$(in_ct date +%s)
  in_ct chmod 0000 /var/lib/vantor-web/VantorWeb.mdb
  if in_ct systemctl restart vantor-web.service 2>/dev/null; then
    fail "the service started with an unreadable database"
  fi
  [ "$(in_ct systemctl show -p Result --value vantor-web.service)" = exit-code ] ||
    fail "the failed start's result is not exit-code"
  local journal
  journal=$(in_ct journalctl -u vantor-web.service --since "@$since" --no-pager -o cat)
  local why="State: Cannot open the database /var/lib/vantor-web/VantorWeb.mdb"
  grep -q "$why" <<<"$journal" && grep -q "Service Ended: Start Failed" <<<"$journal" ||
    fail "the journal does not say why: $journal"
  pass "failed start: result exit-code, journal: $(grep -m1 "$why" <<<"$journal")"
  in_ct chmod 0640 /var/lib/vantor-web/VantorWeb.mdb
  in_ct systemctl restart vantor-web.service || fail "restart after restoring the database"
  is_active || fail "not active after restoring the database"
  pass "restored: active again"
}

check_security() {
  local line level
  line=$(in_ct systemd-analyze security --no-pager vantor-web.service | grep "Overall exposure level")
  level=$(sed -E 's/.*: ([0-9.]+).*/\1/' <<<"$line")
  awk -v l="$level" 'BEGIN { exit !(l <= 1.5) }' || fail "$line (more than 1.5)"
  pass "systemd-analyze security: $line"
}

check_remove_and_purge() {
  in_ct env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q vantor-web >"$work/remove.log" 2>&1 ||
    fail "apt-get remove"
  [ ! -e "$root/usr/sbin/VantorWebSrv" ] || fail "remove left the program"
  [ -f "$root/var/lib/vantor-web/VantorWeb.mdb" ] || fail "remove deleted the data"
  in_ct getent passwd vantor >/dev/null || fail "remove deleted the account"
  pass "remove: programs gone, data and account kept"
  in_ct dpkg --purge vantor-web >"$work/purge.log" 2>&1 || fail "dpkg --purge"
  [ ! -e "$root/var/lib/vantor-web" ] || fail "purge left /var/lib/vantor-web"
  ! in_ct getent passwd vantor >/dev/null || fail "purge left the user vantor"
  ! in_ct getent group vantor >/dev/null || fail "purge left the group vantor"
  [ -d "$root/opt" ] && [ -d "$root/var/lib" ] || fail "purge removed a shared directory"
  pass "purge: /var/lib/vantor-web, user and group gone; /opt and /var/lib kept"
}

[ "$(id -u)" -eq 0 ] || skip "not root"
install_host_tools
build_package
check_hardening
make_cache
boot
make_old_layout
install_package
check_layout
check_running
check_metrics
check_reload
check_restart_after_kill
check_failed_start
check_security
check_remove_and_purge
say "all checks passed in $((SECONDS - started)) s"
