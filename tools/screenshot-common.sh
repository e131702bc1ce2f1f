# Sourced by the screenshot scripts: a virtual display and a Wine prefix of their own, with
# Wine's fonts, and a photograph of one window once it has appeared.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
. tools/wine-env.sh
tools/build.sh >/dev/null
# A prefix of its own, so that a test run's resident wine processes never share this display.
WINEPREFIX="$(pwd)/build/screenshot-prefix"
export WINEPREFIX
. tools/services.sh
program=""
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null || true
    stop_services
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT INT TERM
wineserver -k </dev/null >/dev/null 2>&1 || true # nothing of this prefix left on another display
unset DISPLAY
start_display
start_wineserver
# Wine's own fonts (Debian's fonts-wine), so that the text and the caption's close glyph are
# Wine's rather than whatever fontconfig offers in their place.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

# photograph TITLE OUT SECONDS: waits up to a minute for the window called TITLE, lets it run
# SECONDS more, and writes its picture to OUT.
photograph() {
    id=""
    for i in $(seq 1 120); do
        id=$(xwininfo -name "$1" 2>/dev/null | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
        [ -n "$id" ] && break
        sleep 0.5
    done
    [ -n "$id" ] || { echo "\"$1\" did not appear" >&2; exit 1; }
    sleep "$3"
    mkdir -p "$(dirname "$2")"
    import -window "$id" "$2"
    echo "wrote $2 ($(identify -format '%wx%h' "$2"))"
}
