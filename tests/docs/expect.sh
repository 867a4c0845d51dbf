#!/usr/bin/env bash
# expect.sh <status> <regex> <command...>: runs the command and passes only when it exits with
# <status> and its standard error matches the extended regular expression <regex> (so a
# rejection is for the intended reason, not an unrelated one).
set -u
want=$1; regex=$2; shift 2
err=$(mktemp "${TMPDIR:-/tmp}/zevexpect.XXXXXX") || exit 2
trap 'rm -f "$err"' EXIT
"$@" > /dev/null 2> "$err"
rc=$?
if [ "$rc" -ne "$want" ]; then
  echo "FAIL: exit status $rc, want $want: $*"; cat "$err"; exit 1
fi
if ! grep -Eq -- "$regex" "$err"; then
  echo "FAIL: standard error does not match /$regex/: $*"; cat "$err"; exit 1
fi
echo "ok: status $rc, /$regex/"
