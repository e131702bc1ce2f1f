#!/bin/sh
# Builds and runs the capture benchmark with the sound server it records from (a null sink,
# as for the tests), and stops the server again if it started it.
set -e
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh >/dev/null
. tools/wine-env.sh
RUN="$(pwd)/build/run"
mkdir -p "$RUN" && chmod 700 "$RUN"
export XDG_RUNTIME_DIR="$RUN"
started=""
if ! pulseaudio --check 2>/dev/null; then
    pulseaudio -D -n --exit-idle-time=-1 --load="module-null-sink sink_name=nul" \
        --load="module-native-protocol-unix" --load="module-always-sink" </dev/null >/dev/null 2>&1
    started=1
fi
pactl set-default-source nul.monitor >/dev/null 2>&1 || true
status=0
wine build/bin/capture_bench.exe 2>/dev/null || status=$?
[ -n "$started" ] && pulseaudio --kill 2>/dev/null || true
exit $status
