#!/usr/bin/env bash
# tool_documents.sh <zevupdate executable>: runs the tool in a scratch folder on this host and
# checks that every document it writes, to a file or to standard output, is valid against the
# schemas. The update cases end early (no usable payload), which does not depend on the
# controllers of the host; the early end must still leave a document with its failure record.
set -u
exe=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
validate=$here/validate.sh
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevdocs.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/pkg" "$tmp/work"
# The payload folder is looked for beside the executable: use a private copy.
cp "$exe" "$tmp/pkg/zevupdate"
cd "$tmp/work"
source "$here/checks.sh"

check() { # check <name> <status> <command...>
  local name=$1 want=$2; shift 2
  "$@"; local rc=$?
  if [ "$rc" -eq "$want" ]; then ok "$name"; else bad "$name (status $rc, want $want)"; fi
}
run() { "$tmp/pkg/zevupdate" "$@"; }
message_is() { # message_is <doc> <text>: the document holds exactly one failure record with <text>
  local got
  got=$(xmllint --xpath 'concat(count(/*/*), "|", count(/*/SPStatus[@result="false"]), "|", /*/SPStatus/Message)' "$1") || return 1
  [ "$got" = "1|1|$2" ] || { echo "  document holds '$got', want '1|1|$2'"; return 1; }
}

# Inventory, to a file and to standard output.
check "inventory exit status" 0 run -i -o inventory.xml
check "inventory file is valid" 0 "$validate" inventory.xml
check "inventory file is an inventory" 0 "$validate" inventory.xml "$here/../../schemas/zevupdate-inventory.xsd"
run -i > inventory.out
check "inventory on standard output is valid" 0 "$validate" inventory.out

# Update without a payload folder: early end with its failure record.
check "update exit status" 0 run -u -o missing-payload.xml
check "update without payload is valid" 0 "$validate" missing-payload.xml "$here/../../schemas/zevupdate-result.xsd"
check "update without payload names the payload" 0 message_is missing-payload.xml "Payload directory is not proper."

# Two entries in the payload folder, document on standard output.
mkdir "$tmp/pkg/payload"
echo a > "$tmp/pkg/payload/one.bin"; echo b > "$tmp/pkg/payload/two.bin"
run -u > two-payloads.out
check "update with two payload files is valid" 0 "$validate" two-payloads.out "$here/../../schemas/zevupdate-result.xsd"
check "update with two payload files names the payload" 0 message_is two-payloads.out "Payload directory is not proper."

# An empty payload folder, with debug logs on: the logs must not leak into the document.
rm -f "$tmp/pkg/payload/"*
run -u -d -o empty-payload.xml
check "update with debug logs is valid" 0 "$validate" empty-payload.xml "$here/../../schemas/zevupdate-result.xsd"
check "update with debug logs names the payload" 0 message_is empty-payload.xml "Payload directory is not proper."
rm -f zepdebuglog

# Both modes to one file: the update result replaces the inventory and is valid alone.
check "inventory and update exit status" 0 run -i -u -o both.xml
check "inventory and update leave a valid result" 0 "$validate" both.xml "$here/../../schemas/zevupdate-result.xsd"

summary
