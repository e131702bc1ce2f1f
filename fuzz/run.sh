#!/bin/sh
# Runs the MIDI reader fuzzer (built by tools/build.sh) for SECONDS, 60 unless given, in one
# process, on the working corpus build/fuzz/corpus, seeded from the tests' MIDI files; what it
# finds goes to build/fuzz/artifacts. Exits non-zero on any finding. Further arguments go to
# libFuzzer.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
mkdir -p build/fuzz/corpus build/fuzz/artifacts
cp tests/data/*.mid fuzz/seeds/*.mid build/fuzz/corpus/
exec build/fuzz/midi_reader_fuzz -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ "$@" build/fuzz/corpus
