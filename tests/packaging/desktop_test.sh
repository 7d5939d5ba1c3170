#!/usr/bin/env bash
# The desktop entry is valid, opens a file as the window's single image, and claims the MIME type
# that the shared-mime-info definition gives *.orb files.
# usage: desktop_test.sh DESKTOP_FILE MIME_XML
set -euo pipefail
desktop=$1 mime_xml=$2
if ! command -v desktop-file-validate >/dev/null || ! command -v update-mime-database >/dev/null; then
    echo "desktop-file-validate or update-mime-database missing (scripts/install-deps.sh)"
    exit 77
fi
desktop-file-validate "$desktop"
grep -qx 'Exec=vantor %f' "$desktop" || { echo "FAIL: Exec does not pass one file" >&2; exit 1; }

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
database=$data/mime
mkdir -p "$database/packages"
cp "$mime_xml" "$database/packages/vantor.xml"
XDG_DATA_HOME=$data update-mime-database "$database"
type=$(sed -n 's/^MimeType=\(.*\);$/\1/p' "$desktop")
grep -qx "50:$type:\*\.orb" "$database/globs2" ||
    { echo "FAIL: *.orb is not $type:" >&2; cat "$database/globs2" >&2; exit 1; }
echo "desktop entry valid; *.orb is $type"
