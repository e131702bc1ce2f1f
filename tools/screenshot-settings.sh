#!/bin/sh
# Makes docs/settings-dialog.png: builds, opens the plug-in's settings dialog from the player
# on a virtual display of its own and photographs it. Rerun after changing the dialog.
. "$(dirname "$0")/screenshot-common.sh"
OUT="${1:-docs/settings-dialog.png}"
wine build/bin/player.exe --settings </dev/null >/dev/null 2>&1 &
program=$!
photograph "MIDI settings" "$OUT" 1
