#!/bin/sh
# Builds and runs every benchmark (the capture one records from the null sink of a sound
# server started here, the music one hears FluidSynth through the MIDI output driver); each
# prints a table of plug-in against bare platform figures.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
. tools/wine-env.sh
tools/build.sh >/dev/null
. tools/services.sh
trap stop_services EXIT INT TERM
start_sound_server
start_wineserver
start_synth
# The real test files and the note times an independent reader gives them, for music_bench.
/usr/bin/python3 tests/midi_lengths.py tests/data build/bin/midi_lengths >/dev/null
for bench in build/bin/*_bench.exe; do
    echo "== $(basename "$bench" .exe)"
    wine "$bench" 2>/dev/null
    echo
done
