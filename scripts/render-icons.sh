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

# colour <symbol> <colour> <output svg>
colour() {
    sed "s|<path |<path fill=\"$2\" |g" "$symbols/$1.svg" >"$3"
}

# render <symbol> <colour> <size> <output>
render() {
    colour "$1" "$2" "$work/icon.svg"
    rsvg-convert -w "$3" -h "$3" "$work/icon.svg" -o "$4"
}

# action <symbol> <colour> <name>: the 32-pixel icon and its @2x twin, which
# QIcon picks up by itself on high-DPI screens.
action() {
    render "$1" "$2" 32 "$png/$3_32px.png"
    render "$1" "$2" 64 "$png/$3_32px@2x.png"
}

png="$here/app/res/png"
mkdir -p "$png" "$here/app/res/icon"
action usb "$GREY" usb_grey
action usb "$GREEN" usb_green
action usb_off "$RED" usb-off_red
action info "$DARK" info
action manage_search "$DARK" memory-search
action exit_to_app "$DARK" exit-to-app
action delete_sweep "$DARK" table-chart-delete
action backspace-fill "$DARK" backspace-filled
action upload "$DARK" memory-file-upload
action download "$DARK" memory-file-download
action save "$DARK" save
action note_add "$DARK" file
action refresh "$DARK" refresh
action folder_open "$DARK" folder-open

# The application icon: compiled in at 256 pixels for the window, and for the
# desktop as SVG plus the usual hicolor sizes.
icons="$here/packaging/icons"
mkdir -p "$icons"
render memory "$GREEN" 256 "$here/app/res/icon/icon.png"
colour memory "$GREEN" "$icons/pellan-i2c.svg"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" "$icons/pellan-i2c.svg" -o "$icons/pellan-i2c_$size.png"
done

cp "$work/node_modules/@material-symbols/svg-400/LICENSE" "$here/LICENSE-google-material-icons.txt"
