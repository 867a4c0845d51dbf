#!/usr/bin/env bash
# deb_package.sh <zevupdate .deb> <zevupdate-dbgsym .deb>: the packages dpkg-buildpackage built
# from debian/. Unpacked into a scratch root with dpkg -x, the package must carry the stripped,
# hardened executable (its debug information in the -dbgsym package), the manual page, the
# schemas, the changelog and the copyright, and the unpacked tool must behave as built.
set -u
deb=$(readlink -f "$1")
dbgdeb=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevdeb.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
source "$here/checks.sh"

for f in "$deb" "$dbgdeb"; do
  [ -f "$f" ] || { bad "no package $f"; summary; exit 1; }
done
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes), $(basename "$dbgdeb") ($(stat -c %s "$dbgdeb") bytes)"

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = "zevupdate" ] && ok "package name" || bad "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] && ok "architecture" \
  || bad "architecture: $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libxml2*) ok "depends on libxml2 ($depends)" ;; *) bad "Depends lacks libxml2: '$depends'" ;; esac
# The package version is the project's own.
project_version=$(sed -n 's/^project(zevupdate VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$project_version" ] && ok "version $project_version" \
  || bad "version $(dpkg-deb -f "$deb" Version), project $project_version"
[ "$(dpkg-deb -f "$dbgdeb" Package)" = "zevupdate-dbgsym" ] && ok "debug symbols package name" \
  || bad "debug symbols package name: $(dpkg-deb -f "$dbgdeb" Package)"
case $(dpkg-deb -f "$dbgdeb" Depends) in
  "zevupdate (= $project_version)") ok "debug symbols depend on this very version" ;;
  *) bad "debug symbols Depends: $(dpkg-deb -f "$dbgdeb" Depends)" ;;
esac

# Contents.
dpkg-deb -c "$deb" > "$tmp/contents"
for f in ./usr/sbin/zevupdate ./usr/share/man/man8/zevupdate.8.gz \
         ./usr/share/zevupdate/zevupdate-inventory.xsd ./usr/share/zevupdate/zevupdate-result.xsd \
         ./usr/share/doc/zevupdate/changelog.gz ./usr/share/doc/zevupdate/copyright; do
  grep -q " $f\$" "$tmp/contents" && ok "ships $f" || bad "missing $f"
done
grep -q '^-rwxr-xr-x .* ./usr/sbin/zevupdate$' "$tmp/contents" && ok "executable mode" || bad "executable mode"
# Nothing outside the install tree of the tool (no build paths, no static libraries, no headers).
extra=$(awk '{print $NF}' "$tmp/contents" | grep -v -E '^\./(|usr/?|usr/sbin/?|usr/share/?|usr/sbin/zevupdate|usr/share/man/?|usr/share/man/man8/?|usr/share/man/man8/zevupdate\.8\.gz|usr/share/zevupdate/?|usr/share/zevupdate/zevupdate-(inventory|result)\.xsd|usr/share/doc/?|usr/share/doc/zevupdate/?|usr/share/doc/zevupdate/(changelog\.gz|copyright))$' || true)
[ -z "$extra" ] && ok "nothing else in the package" || bad "unexpected files: $extra"

dpkg -x "$deb" "$tmp/root" || { bad "dpkg -x"; summary; exit 1; }
dpkg -x "$dbgdeb" "$tmp/dbg" || { bad "dpkg -x $dbgdeb"; summary; exit 1; }

# Stripped executable; its debug information, found by build id, is in the -dbgsym package.
exe=$tmp/root/usr/sbin/zevupdate
sections=$(readelf -S -W "$exe")
for s in .symtab .debug_info .debug_line; do
  grep -q " \\$s " <<<"$sections" && bad "executable keeps $s" || ok "executable has no $s"
done
build_id=$(readelf -n "$exe" | sed -n 's/^ *Build ID: //p')
debug=$tmp/dbg/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
[ -n "$build_id" ] && [ -f "$debug" ] && ok "debug file for build id $build_id" || bad "no debug file for build id '$build_id'"
[ "$(dpkg-deb -f "$dbgdeb" Build-Ids)" = "$build_id" ] && ok "Build-Ids field" || bad "Build-Ids: $(dpkg-deb -f "$dbgdeb" Build-Ids)"
readelf -S -W "$debug" 2>/dev/null | grep -q ' \.debug_info ' && ok "debug file holds .debug_info" || bad "debug file without .debug_info"
# Every hardening-check line, and the hardening flags of every compile unit (from the debug file).
"$here/hardening.sh" "$exe" "$debug" > "$tmp/hardening.log"; rc=$?
sed 's/^/  /' "$tmp/hardening.log"
[ $rc -eq 0 ] && ok "hardening of the packaged executable" || bad "hardening of the packaged executable (status $rc)"

