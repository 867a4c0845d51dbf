#!/usr/bin/env bash
# install_tree.sh <build dir>: cmake --install into a scratch prefix lays out the executable,
# the manual page and the schemas where GNUInstallDirs puts them, and man finds the page there.
set -u
build=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevinst.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
source "$here/checks.sh"
if ! cmake --install "$build" --prefix "$tmp/prefix" > "$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"; bad "cmake --install"; summary; exit 1
fi

[ -x "$tmp/prefix/sbin/zevupdate" ] && ok "sbin/zevupdate" || bad "sbin/zevupdate missing or not executable"
page=$tmp/prefix/share/man/man8/zevupdate.8.gz
[ -f "$page" ] && gzip -dc "$page" | cmp -s - "$src/docs/zevupdate.8" && ok "share/man/man8/zevupdate.8.gz" \
  || bad "share/man/man8/zevupdate.8.gz missing or not docs/zevupdate.8"
for x in zevupdate-inventory.xsd zevupdate-result.xsd; do
  cmp -s "$tmp/prefix/share/zevupdate/$x" "$src/schemas/$x" && ok "share/zevupdate/$x" || bad "share/zevupdate/$x"
done
# man looks the page up by section and name under the prefix.
if command -v man >/dev/null 2>&1; then
  MANPATH=$tmp/prefix/share/man MANWIDTH=80 man 8 zevupdate 2>/dev/null | tr -s " \n" "  " | grep -q "firmware inventory and update tool" \
    && ok "man 8 zevupdate finds the installed page" || bad "man 8 zevupdate does not show the installed page"
fi
summary
