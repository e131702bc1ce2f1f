#!/bin/sh
# Runs a capture test program on a sound server set up as a user's desktop is, of its own, with
# a FluidSynth of its own rendering into it, and stops both afterwards (tools/services.sh).
# Usage: tests/desktop_capture.sh one|two PROGRAM.exe [ARGUMENTS]
set -e
outputs=$1
program=$2
shift 2
cd "$(dirname "$0")/.."
. tools/wine-env.sh
. tools/services.sh
trap stop_services EXIT INT TERM
start_desktop_like_sound_server "$outputs"
XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" start_fluidsynth "$DESKTOP_RUNTIME_DIR/fluidsynth.log"
XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" MIDI_SYNTH_PORT="$MIDI_SYNTH_PORT" wine "$program" "$@"