# Changelog and copyright.
top=$(gzip -dc "$tmp/root/usr/share/doc/zevupdate/changelog.gz" | head -n 1)
case $top in "zevupdate ($project_version) "*) ok "changelog starts with $project_version" ;; *) bad "changelog starts with: $top" ;; esac
copyright=$tmp/root/usr/share/doc/zevupdate/copyright
head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
  && ok "machine-readable copyright" || bad "copyright format line: $(head -n 1 "$copyright")"
grep -q '^License: all-rights-reserved$' "$copyright" && grep -q 'No licence has been chosen' "$copyright" \
  && ok "copyright says no licence is chosen" || bad "copyright does not say that no licence is chosen"
mkdir "$tmp/run"
cd "$tmp/run"
tool=$tmp/root/usr/sbin/zevupdate

# The usage text, byte for byte.
printf '\nUsage: -h\n\tProvides detailed help information\n\nUsage: -i [-o <output filename>] [-debug]\n\tProvides inventory information of all identified devices.\n\t-o Specifies the output filename.\n\t-d Specifies to create a debug log file.\n\nUsage: -u [-s <image folder>] [-f] [-o <output filename>] [-debug [filename]]\n===========================================================================\n' > "$tmp/usage.expected"
"$tool" -h > "$tmp/h.out" 2> "$tmp/h.err"; rc=$?
[ $rc -eq 0 ] && ok "-h exits 0" || bad "-h exits $rc"
cmp -s "$tmp/h.out" "$tmp/usage.expected" && ok "-h prints the usage text" \
  || { bad "-h output differs from the usage text"; diff <(od -c "$tmp/usage.expected") <(od -c "$tmp/h.out") | head -20; }
[ ! -s "$tmp/h.err" ] && ok "-h writes nothing on standard error" || bad "-h wrote on standard error: $(head -c 200 "$tmp/h.err")"
"$tool" > "$tmp/none.out" 2>/dev/null; rc=$?
[ $rc -eq 1 ] && cmp -s "$tmp/none.out" "$tmp/usage.expected" && ok "no argument: usage text, status 1" \
  || bad "no argument: status $rc"
"$tool" -debug > "$tmp/debug.out" 2>/dev/null; rc=$?
[ $rc -eq 1 ] && cmp -s "$tmp/debug.out" "$tmp/usage.expected" && ok "-debug rejected with status 1" \
  || bad "-debug: status $rc"
[ -z "$(ls -A "$tmp/run")" ] && ok "-h and rejected command lines leave no file behind" \
  || bad "files left: $(ls -A "$tmp/run")"

# The unpacked manual page and schemas are the ones of the source tree.
"$here/man_lint.sh" "$tmp/root/usr/share/man/man8/zevupdate.8.gz" > "$tmp/man.log" && ok "packaged manual page is clean" \
  || { bad "packaged manual page"; cat "$tmp/man.log"; }
[ "$(gzip -dc "$tmp/root/usr/share/man/man8/zevupdate.8.gz" | cmp - "$src/docs/zevupdate.8" && echo same)" = same ] \
  && ok "packaged manual page is docs/zevupdate.8" || bad "packaged manual page differs from docs/zevupdate.8"
for x in zevupdate-inventory.xsd zevupdate-result.xsd; do
  cmp -s "$tmp/root/usr/share/zevupdate/$x" "$src/schemas/$x" && ok "packaged $x" || bad "packaged $x differs"
done

# A document from the unpacked tool is valid against the unpacked schema.
"$tool" -i -o inventory.xml; rc=$?
[ $rc -eq 0 ] && ok "-i exits 0" || bad "-i exits $rc"
"$here/validate.sh" inventory.xml "$tmp/root/usr/share/zevupdate/zevupdate-inventory.xsd" \
  && ok "inventory document is valid" || bad "inventory document is not valid"

summary
