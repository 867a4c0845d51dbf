#!/usr/bin/env bash
# man_lint.sh <page>: the manual page (plain or .gz) formats without a single warning, and its
# rendered text carries every section and option a reader looks for.
set -u
page=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevman.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
case $page in
  *.gz) gzip -dc -- "$page" > "$tmp/page.8" || exit 1 ;;
  *) cp -- "$page" "$tmp/page.8" || exit 1 ;;
esac
fail=0

# groff prints warnings on standard error but still exits 0: any output is a failure.
groff -ww -z -man "$tmp/page.8" > "$tmp/groff.out" 2>&1
if [ $? -ne 0 ] || [ -s "$tmp/groff.out" ]; then
  echo "FAIL: groff -ww reports:"; cat "$tmp/groff.out"; fail=1
fi
if command -v mandoc >/dev/null 2>&1; then
  mandoc -T lint -W warning "$tmp/page.8" > "$tmp/mandoc.out" 2>&1
  if [ $? -ne 0 ] || [ -s "$tmp/mandoc.out" ]; then
    echo "FAIL: mandoc -T lint reports:"; cat "$tmp/mandoc.out"; fail=1
  fi
fi

LC_ALL=C groff -man -Tascii -rLL=100n -P-cbou "$tmp/page.8" 2>/dev/null > "$tmp/page.txt"
# Things a reader of zevupdate(8) must find: sections, every accepted option with its argument,
# the inputs, both document roots, the marker and log files.
while IFS= read -r want; do
  [ -z "$want" ] && continue
  grep -qF -- "$want" "$tmp/page.txt" || { echo "FAIL: rendered page lacks: $want"; fail=1; }
done <<'LIST'
NAME
SYNOPSIS
DESCRIPTION
OPTIONS
EXIT STATUS
FILES
EXAMPLES
zevupdate -h
zevupdate -i [-o file] [-d [logfile]]
zevupdate -u [-o file] [-d [logfile]] [-f] [-v]
-o file
-d [logfile]
package.xml
payload
zepdebuglog
debug_inv.log
debug_update.log
baseutils.log
debug_syscore.log
<PXRInventory lang="en">
<PXRExecution lang="en">
Payload directory is not proper.
Device is not present in the system for update or has been removed
No matching device found (PCI mismatch).
Success: The operation was successful
zevupdate-inventory.xsd
zevupdate-result.xsd
LIST

# Every option the tool accepts has its own entry in OPTIONS, and nothing else does.
opts=$(awk '/^OPTIONS/{on=1; next} /^[A-Z]/{on=0} on && /^       -[a-z]/{print $1}' "$tmp/page.txt" | tr '\n' ' ')
if [ "$opts" != "-h -i -u -o -d -f -v " ]; then
  echo "FAIL: option entries are '$opts', want '-h -i -u -o -d -f -v '"; fail=1
fi
# Each example document, its lines joined again, is byte for byte one of the valid samples (which
# the schema tests check), so the page shows exactly what the tool writes.
samples=$(cd "$(dirname "$0")" && pwd)/samples/valid
awk -v dir="$tmp" '
  /^\.EX/ { inex = 1; doc = ""; next }
  /^\.EE/ { if (doc ~ /^<\?xml version="1\.0" encoding="UTF-8"\?><PXR/) { n++; printf "%s", doc > (dir "/example" n ".xml") } inex = 0; next }
  inex { gsub(/\\-/, "-"); gsub(/\\&/, ""); doc = doc $0 }
' "$tmp/page.8"
examples=0
for ex in "$tmp"/example*.xml; do
  [ -f "$ex" ] || continue
  examples=$((examples + 1))
  found=""
  for s in "$samples"/*.xml; do cmp -s "$ex" "$s" && found=$s; done
  [ -n "$found" ] || { echo "FAIL: example document $examples matches no valid sample:"; cat "$ex"; echo; fail=1; }
done
[ $examples -ge 3 ] || { echo "FAIL: found $examples example documents, want 3 (inventory, update, early end)"; fail=1; }

[ $fail -eq 0 ] && echo "manual page $page: clean"
exit $fail
