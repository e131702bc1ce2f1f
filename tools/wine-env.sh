# Sourced: a Wine prefix inside the build folder, quiet, without Mono and Gecko prompts.
WINEPREFIX="$(pwd)/build/wineprefix"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p build
