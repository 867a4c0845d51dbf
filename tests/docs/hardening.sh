#!/usr/bin/env bash
# hardening.sh <executable> [<file with its debug information> [<source root>]]: hardening-check
# (devscripts) must find every protection in the executable, and every compile unit of it must
# have been built with the hardening flags (read from the compiler's record in the debug
# information: the executable itself, or its detached .debug file for a stripped one). With a
# source root, neither file may name it. Exit 77 when hardening-check is not installed.
set -u
exe=$1
dbg=${2:-$1}
srcroot=${3:-}
command -v hardening-check >/dev/null 2>&1 || { echo "SKIP: hardening-check (devscripts) is not installed"; exit 77; }
source "$(dirname "$0")/checks.sh"

report=$(hardening-check "$exe" 2>&1)
echo "$report"
producers=$(readelf --debug-dump=info "$dbg" 2>/dev/null | sed -n 's/.*DW_AT_producer.*): //p')
units=$(printf '%s\n' "$producers" | grep -c .)
[ "$units" -gt 0 ] && ok "$units compile units recorded in $(basename "$dbg")" || bad "no compile unit recorded in $dbg"

# every_unit <flag regex>: true when every compile unit was built with it.
every_unit() { [ "$units" -gt 0 ] && ! printf '%s\n' "$producers" | grep -v -q -E -- "(^| )$1( |$)"; }

# Flags every compile unit carries, one row each.
flag_rows=(
  "-fstack-protector-strong"
  "-fstack-clash-protection"
  "-fcf-protection(=full)?"
  "-O[1-3sz]"
  "-fPI[CE]"
)
for f in "${flag_rows[@]}"; do
  every_unit "$f" && ok "every compile unit built with ${f%%(*}" \
    || bad "compile units without ${f%%(*}: $(printf '%s\n' "$producers" | grep -v -E -- "(^| )$f( |$)" | sort -u | head -3)"
done

# The start files the C library links into every program. When one of them lacks the
# control-flow property, no executable of this platform can carry it, whatever it is built with.
startfiles_cet=yes
for f in Scrt1.o crti.o crtn.o; do
  p=$("${CXX:-c++}" -print-file-name="$f")
  readelf -n "$p" 2>/dev/null | grep -q "x86 feature: IBT, SHSTK" || { startfiles_cet=no; echo "note: $p has no IBT/SHSTK property"; }
done

# hardening-check line | result it must give | result accepted instead | flag that must then be
# on every compile unit | and when the other result is accepted.
#   Stack clash: the tool sees only the probing loops of large frames; without one it cannot tell.
#   Control flow: "no" when the platform's own start files lack the property (see above).
rows=(
  "Position Independent Executable|yes|||"
  "Stack protected|yes|||"
  "Fortify Source functions|yes|||"
  "Read-only relocations|yes|||"
  "Immediate binding|yes|||"
  "Stack clash protection|yes|unknown|-fstack-clash-protection|always"
  "Control flow integrity|yes|no|-fcf-protection(=full)?|startfiles"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name want alt flag when <<<"$row"
  line=$(printf '%s\n' "$report" | grep -E "^ $name: ")
  got=$(printf '%s\n' "$line" | sed -E 's/^[^:]*: ([a-z]+).*/\1/')
  if [ -z "$line" ]; then
    bad "$name: not in the report"
  elif [ "$got" = "$want" ]; then
    ok "$name: $want"
  elif [ -n "$alt" ] && [ "$got" = "$alt" ] && every_unit "$flag" \
       && { [ "$when" = always ] || { [ "$when" = startfiles ] && [ "$startfiles_cet" = no ]; }; }; then
    ok "$name: $alt, accepted: every compile unit has ${flag%%(*} and the tool cannot tell more"
  else
    bad "$name: $got"
  fi
done

if [ -n "$srcroot" ]; then
  for f in "$exe" "$dbg"; do
    n=$(strings -a "$f" | grep -c -F -- "$srcroot")
    [ "$n" -eq 0 ] && ok "$(basename "$f") does not name $srcroot" || bad "$(basename "$f") names $srcroot $n times"
  done
fi

summary
