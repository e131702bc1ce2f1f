#!/bin/sh
# Installs from the release package alone, as a user would, and listens: unpacks the package
# into an empty folder, makes a fresh Wine prefix, installs the MIDI output driver with the
# package's own script, starts FluidSynth as the script says to where no user service manager
# runs (on loopback, one FluidSynth a connection, as its on-demand unit does), plays a real
# MIDI file in the player with the unpacked DLL as its plug-in, and checks that the notes
# reached FluidSynth (the driver's log) and that the sound server heard them loud; then
# uninstalls and checks that the prefix is as it was (where no 32-bit program runs, only the
# install and the uninstall). Needs tools/test.sh's sound server.
# Usage: tests/install_from_package.sh PACKAGE_FOLDER PLAYER_FOLDER SONG.mid
set -e
tmp=$(mktemp -d)
# A prefix, and a home without a user service manager, of this check's own.
WINEPREFIX="$tmp/prefix" HOME="$tmp/home"
export WINEPREFIX HOME
unset DBUS_SESSION_BUS_ADDRESS MIDI_SYNTH_PORT
pids=""
cleanup() {
    kill $pids 2>/dev/null || true
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        # The server's folder of the prefix, which Wine leaves behind.
        server=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
        for folder in /tmp/wine-*/"$server" /tmp/.wine-"$(id -u)"/"$server"; do
            if [ -d "$folder" ]; then
                rm -rf "$folder"
                rmdir "$(dirname "$folder")" 2>/dev/null || true
            fi
        done
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

unzip -q "$1"/*.zip -d "$tmp/unpacked"
package=$(echo "$tmp"/unpacked/*)
# The stand-in host loads the plug-in beside it: its folder is the plug-in folder.
mkdir "$tmp/player"
cp "$2/player.exe" "$2/appdata.dll" "$package/midi_plugin.dll" "$tmp/player/"

# What the install touches (Wine's PulseAudio driver adds its devices beside it as sound plays).
state() {
    wine reg query 'HKCU\Software\Wine\Drivers' /v Audio 2>/dev/null | tr -d '\r' | grep Audio || echo "no Audio"
    wine reg query 'HKCU\Software\Wine\Drivers\winefluid.drv' 2>/dev/null | tr -d '\r' | grep . || echo "no driver key"
    # A 32-bit prefix has no syswow64: only the system folders there are listed.
    for folder in system32 syswow64; do
        if [ -d "$WINEPREFIX/drive_c/windows/$folder" ]; then
            ls "$WINEPREFIX/drive_c/windows/$folder"
        fi
    done
    if [ -d "$HOME/.config/systemd" ]; then
        ls -R "$HOME/.config/systemd"
    fi
}
wine wineboot -i </dev/null >/dev/null 2>&1
state >"$tmp/before"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
MIDI_SYNTH_PORT=$port sh "$package/wine/install-synth.sh" >"$tmp/install.log"
cat "$tmp/install.log"

status=0
if [ "$WINE_BITS" = 64 ]; then
    # The package's plug-in and driver are 32-bit: where no 32-bit program runs, check the
    # install and the uninstall alone.
    echo "not played: this machine runs no 32-bit program; the install and the uninstall are checked"
    system32="$WINEPREFIX/drive_c/windows/syswow64"
    [ -d "$system32" ] || system32="$WINEPREFIX/drive_c/windows/system32"
    cmp "$package/wine/winefluid.drv" "$system32/winefluid.drv" ||
        { echo "FAIL: the driver is not in the prefix's 32-bit system folder"; status=1; }
    sh "$package/wine/install-synth.sh" --uninstall
    state >"$tmp/after"
    diff "$tmp/before" "$tmp/after" || { echo "FAIL: the prefix is not as it was"; status=1; }
    exit $status
fi

# Without a user service manager the script tells how to start FluidSynth: as it says.
synth=$(sed -n 's/^    \(systemd-socket-activate .*\)$/\1/p' "$tmp/install.log")
case "$synth" in
*" -l 127.0.0.1:$port "*) ;;
*) echo "FAIL: the script gives no command that starts FluidSynth on 127.0.0.1:$port"; exit 1 ;;
esac
sh -c "exec $synth" 2>"$tmp/synth.log" &
pids="$!"
parecord --latency-msec=100 --device=nul.monitor --file-format=wav "$tmp/heard.wav" &
pids="$pids $!"
MIDI_LOG_FILE="Z:$tmp/midi.log" wine "$tmp/player/player.exe" --console "$3" </dev/null
sleep 2 # the recorder's buffers, into the file
kill $pids
pids=""

notes=$(awk '$2 == "data" && substr($3, 7, 1) == "9" && substr($3, 3, 2) != "00"' "$tmp/midi.log" | wc -l)
# RMS of the music, the silence before and after it trimmed.
rms=$(sox "$tmp/heard.wav" -n silence 1 0.05 0.1% reverse silence 1 0.05 0.1% reverse stat 2>&1 |
    sed -n 's/^RMS *amplitude: *//p')
echo "heard: $notes note-ons reached FluidSynth; the music's RMS ${rms:-none} of full scale"
[ "$notes" -gt 0 ] || { echo "FAIL: no note reached FluidSynth"; cat "$tmp/synth.log"; status=1; }
awk -v rms="${rms:-0}" 'BEGIN { exit !(rms > 0.01) }' || { echo "FAIL: the music was not loud"; status=1; }

sh "$package/wine/install-synth.sh" --uninstall
state >"$tmp/after"
diff "$tmp/before" "$tmp/after" || { echo "FAIL: the prefix is not as it was"; status=1; }
exit $status
