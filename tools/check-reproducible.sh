#!/bin/sh
# Makes the release package twice (tools/release.sh), in two fresh build folders with the same
# SOURCE_DATE_EPOCH, and checks that the two zips are byte-identical, that the package holds
# its files and nothing else with the SHA-256 sums it lists, and that its DLL carries the stamp
# of that moment and ships small (at most 48 KiB: no debug sections, no symbol table). The
# first package stays in WORK_FOLDER/dist. Usage: tools/check-reproducible.sh [EPOCH] [WORK_FOLDER]
# The default moment, 7 Nov 2006 05:40:21 UTC, has a one-digit day.
set -e
cd "$(dirname "$0")/.."
SOURCE_DATE_EPOCH="${1:-1162878021}"
WORK="${2:-build/repro}"
export SOURCE_DATE_EPOCH
rm -rf "$WORK"
one=$(tools/release.sh "$WORK/dist" "$WORK/one" | tail -n 1)
two=$(tools/release.sh "$WORK/two/dist" "$WORK/two" | tail -n 1)
status=0
fail() {
    echo "FAIL: $*"
    status=1
}
if cmp "$one" "$two"; then
    echo "identical: $(basename "$one"), $(wc -c <"$one") bytes, sha256 $(sha256sum "$one" | cut -c1-16)..., twice"
else
    fail "two packages of the same sources differ"
fi

unzip -q "$one" -d "$WORK/unpacked"
package="$WORK/unpacked/$(basename "$one" .zip)"
files=$(cd "$package" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
echo "holds: $files"
[ "$files" = "LICENSE.txt README.txt SHA256SUMS.txt midi_plugin.dll wine/install-synth.sh wine/winefluid.drv " ] ||
    fail "the package's files are not the plug-in, its guide, licence and sums and the Wine driver and script"
summed=$(cut -c67- "$package/SHA256SUMS.txt" | tr '\n' ' ')
[ "$summed" = "LICENSE.txt README.txt midi_plugin.dll wine/install-synth.sh wine/winefluid.drv " ] ||
    fail "SHA256SUMS.txt sums $summed"
(cd "$package" && sha256sum --quiet -c SHA256SUMS.txt) || fail "a file does not match its sum"

dll="$package/midi_plugin.dll"
stamp="Built on $(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%b %-d %Y at %H:%M:%S')"
if grep -q -a -F "$stamp" "$dll"; then
    echo "stamp: $stamp"
else
    fail "the DLL does not carry \"$stamp\""
fi
size=$(wc -c <"$dll")
[ "$size" -le 49152 ] || fail "the DLL has $size bytes, more than 49152"
rm -rf "$WORK/one" "$WORK/two" "$WORK/unpacked"
exit $status
