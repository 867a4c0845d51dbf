#!/usr/bin/env bash
# validate.sh [--schema-only] <document|-> [<schema.xsd>]
#
# Checks a document written by zevupdate:
#  - its form: one line, no line break anywhere (also none at the end), starting with
#    <?xml version="1.0" encoding="UTF-8"?> directly followed by the root element;
#    --schema-only skips this (for documents that went through a tool that adds a newline);
#  - well-formedness and validity against the schema (xmllint --schema).
# Without a schema argument the schema is chosen by the root element: PXRInventory ->
# zevupdate-inventory.xsd, PXRExecution -> zevupdate-result.xsd, taken from $ZEV_SCHEMA_DIR
# or else from the repository's schemas/ folder. "-" reads the document from standard input.
#
# Exit status: 0 valid; 1 the document is malformed or invalid (reason on standard error);
# 2 usage error, unreadable file, unknown root element, missing xmllint or a broken schema.
set -u

usage() { echo "usage: $0 [--schema-only] <document|-> [<schema.xsd>]" >&2; exit 2; }

form=1
if [ "${1:-}" = "--schema-only" ]; then form=0; shift; fi
[ $# -ge 1 ] && [ $# -le 2 ] || usage
doc=$1
xsd=${2:-}

command -v xmllint >/dev/null 2>&1 || { echo "validate.sh: xmllint not found (Debian package libxml2-utils)" >&2; exit 2; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zevvalidate.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT

# Work on a private copy: standard input can be read once only, and the file may change under us.
if [ "$doc" = "-" ]; then
  cat > "$tmp/doc.xml" || exit 2
  name="(standard input)"
else
  [ -f "$doc" ] && [ -r "$doc" ] || { echo "validate.sh: cannot read $doc" >&2; exit 2; }
  cp -- "$doc" "$tmp/doc.xml" || exit 2
  name=$doc
fi
# The document's name as a sed replacement: \, & and the | delimiter taken literally.
sedname=$(printf '%s' "$name" | sed 's/[\\&|]/\\&/g')

if [ $form -eq 1 ]; then
  decl='<?xml version="1.0" encoding="UTF-8"?><'
  if [ ! -s "$tmp/doc.xml" ]; then
    echo "$name: empty document" >&2; exit 1
  fi
  if LC_ALL=C grep -q $'\r' "$tmp/doc.xml" || [ "$(wc -l < "$tmp/doc.xml")" -ne 0 ]; then
    echo "$name: not a single line without a line break" >&2; exit 1
  fi
  # The root start tag follows at once: no DOCTYPE, comment or processing instruction.
  start=$(LC_ALL=C head -c $(( ${#decl} + 1 )) "$tmp/doc.xml")
  if [ "${start:0:${#decl}}" != "$decl" ] || [[ ! "${start:${#decl}:1}" =~ ^[A-Za-z_]$ ]]; then
    echo "$name: does not start with the XML declaration followed by the root element" >&2; exit 1
  fi
fi

if [ -z "$xsd" ]; then
  dir=${ZEV_SCHEMA_DIR:-$(cd "$(dirname "$0")/../../schemas" 2>/dev/null && pwd)}
  if ! root=$(xmllint --xpath 'name(/*)' "$tmp/doc.xml" 2>"$tmp/err"); then
    sed "s|$tmp/doc.xml|$sedname|g" "$tmp/err" >&2
    echo "$name: not well-formed" >&2; exit 1
  fi
  case $root in
    PXRInventory) xsd=$dir/zevupdate-inventory.xsd ;;
    PXRExecution) xsd=$dir/zevupdate-result.xsd ;;
    *) echo "$name: unknown root element '$root'" >&2; exit 2 ;;
  esac
fi
[ -f "$xsd" ] && [ -r "$xsd" ] || { echo "validate.sh: cannot read schema $xsd" >&2; exit 2; }

xmllint --noout --nonet --schema "$xsd" "$tmp/doc.xml" 2>"$tmp/err"
rc=$?
sed "s|$tmp/doc.xml|$sedname|g" "$tmp/err" >&2
case $rc in
  0) exit 0 ;;
  4|5) echo "validate.sh: schema $xsd could not be used" >&2; exit 2 ;;
  *) exit 1 ;;
esac
