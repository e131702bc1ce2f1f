#!/bin/sh
# Builds the plug-in twice from these sources, in two fresh build folders, with the same
# SOURCE_DATE_EPOCH, and checks that the two DLLs are byte-identical, carry the stamp of
# that moment and ship small (at most 32 KiB: no debug sections, no symbol table). Usage: tools/check-reproducible.sh [EPOCH] [WORK_FOLDER]
# The default moment, 7 Nov 2006 05:40:21 UTC, has a one-digit day.
set -e
cd "$(dirname "$0")/.."
SOURCE_DATE_EPOCH="${1:-1162878021}"
WORK="${2:-build/repro}"
export SOURCE_DATE_EPOCH
rm -rf "$WORK"
for side in one two; do
    cmake -S . -B "$WORK/$side" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DBUILD_TESTS=OFF >/dev/null
    cmake --build "$WORK/$side" --target midi_plugin -j"$(nproc)" >/dev/null
done
one="$WORK/one/bin/midi_plugin.dll"
two="$WORK/two/bin/midi_plugin.dll"
stamp="Built on $(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%b %-d %Y at %H:%M:%S')"
status=0
if cmp "$one" "$two"; then
    echo "identical: $(sha256sum "$one" | cut -c1-16)... $(wc -c <"$one") bytes, twice"
else
    echo "FAIL: two builds of the same sources differ"
    status=1
fi
if grep -q -a -F "$stamp" "$one"; then
    echo "stamp: $stamp"
else
    echo "FAIL: the DLL does not carry \"$stamp\""
    status=1
fi
size=$(wc -c <"$one")
if [ "$size" -gt 32768 ]; then
    echo "FAIL: the DLL has $size bytes, more than 32768"
    status=1
fi
rm -rf "$WORK"
exit $status
