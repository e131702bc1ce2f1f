# Sourced: a Wine prefix inside the build folder, quiet, without Mono and Gecko prompts.
WINEPREFIX="$(pwd)/build/wineprefix"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p build

# The plug-in and every program that loads it are 32-bit, and so is the Wine that runs them.
# A kernel started with its 32-bit emulation off cannot run any of them: say so here rather
# than with an "Exec format error" halfway through the build.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "This machine cannot run 32-bit programs, so Wine cannot run the plug-in or its tests." >&2
    if dmesg 2>/dev/null | grep -q "32-bit emulation disabled"; then
        echo "Its kernel was started with 32-bit emulation off: start it with ia32_emulation=on." >&2
    fi
    exit 1
fi
