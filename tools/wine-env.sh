# Sourced: a Wine prefix inside the build folder, quiet, without Mono and Gecko prompts, and
# the word size the programs are built for (WINE_BITS, with its toolchain file TOOLCHAIN).
WINEPREFIX="$(pwd)/build/wineprefix"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p build

# The plug-in and the hosts that load it are 32-bit. A kernel started with its 32-bit
# emulation off runs no 32-bit program at all, but 64-bit Wine still runs: there the
# programs are built for x86-64 from the same sources, in a 64-bit prefix, and only the
# shipped 32-bit DLL is built as it is, without being run.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    WINE_BITS=32
    TOOLCHAIN=cmake/mingw-i686.cmake
elif /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    WINE_BITS=64
    TOOLCHAIN=cmake/mingw-x86_64.cmake
    WINEARCH=win64
    # "wine" and "wineserver" on the PATH are the 64-bit ones, for the scripts, ctest and
    # the programs that start Wine themselves.
    mkdir -p build/wine64-path
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >build/wine64-path/wine
    printf '#!/bin/sh\nexec /usr/lib/wine/wineserver64 "$@"\n' >build/wine64-path/wineserver
    chmod 755 build/wine64-path/wine build/wine64-path/wineserver
    case ":$PATH:" in
    *":$(pwd)/build/wine64-path:"*) ;;
    *) PATH="$(pwd)/build/wine64-path:$PATH" ;;
    esac
    export WINEARCH PATH
    if [ -z "$WINE_BITS_TOLD" ]; then
        echo "This machine cannot run 32-bit programs (a kernel with its 32-bit emulation off?)." >&2
        echo "The programs and tests run as a 64-bit build of the same sources; the 32-bit plug-in is built and checked, not run." >&2
        WINE_BITS_TOLD=1
        export WINE_BITS_TOLD
    fi
else
    echo "Wine does not run here: neither /usr/lib/wine/wine nor /usr/lib/wine/wine64 starts." >&2
    exit 1
fi
export WINE_BITS TOOLCHAIN
