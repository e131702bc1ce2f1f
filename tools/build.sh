#!/bin/sh
# Configures and builds everything into build/ (plug-in, player, tests, benchmark). Where only
# 64-bit Wine runs, build/ is the 64-bit build and the shipped 32-bit plug-in and driver are
# built beside it in build/i686, so that their layout checks still compile.
set -e
cd "$(dirname "$0")/.."
. tools/wine-env.sh
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" >/dev/null
cmake --build build -j"$(nproc)"
if [ "$WINE_BITS" = 64 ]; then
    cmake -S . -B build/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DBUILD_TESTS=OFF >/dev/null
    cmake --build build/i686 --target midi_plugin winefluid -j"$(nproc)"
fi
# The pure MIDI reader and the copy writer natively: their unit tests with the host's compiler,
# and their fuzzer with clang; ctest runs both beside the Wine tests, natively.
cmake -S tests/native -B build/native >/dev/null
cmake --build build/native -j"$(nproc)"
cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build/fuzz -j"$(nproc)"
