#!/bin/sh
# Installs what is missing, builds, and plays the demo tune through the plug-in in the
# stand-in host player. Extra arguments go to the player (files, folders, URLs or .m3u
# playlists to play instead).
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh >/dev/null
. tools/wine-env.sh
exec wine build/bin/player.exe "$@"
