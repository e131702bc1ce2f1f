#!/bin/sh
# Builds and runs the validator on the built plug-in with the services the tests use (virtual
# display, sound server with a null sink, a resident wineserver, the MIDI output device and
# FluidSynth). Arguments go to the validator, e.g. `tools/validate.sh --level 5` for the full run or `--seed 7`.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
. tools/wine-env.sh
tools/build.sh >/dev/null
. tools/services.sh
trap stop_services EXIT INT TERM
start_display
start_sound_server
start_wineserver
start_synth
wine build/bin/validate.exe "$@" build/bin/midi_plugin.dll
