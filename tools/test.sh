#!/bin/sh
# Installs what is missing, builds, starts the services the tests need (virtual display,
# sound server with a null sink, loopback web server, a resident wineserver, FluidSynth and
# the MIDI output driver in the Wine prefix), runs every
# test and stops what it started. Arguments go to ctest (e.g. -R capture).
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
. tools/wine-env.sh
tools/build.sh
. tools/services.sh
trap stop_services EXIT INT TERM
start_display
start_sound_server
start_web_server
start_wineserver
start_synth
cd build
ctest --output-on-failure "$@"
