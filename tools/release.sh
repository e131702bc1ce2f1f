#!/bin/sh
# Builds the release package and prints its path as the last line: a zip in dist/ named with
# the About box's version, holding the plug-in DLL (the reproducible release build), the
# user guide, the licence, the SHA-256 sums of everything in it, and for Wine users the
# MIDI output driver with its install script. The same commit gives the same bytes: the
# build stamp and every time in the zip come from SOURCE_DATE_EPOCH, the commit's time unless
# it is set. Usage: tools/release.sh [DIST_FOLDER [BUILD_FOLDER]]
set -e
cd "$(dirname "$0")/.."
for tool in cmake i686-w64-mingw32-g++-posix zip; do
    command -v "$tool" >/dev/null || { tools/install-deps.sh; break; }
done
DIST="${1:-dist}"
WORK="${2:-build/release}"
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}"
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^static const char kDescription\[\] = ".* \(v[0-9.]*\) .*/\1/p' module/in_module.cpp)
[ -n "$SOURCE_DATE_EPOCH" ] || { echo "not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 1; }
[ -n "$version" ] || { echo "no version in the plug-in's description (module/in_module.cpp)" >&2; exit 1; }
name="tessarin-midi-plugin-$version"

rm -rf "$WORK"
cmake -S . -B "$WORK" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DBUILD_TESTS=OFF >/dev/null
cmake --build "$WORK" --target midi_plugin winefluid -j"$(nproc)" >/dev/null

# Text for Windows users with Windows line ends; the script and the sums stay as Linux reads them.
package="$WORK/package/$name"
mkdir -p "$package/wine"
cp "$WORK/bin/midi_plugin.dll" "$package/"
sed 's/$/\r/' release/README.txt >"$package/README.txt"
sed 's/$/\r/' LICENSE >"$package/LICENSE.txt"
cp "$WORK/bin/winefluid.drv" release/install-synth.sh "$package/wine/"
(cd "$package" && find . -type f ! -name SHA256SUMS.txt | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS.txt)
find "$WORK/package" -type d -exec chmod 755 {} +
find "$WORK/package" -type f -exec chmod 644 {} +
chmod 755 "$package/wine/install-synth.sh"
find "$WORK/package" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +

# Fixed order, times in UTC, no owner or extra time fields.
mkdir -p "$DIST"
zipfile="$(cd "$DIST" && pwd)/$name.zip"
rm -f "$zipfile"
(cd "$WORK/package" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -@ "$zipfile")
echo "$zipfile"
