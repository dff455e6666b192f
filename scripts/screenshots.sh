#!/usr/bin/env bash
# Renders the README's screenshots into docs/ under Xvfb, on the simulated
# adapters. Needs a build with tests on (the default) and xvfb.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${PELLAN_BUILD_DIR:-$here/build}"
cmake --build "$build" --target pellan_screenshot -j2 >/dev/null

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$here/docs" "$home/.runtime"
chmod 700 "$home/.runtime"
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_RUNTIME_DIR="$home/.runtime" \
    xvfb-run -a -s "-screen 0 1400x900x24" \
    "$build/scripts/screenshot/pellan_screenshot" "$here/docs"
