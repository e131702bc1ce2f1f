#!/bin/sh
# Makes docs/player-window.png: builds, plays the demo tune through the synthesizer service in
# the player's window on a virtual display of its own while the plug-in records the sound
# server's null sink, and photographs the window a few seconds in. Rerun after changing the
# window or the visualisation.
. "$(dirname "$0")/screenshot-common.sh"
OUT="${1:-docs/player-window.png}"
start_sound_server
start_synth
# A short list: the demo tune first, then two scales.
songs="$RUN/screenshot-songs"
mkdir -p "$songs"
wine build/bin/make_midi.exe scale 16 "$songs/scale, eight seconds.mid" </dev/null >/dev/null 2>&1
wine build/bin/make_midi.exe scale 48 "$songs/scale, twenty-four seconds.mid" </dev/null >/dev/null 2>&1
wine build/bin/player.exe --window build/bin/demo.mid "$songs/scale, eight seconds.mid" \
    "$songs/scale, twenty-four seconds.mid" </dev/null >/dev/null 2>&1 &
program=$!
photograph "demo.mid - MIDI player" "$OUT" 3 # into the tune, with bars and peaks up
