#!/usr/bin/env bash
# Boots the Debian packages that scripts/package built in a minimal Debian 12 with systemd
# (systemd-nspawn) and checks them as an integrator meets them on a robot: install, the
# service enabled, started and ready, its sandbox score, the socket and file modes, a host
# in the group _velantis answered, a lock and a socket left by an agent run by hand as root
# (the journal names the cause), an upgrade, and a purge that leaves nothing but the user.
# Nothing is installed on this machine: the packages go into the container only.
#
#   container.sh PACKAGE_DIR
#
# The container's root file system (Debian 12 minbase, systemd and the packages'
# dependencies, made by mmdebstrap) is built once into $VELANTIS_CONTAINER_DIR (default:
# build-container/ of the source tree, not tracked; about 3 minutes) and booted read-only
# with a throw-away overlay, so a rerun starts from the same state (about 1 minute). Needs
# root; where the container cannot be built or booted the check fails, it never skips.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
pkgdir=$(cd "${1:?usage: container.sh PACKAGE_DIR}" && pwd)
cache=${VELANTIS_CONTAINER_DIR:-$src/build-container}
mirror=${VELANTIS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
name=velantis-agent
w=$pkgdir/container-check
t0=$(date +%s.%N)

fail() { echo "FAILED: $*"; exit 1; }
since() { echo "$(date +%s.%N) $1" | awk '{printf "%.1f", $1 - $2}'; }

[ "$(id -u)" = 0 ] || fail "the container check needs root (mmdebstrap, systemd-nspawn)"
for tool in mmdebstrap systemd-nspawn nsenter dpkg-deb; do
  command -v "$tool" >/dev/null || fail "$tool not found: run scripts/setup"
done
one() {
  local m=("$pkgdir"/$1)
  [ ${#m[@]} = 1 ] && [ -f "${m[0]}" ] || fail "expected one $1 in $pkgdir"
  echo "${m[0]}"
}
runtime=$(one "${name}_*_amd64.deb")
dev=$(one "${name}-dev_*_amd64.deb")
version=$(dpkg-deb -f "$runtime" Version)
rm -rf "$w"
mkdir -p "$w/debs"

# The root file system: systemd and every package the runtime package depends on or
# recommends, so that installing it needs no network. Rebuilt when that list changes.
deps=$( (dpkg-deb -f "$runtime" Depends; echo ,; dpkg-deb -f "$runtime" Recommends) |
  tr ',' '\n' | sed -E 's/\|.*//; s/\(.*\)//; s/[[:space:]]//g' | grep -v '^$' | sort -u | paste -sd, -)
# A virtual package (libspdlog1.10-fmt9) becomes the package that provides it.
real_deps=()
for dep in ${deps//,/ }; do
  if grep -q '^Package:' <<<"$(apt-cache show "$dep" 2>/dev/null)"; then
    real_deps+=("$dep")
  else
    provider=$(apt-cache showpkg "$dep" | awk '/^Reverse Provides:/ { found = 1; next } found && NF { print $1; exit }')
    [ -n "$provider" ] || fail "no package provides $dep"
    real_deps+=("$provider")
  fi
done
include="systemd,systemd-sysv,dbus,$(IFS=,; echo "${real_deps[*]}")"
key=$(echo "bookworm minbase mmdebstrap $include" | sha1sum | cut -c1-12)
root=$cache/bookworm-$key
if [ ! -f "$root/.complete" ]; then
  echo "-- building the container's root file system in $root"
  mkdir -p "$cache"
  rm -rf "$cache"/bookworm-*
  rm -rf "$root.new"
  # mmdebstrap rather than debootstrap: the same minbase system in half the time (parallel
  # downloads, no sync per file). The package lists stay, for apt inside.
  mmdebstrap --variant=minbase --include="$include" --skip=cleanup/apt/lists bookworm "$root.new" "$mirror" \
    >"$cache/mmdebstrap.log" 2>&1 || { tail -20 "$cache/mmdebstrap.log"; fail "mmdebstrap"; }
  # What a fresh container must not carry: the build machine's name and a machine id
  # shared by every boot.
  echo velantis-ci >"$root.new/etc/hostname"
  : >"$root.new/etc/machine-id"
  touch "$root.new/.complete"
  mv "$root.new" "$root"
  echo "   built in $(since "$t0") s"
fi

# An upgrade: the same packages under a higher version.
upgrade=$version+ci1
for deb in "$runtime" "$dev"; do
  rm -rf "$w/repack"
  dpkg-deb -R "$deb" "$w/repack"
  sed -i -E "s/^Version: .*/Version: $upgrade/; s/\\(= $version\\)/(= $upgrade)/" "$w/repack/DEBIAN/control"
  dpkg-deb --root-owner-group -Znone -b "$w/repack" "$w/debs/$(dpkg-deb -f "$deb" Package)_${upgrade}_amd64.deb" >/dev/null
done
rm -rf "$w/repack"
cp "$runtime" "$dev" "$w/debs/"

# The host: built here against the development package, run inside the container.
mkdir -p "$w/dev"
dpkg-deb -x "$dev" "$w/dev"
dpkg-deb -x "$runtime" "$w/dev"
prefix=/usr/lib/$name
"${CXX:-c++}" -std=c++17 -Wall -Wextra -Werror "$here/agent_start_host.cpp" -I"$w/dev$prefix/include" \
  -L"$w/dev$prefix/lib" -lvelantis_agent_service -Wl,-rpath-link,"$w/dev$prefix/lib" -Wl,-rpath,$prefix/lib -o "$w/debs/agent_start_host" ||
  fail "the host does not build"

echo "-- booting"
machine=velantis-ci-$$
boot_start=$(date +%s.%N)
systemd-nspawn -b -D "$root" --volatile=overlay --register=no --keep-unit --private-network \
  --console=passive --machine="$machine" --bind-ro="$w/debs:/debs" >"$w/boot.log" 2>&1 &
nspawn=$!
leader=""
cleanup() {
  if kill -0 "$nspawn" 2>/dev/null; then
    [ -n "$leader" ] && nsenter -t "$leader" -a systemctl poweroff >/dev/null 2>&1 || true
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    kill "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
}
trap cleanup EXIT
# The container's init: the child of systemd-nspawn once it runs systemd and its manager
# listens.
for _ in $(seq 600); do
  leader=$(ps --ppid "$nspawn" -o pid=,comm= | awk '$2 == "systemd" { print $1; exit }' || true)
  [ -n "$leader" ] && nsenter -t "$leader" -a test -S /run/systemd/private 2>/dev/null && break
  kill -0 "$nspawn" 2>/dev/null || { cat "$w/boot.log"; fail "the container did not boot"; }
  leader=""
  sleep 0.1
done
[ -n "$leader" ] || { cat "$w/boot.log"; fail "the container did not boot within 60 s"; }
ct() { nsenter -t "$leader" -a "$@"; }
state=$(timeout 120 nsenter -t "$leader" -a systemctl is-system-running --wait || true)
[ "$state" = running ] || { ct systemctl --failed --no-pager || true; fail "the container's system is $state"; }
echo "   booted in $(since "$boot_start") s"

expect() {  # expect WHAT TEXT COMMAND...: the command's output holds TEXT
  local what=$1 text=$2 out; shift 2
  out=$("$@" 2>&1) || true
  grep -qF -- "$text" <<<"$out" || { echo "$out"; fail "$what: no \"$text\""; }
}
mode() { ct stat -c '%A %U %G' "$1"; }
journal() { ct journalctl -u $name.service --no-pager -o cat "$@"; }

echo "-- install"
find_before=$(ct find / -xdev -not -path '/proc/*' -not -path '/sys/*' -not -path '/run/*' \
  -not -path '/tmp/*' -not -path '/var/log/journal/*' -not -path '/var/cache/*' -not -path '/var/lib/apt/*' \
  -not -path '/var/lib/dpkg/*' -not -path '/var/lib/systemd/*' -not -path '/var/log/apt/*' -not -path '/debs/*' | sort)
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y /debs/${name}_${version}_amd64.deb \
  /debs/${name}-dev_${version}_amd64.deb >"$w/install.log" 2>&1 || { cat "$w/install.log"; fail "apt install"; }
[ "$(ct systemctl is-enabled $name.service || true)" = disabled ] || fail "installing enabled the service"
[ "$(ct systemctl is-active $name.service || true)" = inactive ] || fail "installing started the service"
expect "the system user" "_velantis" ct id _velantis
expect "the system user's groups" "audio" ct id -nG _velantis
expect "the system user's groups" "dialout" ct id -nG _velantis

echo "-- enable and start"
ct systemctl enable $name.service >/dev/null 2>&1
start=$(date +%s.%N)
ct systemctl start $name.service || { journal; fail "systemctl start"; }
ready=$(since "$start")
exec_to_ready=$(ct systemctl show -p ExecMainStartTimestampMonotonic -p ActiveEnterTimestampMonotonic $name.service |
  sed 's/.*=//' | paste -sd' ' - | awk '{printf "%.3f", ($2 - $1) / 1e6}')
[ "$(ct systemctl show -p Type --value $name.service)" = notify ] || fail "the unit is not Type=notify"
[ "$(ct systemctl is-active $name.service)" = active ] || { journal; fail "not active after start"; }
# Ready means listening: the socket is there the moment start returns.
[ "$(mode /tmp/velantis_agent.sock)" = "srw-rw---- _velantis _velantis" ] ||
  fail "socket: $(mode /tmp/velantis_agent.sock)"
[ "$(mode /tmp/velantis_agent.lock)" = "-rw-r--r-- _velantis _velantis" ] ||
  fail "lock file: $(mode /tmp/velantis_agent.lock)"
[ "$(mode /var/log/$name/basic-log.txt)" = "-rw-r----- _velantis _velantis" ] ||
  fail "log file: $(mode /var/log/$name/basic-log.txt)"
echo "   ready $ready s after systemctl start (from the agent's start to READY=1: $exec_to_ready s)"
score=$(ct systemd-analyze security $name.service --no-pager 2>&1 | sed -n 's/.*Overall exposure level for .*: //p')
echo "   systemd-analyze security: $score"

echo "-- a host in the group _velantis"
ct useradd --create-home --groups _velantis velantis-host
ct runuser -u velantis-host -- sh -c 'cd && exec /debs/agent_start_host' >"$w/host.out" 2>&1 ||
  { cat "$w/host.out"; journal; fail "the host was not answered"; }
expect "the host" "AGENT_START answered" cat "$w/host.out"
expect "the agent's log" "Received AGENT_START from: velantis_agent_service" ct cat /var/log/$name/basic-log.txt
# A user outside the group cannot reach the agent.
ct useradd --create-home velantis-other
if ct runuser -u velantis-other -- sh -c 'cd && exec /debs/agent_start_host' >"$w/other.out" 2>&1; then
  fail "a user outside the group _velantis was answered"
fi

echo "-- an agent run by hand as root, then the service"
ct systemctl stop $name.service
# Its lock file and its socket stay behind in /tmp, owned by root.
ct sh -c 'mkdir -p /tmp/by-hand && cd /tmp/by-hand && umask 077 &&
  exec timeout -s KILL 3 /usr/lib/velantis-agent/bin/tavrin_agent' \
  >/dev/null 2>&1 || true
[ "$(ct stat -c %U /tmp/velantis_agent.sock)" = root ] || fail "the agent run as root left no socket"
squat_at=$(ct date '+%Y-%m-%d %H:%M:%S')
ct systemctl start $name.service >/dev/null 2>&1 && fail "the service started on a socket path that root holds"
for _ in $(seq 50); do
  journal --since "$squat_at" | grep -qF "Failed to start the agent server." && break
  sleep 0.1
done
# At error priority: the logger's errors reach the journal with their level.
journal --since "$squat_at" -p err >"$w/squatted.journal"
expect "the journal" "Cannot remove the stale socket file /tmp/velantis_agent.sock (owner root): Operation not permitted" \
  cat "$w/squatted.journal"
expect "the journal" "Failed to bind socket for path /tmp/velantis_agent.sock: Address already in use" \
  cat "$w/squatted.journal"
if grep -q "lock file" "$w/squatted.journal"; then fail "the lock file left by root blocked the service"; fi
echo "   journalctl -u $name:"
grep -E "Cannot remove|Failed to bind|Failed to start the agent" "$w/squatted.journal" | head -3 | sed 's/^/     /'
# Once the file is gone, the service restarts by itself.
ct rm /tmp/velantis_agent.sock
for _ in $(seq 100); do
  [ "$(ct systemctl is-active $name.service || true)" = active ] && break
  sleep 0.1
done
[ "$(ct systemctl is-active $name.service || true)" = active ] || { journal | tail; fail "no restart"; }

echo "-- upgrade"
pid_before=$(ct systemctl show -p MainPID --value $name.service)
ct env DEBIAN_FRONTEND=noninteractive apt-get install -y /debs/${name}_${upgrade}_amd64.deb \
  /debs/${name}-dev_${upgrade}_amd64.deb >"$w/upgrade.log" 2>&1 || { cat "$w/upgrade.log"; fail "apt upgrade"; }
[ "$(ct dpkg-query -W -f '${Version}' $name)" = "$upgrade" ] || fail "not upgraded"
[ "$(ct systemctl is-active $name.service)" = active ] || fail "not active after the upgrade"
[ "$(ct systemctl is-enabled $name.service)" = enabled ] || fail "not enabled after the upgrade"
[ "$(ct systemctl show -p MainPID --value $name.service)" != "$pid_before" ] || fail "not restarted by the upgrade"

echo "-- purge, enabled and running"
ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y $name $name-dev >"$w/purge.log" 2>&1 ||
  { cat "$w/purge.log"; fail "apt purge"; }
[ "$(ct systemctl is-active $name.service || true)" != active ] || fail "running after purge"
ct systemctl daemon-reload
find_after=$(ct find / -xdev -not -path '/proc/*' -not -path '/sys/*' -not -path '/run/*' \
  -not -path '/tmp/*' -not -path '/var/log/journal/*' -not -path '/var/cache/*' -not -path '/var/lib/apt/*' \
  -not -path '/var/lib/dpkg/*' -not -path '/var/lib/systemd/*' -not -path '/var/log/apt/*' -not -path '/debs/*' | sort)
# Left: the two test users' homes and the system files that record users.
left=$(comm -13 <(echo "$find_before") <(echo "$find_after") |
  grep -vE '^/home(/velantis-(host|other)(/.*)?)?$|^/var/mail/velantis-(host|other)$|^/etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|^/etc/\.pwd\.lock$|^/var/log/(dpkg|alternatives)\.log$|^/var/log/apt$' || true)
[ -z "$left" ] || fail "purge left: $left"
gone=$(comm -23 <(echo "$find_before") <(echo "$find_after"))
[ -z "$gone" ] || fail "purge removed: $gone"
[ -z "$(ct find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
  -name "$name*" 2>/dev/null)" ] || fail "purge left links of the unit"
expect "the user after purge" "_velantis" ct getent passwd _velantis

ct systemctl poweroff >/dev/null 2>&1 || true
for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
kill -0 "$nspawn" 2>/dev/null && fail "the container did not power off"
trap - EXIT
echo "container check passed in $(since "$t0") s"
