#!/bin/sh
# Makes docs/settings-dialog.png: builds, opens the plug-in's settings dialog from the player
# on a virtual display of its own and photographs it. Rerun after changing the dialog.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh >/dev/null
. tools/wine-env.sh
# A prefix of its own, so that a test run's resident wine processes never share this display.
WINEPREFIX="$(pwd)/build/screenshot-prefix"
export WINEPREFIX
OUT="${1:-docs/settings-dialog.png}"

xvfb=""
player=""
cleanup() {
    [ -n "$player" ] && kill "$player" 2>/dev/null || true
    wineserver -k </dev/null >/dev/null 2>&1 || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

for n in 81 82 83 84 85 86 87 88 89; do
    [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb=$!
    DISPLAY=":$n"
    break
done
[ -n "$xvfb" ] || { echo "no free display number" >&2; exit 1; }
export DISPLAY
sleep 1

wineserver -k </dev/null >/dev/null 2>&1 || true # nothing of this prefix left on another display
# Wine's own fonts (Debian's fonts-wine), so that the dialog font and the caption's close glyph
# are Wine's rather than whatever fontconfig offers in their place.
wine cmd /c exit </dev/null >/dev/null 2>&1
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# Without a window manager, unmanaged windows get their caption drawn by Wine itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
wine build/bin/player.exe --settings </dev/null >/dev/null 2>&1 &
player=$!

id=""
for i in $(seq 1 120); do
    id=$(xwininfo -name "MIDI settings" 2>/dev/null | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
    [ -n "$id" ] && break
    sleep 0.5
done
[ -n "$id" ] || { echo "the settings dialog did not appear" >&2; exit 1; }
sleep 1 # let it paint
mkdir -p "$(dirname "$OUT")"
import -window "$id" "$OUT"
echo "wrote $OUT ($(identify -format '%wx%h' "$OUT"))"
