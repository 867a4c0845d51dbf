#!/usr/bin/env bash
# deb_package.sh <build dir>: builds the Debian package of the built tree with cpack, unpacks it
# into a scratch root with dpkg -x and runs the tool from there: the package must carry the
# executable, the manual page and the schemas, and the unpacked tool must behave as built.
set -u
build=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevdeb.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
fail=0
pass=0
ok() { pass=$((pass + 1)); echo "ok: $1"; }
bad() { fail=$((fail + 1)); echo "FAIL: $1"; }

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" > "$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"; echo "0 passed, 1 failed"; exit 1
fi
debs=("$tmp"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  cat "$tmp/cpack.log"; echo "FAIL: want exactly one .deb, got: ${debs[*]}"; echo "0 passed, 1 failed"; exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = "zevupdate" ] && ok "package name" || bad "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] && ok "architecture" \
  || bad "architecture: $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libxml2*) ok "depends on libxml2 ($depends)" ;; *) bad "Depends lacks libxml2: '$depends'" ;; esac

# Contents.
dpkg-deb -c "$deb" > "$tmp/contents"
for f in ./usr/sbin/zevupdate ./usr/share/man/man8/zevupdate.8.gz \
         ./usr/share/zevupdate/zevupdate-inventory.xsd ./usr/share/zevupdate/zevupdate-result.xsd; do
  grep -q " $f\$" "$tmp/contents" && ok "ships $f" || bad "missing $f"
done
grep -q '^-rwxr-xr-x .* ./usr/sbin/zevupdate$' "$tmp/contents" && ok "executable mode" || bad "executable mode"
# Nothing outside the install tree of the tool (no build paths, no static libraries, no headers).
extra=$(awk '{print $NF}' "$tmp/contents" | grep -v -E '^\./(usr/?|usr/sbin/?|usr/share/?|usr/sbin/zevupdate|usr/share/man/?|usr/share/man/man8/?|usr/share/man/man8/zevupdate\.8\.gz|usr/share/zevupdate/?|usr/share/zevupdate/zevupdate-(inventory|result)\.xsd|usr/share/doc/?.*)$' || true)
[ -z "$extra" ] && ok "nothing else in the package" || bad "unexpected files: $extra"

dpkg -x "$deb" "$tmp/root" || { echo "FAIL: dpkg -x"; echo "$pass passed, $((fail + 1)) failed"; exit 1; }
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

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
