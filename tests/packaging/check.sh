#!/usr/bin/env bash
# Checks the Debian packages that scripts/package built, without installing them: fields,
# contents, hardening and debug information, the service unit, lintian, and the install check
# (tests/install/run.sh) on both packages extracted.
#   check.sh PACKAGE_DIR BUILD_DIR
# BUILD_DIR: a plain build, whose speech model and sound device the install check borrows.
# Works in PACKAGE_DIR/package-check (made anew).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
pkgdir=$(cd "${1:?usage: check.sh PACKAGE_DIR BUILD_DIR}" && pwd)
build=$(cd "${2:?usage: check.sh PACKAGE_DIR BUILD_DIR}" && pwd)
w=$pkgdir/package-check
name=velantis-agent
prefix=usr/lib/$name

fail() { echo "FAILED: $*"; exit 1; }
one() {  # one GLOB: the single file it matches
  local m=("$pkgdir"/$1)
  [ ${#m[@]} = 1 ] && [ -f "${m[0]}" ] || fail "expected one $1 in $pkgdir, found: ${m[*]}"
  echo "${m[0]}"
}
has() {  # has ROOT PATH...: each exists (a link counts, dangling or not)
  local root=$1; shift
  for f; do [ -e "$root/$f" ] || [ -L "$root/$f" ] || fail "$(basename "$root") lacks $f"; done
}
link() {  # link ROOT PATH TARGET
  [ "$(readlink "$1/$2")" = "$3" ] || fail "$2 should link to $3, is: $(readlink "$1/$2" || echo none)"
}

runtime=$(one "${name}_*_amd64.deb")
dev=$(one "${name}-dev_*_amd64.deb")
dbgsym=$(one "${name}-dbgsym_*_amd64.ddeb")
rm -rf "$w"
mkdir -p "$w"

echo "-- fields"
version=$(dpkg-deb -f "$runtime" Version)
depends=$(dpkg-deb -f "$runtime" Depends)
dev_depends=$(dpkg-deb -f "$dev" Depends)
echo "$name $version: Depends: $depends"
echo "$name-dev: Depends: $dev_depends"
[ "$version" = "$(dpkg-deb -f "$dev" Version)" ] || fail "the two packages differ in version"
for p in adduser ca-certificates libc6 libstdc++6 libasound2 libopus0 libssl3 libspdlog; do
  [[ ", $depends" == *", $p"* ]] || fail "Depends lacks $p"
done
if grep -qE '(^|[ ,|])[a-z0-9.+]+-dev([ ,(]|$)' <<<"$depends"; then fail "Depends names a -dev package"; fi
[ "$dev_depends" = "$name (= $version)" ] || fail "$name-dev should depend on $name (= $version)"
[ "$(dpkg-deb -f "$runtime" Recommends)" = logrotate ] || fail "$name should recommend logrotate"
[ "$(dpkg-deb -f "$dbgsym" Version)" = "$version" ] || fail "the -dbgsym package differs in version"

echo "-- contents"
dpkg-deb -x "$runtime" "$w/runtime"
dpkg-deb -x "$dev" "$w/dev"
has "$w/runtime" lib/systemd/system/$name.service etc/logrotate.d/$name \
  usr/share/doc/$name/copyright usr/share/doc/$name/changelog.gz \
  $prefix/bin/tavrin_agent $prefix/lib/libsherpa-onnx-c-api.so $prefix/lib/libonnxruntime.so \
  $prefix/lib/libmc_client.so $prefix/res/你好啊.wav $prefix/res/在呢.wav $prefix/res/好的，再见.wav
grep -qF copytruncate "$w/runtime/etc/logrotate.d/$name" || fail "logrotate snippet without copytruncate"
for lib in orvanite velantis_agent_service; do
  link "$w/runtime" $prefix/lib/lib$lib.so.0 "lib$lib.so.$version"
  has "$w/runtime" $prefix/lib/lib$lib.so.$version
  link "$w/dev" $prefix/lib/lib$lib.so "lib$lib.so.0"
  [ ! -e "$w/runtime/$prefix/lib/lib$lib.so" ] || fail "the runtime package holds the development link lib$lib.so"
done
link "$w/runtime" var/lib/$name/res /$prefix/res
link "$w/runtime" var/lib/$name/logs ../../log/$name
has "$w/dev" usr/share/doc/$name-dev/copyright $prefix/include/velantis/agent_service/velantis_agent_service.h \
  $prefix/include/velantis/orvanite/orvanite.h $prefix/lib/cmake/Velantis/VelantisConfig.cmake \
  $prefix/lib/pkgconfig/velantis_agent_service.pc $prefix/lib/pkgconfig/orvanite.pc
[ -z "$(find "$w/runtime" -path "*/include/*" -o -name "*.pc" -o -name "*.cmake")" ] ||
  fail "development files in the runtime package"
[ -z "$(find "$w/dev" -type f -name "*.so*")" ] || fail "a library file in the development package"

# Every binary stripped; every library that is not ours named in the copyright file.
elves=$(find "$w/runtime" -type f -exec sh -c 'head -c4 "$1" | grep -q "ELF"' sh {} \; -print)
[ -n "$elves" ] || fail "no binaries found"
ours=()
for f in $elves; do
  ! readelf -S --wide "$f" | grep -qE ' \.(symtab|debug_[a-z]+) ' || fail "not stripped: ${f#"$w"/runtime/}"
  case $(basename "$f") in liborvanite.so.* | libvelantis_agent_service.so.* | libmc_client.so | tavrin_agent)
    ours+=("$f") ;;
  *) grep -qxF "Files: ${f#"$w"/runtime/}" "$w/runtime/usr/share/doc/$name/copyright" ||
       fail "no licence given for ${f#"$w"/runtime/}" ;;
  esac
done
cmp -s "$w/runtime/usr/share/doc/$name/copyright" "$src/packaging/copyright" || fail "copyright file differs"

echo "-- hardening and debug information"
# Ours are built with Debian's hardening flags; the debug information of each binary is in
# the -dbgsym package under its build id.
dpkg-deb -x "$dbgsym" "$w/dbgsym"
[ ${#ours[@]} = 4 ] || fail "expected 4 binaries of ours, found: ${ours[*]}"
# Control-flow protection is not asked for: bookworm's glibc start files carry no CET marks,
# so no binary linked on Debian 12 has them (nor does its dpkg-buildflags ask for them).
hardening-check --nocfprotection "${ours[@]}" >"$w/hardening.log" 2>&1 ||
  { cat "$w/hardening.log"; fail "hardening-check"; }
sed "s#$w/runtime/##" "$w/hardening.log"
for f in $elves; do
  id=$(readelf -n "$f" | sed -n 's/.*Build ID: //p')
  [ -n "$id" ] || fail "no build id: ${f#"$w"/runtime/}"
  debug=$w/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -f "$debug" ] || fail "no debug information for ${f#"$w"/runtime/} in the -dbgsym package"
  case $(basename "$f") in libsherpa-onnx-c-api.so | libonnxruntime.so) ;;
  *) readelf -S --wide "$debug" 2>/dev/null | grep -qE ' \.debug_info ' || fail "${f#"$w"/runtime/}: no DWARF in $debug" ;;
  esac
done
cmp -s "$src/LICENSE" /usr/share/common-licenses/Apache-2.0 || fail "LICENSE is not the Apache License 2.0"

echo "-- service unit"
# The unit beside this machine's systemd units (the targets it depends on); nothing installed.
dpkg-deb -x "$runtime" "$w/unit-root"
cp -an /lib/systemd/system/. "$w/unit-root/lib/systemd/system/"
systemd-analyze verify --root="$w/unit-root" "$w/unit-root/lib/systemd/system/$name.service" >"$w/verify.log" 2>&1 ||
  { cat "$w/verify.log"; fail "systemd-analyze verify"; }
[ ! -s "$w/verify.log" ] || { cat "$w/verify.log"; fail "systemd-analyze verify complains"; }
# The sandbox's exposure (0 to 100: ten times systemd-analyze's figure) stays where it is.
systemd-analyze security --offline=true --threshold=24 --root="$w/unit-root" \
  "$w/unit-root/lib/systemd/system/$name.service" >"$w/security.log" 2>&1 ||
  { cat "$w/security.log"; fail "systemd-analyze security: the sandbox got weaker"; }
grep "Overall exposure level" "$w/security.log"
for key in "Type=notify" "User=_velantis" "WorkingDirectory=/var/lib/$name" "ExecStart=/$prefix/bin/tavrin_agent" \
           "Restart=always" "StandardOutput=journal" "StandardError=journal" "UMask=0027"; do
  grep -qxF "$key" "$w/runtime/lib/systemd/system/$name.service" || fail "unit lacks $key"
done

echo "-- lintian"
lintian --fail-on error --tag-display-limit 0 "$runtime" "$dev" >"$w/lintian.log" 2>&1 ||
  { cat "$w/lintian.log"; fail "lintian found errors"; }
cat "$w/lintian.log"

echo "-- install check on both packages extracted"
for deb in "$runtime" "$dev"; do dpkg-deb -x "$deb" "$w/root"; done
bash "$src/tests/install/run.sh" "$build" "$w/root/$prefix"
echo "package check passed"
