#!/bin/sh
# Configures and builds everything into build/ (plug-in, player, tests, benchmark).
set -e
cd "$(dirname "$0")/.."
. tools/wine-env.sh
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build -j"$(nproc)"
