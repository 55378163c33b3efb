#!/usr/bin/env bash
# Installs a build tree into a fresh prefix (or takes one laid out, such as the Debian packages
# extracted), checks what it holds, builds host_project/ against it (find_package, then
# pkg-config), installs that host, and runs the prefix's tavrin_agent beside it in a private
# /tmp, with the build tree's synthetic speech model and paced sound device.
#   run.sh BUILD_DIR [PREFIX]
# Works in BUILD_DIR/install-check (made anew). Exits 77 (skipped) without a private mount
# namespace (root, or user namespaces) or when a real board is at /dev/ttyACM0.
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
  # Inside the private /tmp, where the build tree and the prefix are kept at their paths.
  w=$2 prefix=$3
  (cd "$prefix" && VELANTIS_ALSA_OUT="$w/agent_speaker_%r.raw" exec bin/tavrin_agent >"$w/agent.out" 2>&1) &
  agent=$!
  for _ in $(seq 200); do
    grep -qs "Server started successfully on path: /tmp/velantis_agent.sock" "$prefix/logs/basic-log.txt" && break
    sleep 0.1
  done
  status=0
  (cd "$w/work" && exec "$w/host-installed/bin/host_check" "三") >"$w/host.out" 2>"$w/host.err" || status=$?
  kill "$agent"
  wait "$agent" || true
  exit $status
fi

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
cmake=${CMAKE:-cmake}
w=$build/install-check
prefix=${2:-$w/prefix}
[ -z "${2:-}" ] || prefix=$(cd "$2" && pwd)

if ! "$build/bin/private_tmp" --tmpfs -- true 2>/dev/null; then
  echo "skipped: needs a private mount namespace for /tmp"
  exit 77
fi
if [ -e /dev/ttyACM0 ]; then
  echo "skipped: a board is attached at /dev/ttyACM0 and the service would open it"
  exit 77
fi

fail() { echo "FAILED: $*"; exit 1; }
expect() {  # expect FILE TEXT
  grep -qF -- "$2" "$1" || { cat "$1"; fail "$(basename "$1") lacks: $2"; }
}
step() {  # step LOG command...: runs quietly, shows the log on failure
  local log=$1; shift
  "$@" >"$log" 2>&1 || { cat "$log"; fail "$*"; }
}

rm -rf "$w"
mkdir -p "$w/work"

if [ -z "${2:-}" ]; then
  echo "-- install into $prefix"
  step "$w/install.log" "$cmake" --install "$build" --prefix "$prefix"
else
  echo "-- checking $prefix"
  rm -rf "$prefix/logs"
fi
headers=$(cd "$prefix" && find include -type f | sort)
want="include/velantis/agent_service/velantis_agent_service.h
include/velantis/agent_service/wakeword_server.h
include/velantis/common/local_message.h
include/velantis/common/unix_domain_socket_server.h
include/velantis/orvanite/orvanite.h"
[ "$headers" = "$want" ] || fail "installed headers differ: $headers"
for f in bin/tavrin_agent lib/libvelantis_agent_service.so lib/liborvanite.so lib/libmc_client.so \
         lib/libvelantis_agent_service.so.0 lib/liborvanite.so.0 \
         lib/libsherpa-onnx-c-api.so lib/libonnxruntime.so lib/cmake/Velantis/VelantisConfig.cmake \
         lib/pkgconfig/velantis_agent_service.pc lib/pkgconfig/orvanite.pc; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
# Versioned libraries: the SONAME is lib<name>.so.0, and the agent asks for that name.
for lib in orvanite velantis_agent_service; do
  readelf -d "$prefix/lib/lib$lib.so" | grep -qF "Library soname: [lib$lib.so.0]" || fail "lib$lib.so: SONAME is not lib$lib.so.0"
done
readelf -d "$prefix/bin/tavrin_agent" | grep -qF "Shared library: [liborvanite.so.0]" || fail "tavrin_agent does not need liborvanite.so.0"
for wav in "$src"/res/*.wav; do
  cmp -s "$wav" "$prefix/res/$(basename "$wav")" || fail "res/$(basename "$wav") not installed"
done

echo "-- host project with find_package(Velantis)"
step "$w/host-configure.log" "$cmake" -S "$here/host_project" -B "$w/host" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix"
step "$w/host-build.log" "$cmake" --build "$w/host"
# Installed, the host keeps the libraries' directory as its run path: it starts.
step "$w/host-install.log" "$cmake" --install "$w/host" --prefix "$w/host-installed"
readelf -d "$w/host-installed/bin/host_check" | grep -qF "$prefix/lib" ||
  fail "the installed host has no run path to $prefix/lib: $(readelf -d "$w/host-installed/bin/host_check" | grep -i path)"

echo "-- the same host with pkg-config"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs velantis_agent_service orvanite) ||
  fail "pkg-config"
# Only the prefix's include/ goes on the host's include path: headers are <velantis/...>.
includes=$(for f in $flags; do case $f in -I*) realpath -m "${f#-I}" ;; esac; done)
[ "$includes" = "$(realpath "$prefix/include")" ] || fail "pkg-config's include path is not the prefix's include/: $flags"
# shellcheck disable=SC2086
step "$w/host-pkgconfig.log" "${CXX:-c++}" -std=c++17 -Wall -Wextra -Wpedantic -Werror \
  "$here/host_project/main.cpp" $flags -o "$w/host/host_check_pkgconfig"

echo "-- installed agent and host in a private /tmp"
cp -r "$build/share/kokoro/kokoro-multi-lang-v1_1" "$w/work/"
export ALSA_CONFIG_PATH=$build/share/alsa/velantis_test.conf
export VELANTIS_ALSA_PLUGIN=$build/lib/libasound_module_pcm_velantis_paced.so
export VELANTIS_ALSA_IN='' VELANTIS_ALSA_OUT=$w/speaker_%r.raw VELANTIS_ALSA_SPEED=1
status=0
timeout 120 "$build/bin/private_tmp" --tmpfs --keep "$build" --keep "$prefix" -- \
  bash "$here/run.sh" --inside "$w" "$prefix" || status=$?
cat "$w/host.out" "$w/host.err" 2>/dev/null || true
[ $status = 0 ] || fail "host run, status $status"

expect "$w/host.out" "host: wake-word state 0 -> 0 (initial_state)"
expect "$w/host.out" "Successfully received ACK from server."
expect "$w/host.out" "host: agent recording started, stopped"
expect "$w/host.out" "host: send_orvanite_str returned false"
expect "$w/host.out" "host: service stopped"
[ -s "$w/speaker_24000.raw" ] || fail "nothing was spoken"
expect "$w/work/logs/basic-log.txt" "Successfully received ACK for AGENT_STOP."
expect "$w/work/logs/basic-log.txt" "Velantis Agent Service stopped."
expect "$prefix/logs/basic-log.txt" "Received AGENT_START from: velantis_agent_service"
expect "$prefix/logs/basic-log.txt" "Audio recording stopped."
echo "install check passed"
