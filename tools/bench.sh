#!/bin/sh
# Builds and runs every benchmark; each prints a table of plug-in against bare platform figures.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh >/dev/null
. tools/wine-env.sh
for bench in build/bin/*_bench.exe; do
    echo "== $(basename "$bench" .exe)"
    wine "$bench" 2>/dev/null
    echo
done
