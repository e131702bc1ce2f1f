#!/bin/sh
# Installs the MIDI output driver beside this script (winefluid.drv) into a Wine prefix, so
# that MIDI played by Windows programs in it sounds through FluidSynth; `--uninstall` undoes
# it all. The prefix is the one WINEPREFIX names, as for wine itself (~/.wine when unset).
#
# It checks for FluidSynth, a General MIDI SoundFont and a PulseAudio sound server (or
# PipeWire's) and says how to get what is missing. It copies the driver into the prefix's
# folder of 32-bit system files and makes it the prefix's audio driver ("Audio" = pulse,fluid):
# it plays MIDI itself and hands wave output and input on to Wine's PulseAudio driver, as
# before. FluidSynth starts on demand: a systemd user socket on a loopback port (only this
# machine can reach it) starts one FluidSynth for each program that opens the MIDI output,
# which ends with the program.
#
# Environment: WINE the wine command (default wine); MIDI_SYNTH_PORT the port (default 9870);
# SOUNDFONT a SoundFont to use instead of the system's General MIDI one.
set -e
here=$(cd "$(dirname "$0")" && pwd)
WINE="${WINE:-wine}"
PORT="${MIDI_SYNTH_PORT:-9870}"
WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
export WINEPREFIX
units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
unit=tessarin-midi-synth
drivers='HKCU\Software\Wine\Drivers'
mine='HKCU\Software\Wine\Drivers\winefluid.drv'

die() {
    echo "$*" >&2
    exit 1
}

# reg_value KEY NAME prints the value's data; it fails when the value is not there.
reg_value() {
    out=$($WINE reg query "$1" /v "$2" 2>/dev/null) || return 1
    printf '%s\n' "$out" | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

reg() {
    $WINE reg "$@" >/dev/null 2>&1
}

# The prefix is made here when there is none, as wine makes it. A 64-bit prefix keeps its
# 32-bit system files in syswow64 (which its 32-bit programs see as system32).
prepare_prefix() {
    command -v "$WINE" >/dev/null || die "Wine is not installed (no \"$WINE\" command)."
    $WINE reg query 'HKCU\Software\Wine' >/dev/null 2>&1 || true
    windows="$WINEPREFIX/drive_c/windows"
    [ -d "$windows/system32" ] || die "$WINEPREFIX is not a Wine prefix, and wine could not make it one."
    system32="$windows/system32"
    [ -d "$windows/syswow64" ] && system32="$windows/syswow64"
    return 0
}

# SOUNDFONT, or the first of the distributions' General MIDI SoundFonts, the chosen default first.
find_soundfont() {
    if [ -n "$SOUNDFONT" ]; then
        sf="$SOUNDFONT"
        [ -f "$sf" ] || sf=""
        return 0
    fi
    for sf in /usr/share/sounds/sf2/default-GM.sf2 /usr/share/sounds/sf2/TimGM6mb.sf2 \
              /usr/share/sounds/sf2/FluidR3_GM.sf2 /usr/share/soundfonts/default.sf2 \
              /usr/share/soundfonts/FluidR3_GM.sf2; do
        [ -f "$sf" ] && return 0
    done
    sf=""
}

check_needs() {
    fluidsynth=$(command -v fluidsynth || true)
    find_soundfont
    if [ -z "$fluidsynth" ] || [ -z "$sf" ]; then
        [ -z "$fluidsynth" ] && echo "FluidSynth is not installed." >&2
        [ -z "$sf" ] && echo "No General MIDI SoundFont found${SOUNDFONT:+ (SOUNDFONT=$SOUNDFONT is not a file)}." >&2
        die "Install what is missing with your distribution's packages, then run this again:
    Debian, Ubuntu:  sudo apt install fluidsynth fluid-soundfont-gm
    Fedora:          sudo dnf install fluidsynth fluid-soundfont-gm
    Arch:            sudo pacman -S fluidsynth soundfont-fluid
or name a SoundFont of your own: SOUNDFONT=/path/to/file.sf2 $0"
    fi
    # Both FluidSynth and the driver's wave audio go to PulseAudio (or PipeWire's service).
    [ -n "$PULSE_SERVER" ] || [ -S "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse/native" ] ||
        pactl info >/dev/null 2>&1 ||
        die "No PulseAudio sound server answers (nor PipeWire's PulseAudio service): the driver and
FluidSynth play through it. Run this from your desktop session."
    [ -e "$windows/system32/winepulse.drv" ] ||
        die "This Wine has no PulseAudio driver (winepulse.drv), to which the driver hands wave audio."
    return 0
}

# The prefix's "Audio" list must be Wine's default or PulseAudio alone; it is kept to restore.
take_audio_setting() {
    previous=""
    if audio=$(reg_value "$drivers" Audio); then
        case "$audio" in
        pulse,fluid) ;; # installed before: what was saved then stays
        pulse) previous=pulse ;;
        *) die "This prefix sends its sound to \"$audio\" (HKCU\\Software\\Wine\\Drivers \"Audio\"),
