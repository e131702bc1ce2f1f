#!/bin/sh
# Makes docs/player-window.png: builds, plays the demo tune in the player's window on a virtual
# display of its own while the plug-in records the sound server's null sink, and photographs
# the window a few seconds in. The tune sounds through the synthesizer service (start_synth).
# Rerun after changing the window or the visualisation.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh >/dev/null
. tools/wine-env.sh
# A prefix of its own, so that a test run's resident wine processes never share this display.
WINEPREFIX="$(pwd)/build/screenshot-prefix"
export WINEPREFIX
OUT="${1:-docs/player-window.png}"
. tools/services.sh

xvfb=""
player=""
cleanup() {
    [ -n "$player" ] && kill "$player" 2>/dev/null || true
    stop_services
    wineserver -k </dev/null >/dev/null 2>&1 || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

for n in 81 82 83 84 85 86 87 88 89; do
    [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb=$!
    DISPLAY=":$n"
    break
done
[ -n "$xvfb" ] || { echo "no free display number" >&2; exit 1; }
export DISPLAY
sleep 1

wineserver -k </dev/null >/dev/null 2>&1 || true # nothing of this prefix left on another display
start_sound_server
start_wineserver
# Wine's own fonts (Debian's fonts-wine), so that the window's text is Wine's Tahoma rather
# than whatever fontconfig offers in its place.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
start_synth
# A short list: the demo tune first, then two scales.
songs="$RUN/screenshot-songs"
mkdir -p "$songs"
wine build/bin/make_midi.exe scale 16 "$songs/scale, eight seconds.mid" </dev/null >/dev/null 2>&1
wine build/bin/make_midi.exe scale 48 "$songs/scale, twenty-four seconds.mid" </dev/null >/dev/null 2>&1
wine build/bin/player.exe --window build/bin/demo.mid "$songs/scale, eight seconds.mid" \
    "$songs/scale, twenty-four seconds.mid" </dev/null >/dev/null 2>&1 &
player=$!

id=""
for i in $(seq 1 120); do
    id=$(xwininfo -name "demo.mid - MIDI player" 2>/dev/null | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
    [ -n "$id" ] && break
    sleep 0.5
done
[ -n "$id" ] || { echo "the player window did not appear" >&2; exit 1; }
sleep 3 # into the tune, with bars and peaks up
mkdir -p "$(dirname "$OUT")"
import -window "$id" "$OUT"
echo "wrote $OUT ($(identify -format '%wx%h' "$OUT"))"
