#!/usr/bin/env bash
# installed_package.sh <zevupdate .deb> <zevsim> <zevupdate of the build tree>: installs the package
# as an administrator would (apt-get install ./zevupdate_*.deb, as root), then the installed tool
# must answer -h, man must show its page, and its inventory of the emulated host must be the one the
# build tree's executable writes and valid against the installed schema. A package that was not
# installed before is purged afterwards, and the purge must leave none of its files behind.
set -u
deb=$(readlink -f "$1")
zevsim=$(readlink -f "$2")
built=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
scenario=$src/emulator/scenarios/demo_two_controllers.json
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevinstalled.XXXXXX") || exit 2
source "$here/checks.sh"

was_installed=no
dpkg-query -W -f='${Status}' zevupdate 2>/dev/null | grep -q 'install ok installed' && was_installed=yes
cleanup() {
  if [ "$was_installed" = no ]; then dpkg --purge zevupdate >/dev/null 2>&1; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

if ! DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
     --no-install-recommends "$deb" > "$tmp/apt.log" 2>&1; then
  cat "$tmp/apt.log"; bad "apt-get install $deb"; summary; exit 1
fi
version=$(dpkg-deb -f "$deb" Version)
[ "$(dpkg-query -W -f='${Status} ${Version}' zevupdate)" = "install ok installed $version" ] \
  && ok "zevupdate $version installed" || bad "status: $(dpkg-query -W -f='${Status} ${Version}' zevupdate)"

cd "$tmp"
# Name @ command (run in a scratch folder, by root's PATH) @ text its output must hold
rows=(
  "found on root's PATH@command -v zevupdate@^/usr/sbin/zevupdate\$"
  "-h prints the usage text@zevupdate -h@^Usage: -i \\[-o <output filename>\\] \\[-debug\\]\$"
  "man zevupdate shows the page@MANWIDTH=80 man zevupdate 2>/dev/null | tr -s ' \\n' '  '@firmware inventory and update tool"
  "man finds the installed page@man -w zevupdate@^/usr/share/man/man8/zevupdate\\.8\\.gz\$"
  "dpkg lists the executable@dpkg -L zevupdate@^/usr/sbin/zevupdate\$"
  "dpkg lists the schemas@dpkg -L zevupdate@^/usr/share/zevupdate/zevupdate-inventory\\.xsd\$"
)
for row in "${rows[@]}"; do
  IFS='@' read -r name cmd want <<<"$row"
  out=$(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -c "$cmd" 2>&1)
  grep -q -E -- "$want" <<<"$out" && ok "$name" || { bad "$name"; printf '%s\n' "$out" | head -5; }
done

# The installed executable inside the emulated host, beside the build tree's.
mkdir installed built
(cd installed && "$zevsim" run "$scenario" -- /usr/sbin/zevupdate -i -o inventory.xml) > installed.log 2>&1; rc=$?
[ $rc -eq 0 ] && ok "installed zevupdate -i in the emulated host exits 0" || { bad "installed zevupdate -i exits $rc"; cat installed.log; }
(cd built && "$zevsim" run "$scenario" -- "$built" -i -o inventory.xml) > built.log 2>&1
devices=$(grep -o '<Device ' installed/inventory.xml 2>/dev/null | wc -l)
[ "$devices" -eq 2 ] && ok "installed zevupdate lists both emulated controllers" || bad "$devices controllers listed, 2 emulated"
cmp -s installed/inventory.xml built/inventory.xml && ok "same inventory document as the build tree's executable" \
  || { bad "inventory documents differ"; diff <(cat installed/inventory.xml 2>&1) <(cat built/inventory.xml 2>&1) | head -5; }
"$here/validate.sh" installed/inventory.xml /usr/share/zevupdate/zevupdate-inventory.xsd > validate.log 2>&1 \
  && ok "inventory valid against the installed schema" || { bad "inventory not valid"; cat validate.log; }

if [ "$was_installed" = no ]; then
  files=$(dpkg -L zevupdate | while read -r f; do [ -f "$f" ] && echo "$f"; done)
  dpkg --purge zevupdate > purge.log 2>&1 && ok "purged" || { bad "dpkg --purge"; cat purge.log; }
  left=$(for f in $files; do [ -e "$f" ] && echo "$f"; done)
  [ -n "$files" ] && [ -z "$left" ] && ok "purge leaves none of its files" || bad "left after purge: '$left'"
fi

summary