but the driver hands sound on to PulseAudio only. Set it back to PulseAudio (winecfg, Audio
tab) or remove the value, then run this again." ;;
        esac
    fi
}

write_units() {
    mkdir -p "$units"
    cat >"$units/$unit.socket" <<EOF
[Unit]
Description=FluidSynth for MIDI in Wine, started on demand (Tessarin MIDI plug-in)

[Socket]
ListenStream=127.0.0.1:$PORT
Accept=yes

[Install]
WantedBy=sockets.target
EOF
    # One FluidSynth per connection, reading the driver's commands on its standard input; it
    # ends when the program's connection closes. Samples load as instruments are chosen, so
    # that it is ready within a fraction of a second.
    cat >"$units/$unit@.service" <<EOF
[Unit]
Description=FluidSynth playing one Wine program's MIDI (Tessarin MIDI plug-in)

[Service]
ExecStart=$fluidsynth -a pulseaudio -n -q -g 0.6 -o synth.dynamic-sample-loading=1 "$sf"
StandardInput=socket
StandardOutput=socket
StandardError=journal
EOF
}

install() {
    [ -f "$here/winefluid.drv" ] || die "winefluid.drv is not beside this script: run it from the unpacked package."
    prepare_prefix
    check_needs
    take_audio_setting
    cp "$here/winefluid.drv" "$system32/winefluid.drv"
    [ -n "$previous" ] && reg add "$mine" /v PreviousAudio /d "$previous" /f
    reg add "$mine" /v Port /t REG_DWORD /d "$PORT" /f
    reg add "$drivers" /v Audio /d pulse,fluid /f
    write_units
    echo "Installed the FluidSynth MIDI output into $WINEPREFIX (port $PORT, SoundFont $sf)."
    if systemctl --user show-environment >/dev/null 2>&1; then
        systemctl --user daemon-reload
        systemctl --user enable "$unit.socket" >/dev/null 2>&1
        systemctl --user restart "$unit.socket"
        echo "FluidSynth now starts by itself whenever a Windows program plays MIDI."
    else
        # FluidSynth's own shell server would listen on every network interface: the socket
        # stays on loopback, and each connection gets a FluidSynth of its own, as from the unit.
        echo "This session has no systemd user manager, so FluidSynth will not start by itself."
        echo "Before playing MIDI in Wine, leave this running (it listens on 127.0.0.1 only):"
        synth="$fluidsynth -a pulseaudio -n -q -g 0.6 -o synth.dynamic-sample-loading=1 \"$sf\""
        # systemd-socket-activate hands on only the environment it is told to: the sound server
        # is found through these two.
        activate="systemd-socket-activate -E XDG_RUNTIME_DIR -E HOME -l 127.0.0.1:$PORT --accept --inetd $synth"
        relay="socat TCP-LISTEN:$PORT,bind=127.0.0.1,reuseaddr,fork SYSTEM:'exec $synth'"
        if command -v systemd-socket-activate >/dev/null; then
            echo "    $activate"
        elif command -v socat >/dev/null; then
            echo "    $relay"
        else
            echo "    $activate"
            echo "(systemd-socket-activate comes with systemd; or install socat and run"
            echo "    $relay)"
        fi
    fi
}

uninstall() {
    [ -d "$WINEPREFIX/drive_c" ] || die "There is no Wine prefix at $WINEPREFIX."
    prepare_prefix
    if previous=$(reg_value "$mine" PreviousAudio); then
        reg add "$drivers" /v Audio /d "$previous" /f
    elif [ "$(reg_value "$drivers" Audio)" = pulse,fluid ]; then
        reg delete "$drivers" /v Audio /f
    fi
    reg delete "$mine" /f || true
    # A Drivers key left without values or subkeys (PulseAudio's driver keeps its devices in
    # one) was made by the install.
    if [ -z "$($WINE reg query "$drivers" 2>/dev/null | tr -d '\r' | grep -v -x -e 'HKEY_CURRENT_USER\\Software\\Wine\\Drivers' -e '')" ]; then
        reg delete "$drivers" /f || true
    fi
    rm -f "$system32/winefluid.drv"
    if [ -e "$units/$unit.socket" ]; then
        systemctl --user disable --now "$unit.socket" >/dev/null 2>&1 || true
        rm -f "$units/$unit.socket" "$units/$unit@.service"
        rmdir "$units" "$(dirname "$units")" 2>/dev/null || true # when the install made them
        systemctl --user daemon-reload >/dev/null 2>&1 || true
        echo "Removed FluidSynth's start on demand (other prefixes with the driver are silent now)."
    fi
    echo "Removed the FluidSynth MIDI output from $WINEPREFIX."
}

case "$1" in
"") install ;;
--uninstall) uninstall ;;
*) die "usage: $0 [--uninstall]   (into the Wine prefix WINEPREFIX names, ~/.wine by default)" ;;
esac
