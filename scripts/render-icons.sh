#!/usr/bin/env bash
# Renders the program's icons from Google Material Symbols (Apache-2.0).
#
# The symbols come from the npm package @material-symbols/svg-400; the PNGs
# are committed, so this script only runs when an icon changes. Needs npm and
# rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm install --silent --no-audit --no-fund @material-symbols/svg-400@0.48.2 >/dev/null)
symbols="$work/node_modules/@material-symbols/svg-400/outlined"

GREY='#757575'
GREEN='#388E3C'
RED='#E53935'
DARK='#424242'

# render <symbol> <colour> <size> <output>
render() {
    sed "s|<path |<path fill=\"$2\" |g" "$symbols/$1.svg" >"$work/icon.svg"
    rsvg-convert -w "$3" -h "$3" "$work/icon.svg" -o "$4"
}

png="$here/app/res/png"
mkdir -p "$png" "$here/app/res/icon"
render usb "$GREY" 32 "$png/usb_grey_32px.png"
render usb "$GREEN" 32 "$png/usb_green_32px.png"
render usb_off "$RED" 32 "$png/usb-off_red_32px.png"
render info "$DARK" 32 "$png/info_32px.png"
render manage_search "$DARK" 32 "$png/memory-search_32px.png"
render exit_to_app "$DARK" 32 "$png/exit-to-app_32px.png"
render delete_sweep "$DARK" 32 "$png/table-chart-delete_32px.png"
render backspace-fill "$DARK" 32 "$png/backspace-filled_32px.png"
render upload "$DARK" 32 "$png/memory-file-upload_32px.png"
render download "$DARK" 32 "$png/memory-file-download_32px.png"
render save "$DARK" 32 "$png/save_32px.png"
render note_add "$DARK" 32 "$png/file_32px.png"
render refresh "$DARK" 32 "$png/refresh_32px.png"
render folder_open "$DARK" 32 "$png/folder-open_32px.png"
render memory "$GREEN" 256 "$here/app/res/icon/icon.png"

cp "$work/node_modules/@material-symbols/svg-400/LICENSE" "$here/LICENSE-google-material-icons.txt"
