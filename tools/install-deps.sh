#!/bin/sh
# Installs what the build, the release package and the tests need on Debian, as root, when it
# is missing. 32-bit Wine only where the kernel runs 32-bit programs; elsewhere 64-bit Wine and
# the x86-64 cross compiler, and no i386 package lists at all.
set -e
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
updated=""
update_lists() {
    [ -n "$updated" ] && return 0
    # A mirror caught mid-sync fails one index and is right minutes later: try again once,
    # then go on with the lists that did arrive; the install says if one is still missing.
    apt-get update -qq || { sleep 30; apt-get update -qq; } || echo "apt-get update failed twice; going on with the lists there are" >&2
    updated=1
}
install_missing() {
    need=""
    for pkg in "$@"; do
        have "$pkg" || need="$need $pkg"
    done
    [ -z "$need" ] && return 0
    echo "installing:$need"
    update_lists
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
}
# The smallest 32-bit program there is (exit 0 through int 0x80): a kernel with its 32-bit
# emulation off refuses it with "Exec format error".
runs_32bit() {
    probe=$(mktemp)
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
    chmod 755 "$probe"
    ok=1
    "$probe" 2>/dev/null || ok=0
    rm -f "$probe"
    [ "$ok" = 1 ]
}
install_missing cmake make g++ g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest \
    xvfb xauth pulseaudio pulseaudio-utils sox \
    python3 python3-pefile python3-mido imagemagick x11-utils fonts-wine \
    fluidsynth timgm6mb-soundfont zip unzip systemd clang libclang-rt-14-dev
if runs_32bit; then
    if ! dpkg --print-foreign-architectures | grep -q i386; then
        dpkg --add-architecture i386
        updated=""
    fi
    install_missing wine wine32:i386
else
    install_missing wine wine64 g++-mingw-w64-x86-64-posix
fi
