#!/bin/sh
# Installs what is missing, builds, and plays the demo tune through the plug-in in the
# stand-in host player, to be heard: FluidSynth renders the sequencer's notes to the desktop's
# sound server (PulseAudio, or PipeWire's PulseAudio service); a machine without one gets a
# sound server of its own with a null sink, whose monitor the plug-in's capture records.
# Extra arguments go to the player (files, folders, URLs or .m3u playlists to play instead).
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
. tools/wine-env.sh
tools/build.sh >/dev/null
. tools/services.sh
trap stop_services EXIT INT TERM
start_desktop_sound
start_wineserver
start_synth
wine build/bin/player.exe "$@"
