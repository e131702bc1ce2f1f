#!/bin/sh
# Installs what the build, the release package and the tests need on Debian, as root, when it
# is missing; where 32-bit programs cannot run, also 64-bit Wine and the x86-64 cross compiler.
set -e
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
install_missing() {
    need=""
    for pkg in "$@"; do
        have "$pkg" || need="$need $pkg"
    done
    [ -z "$need" ] && return 0
    echo "installing:$need"
    if ! dpkg --print-foreign-architectures | grep -q i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
}
install_missing cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest \
    wine wine32:i386 xvfb xauth pulseaudio pulseaudio-utils sox \
    python3 python3-pefile python3-mido imagemagick x11-utils fonts-wine \
    fluidsynth timgm6mb-soundfont zip unzip systemd
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    install_missing wine64 g++-mingw-w64-x86-64-posix
fi
