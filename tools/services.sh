# Sourced: starts the services the tests and benchmarks need, each only when it is not
# already there, and stop_services stops exactly what was started here.
ROOT="$(pwd)"
RUN="$ROOT/build/run"
mkdir -p "$RUN" && chmod 700 "$RUN"
started=""
SERVICE_PIDS=""

# A process started here: stop_services ends it, and SERVICE_PIDS (which the loopback check,
# tests/loopback_only.py, reads) names it.
started_process() {
    started="$started $1"
    SERVICE_PIDS="$SERVICE_PIDS $1"
    export SERVICE_PIDS
}

stop_services() {
    for what in $started; do
        case "$what" in
        pulse) XDG_RUNTIME_DIR="$RUN" pulseaudio --kill 2>/dev/null || true ;;
        desktop-pulse) XDG_RUNTIME_DIR="$RUN/desktop" pulseaudio --kill 2>/dev/null || true ;;
        wine) wineserver -k </dev/null >/dev/null 2>&1 || true ;;
        *) kill "$what" 2>/dev/null || true ;;
        esac
    done
    started=""
    SERVICE_PIDS=""
}

# Virtual display for dialogs and message boxes.
start_display() {
    [ -n "$DISPLAY" ] && return 0
    for n in 91 92 93 94 95 96 97 98 99; do
        [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
        started_process $!
        DISPLAY=":$n"
        break
    done
    export DISPLAY
    sleep 1
}

# Sound server with a null sink whose monitor is the capture input.
start_sound_server() {
    export XDG_RUNTIME_DIR="$RUN"
    if ! pulseaudio --check 2>/dev/null; then
        pulseaudio -D -n --exit-idle-time=-1 --load="module-null-sink sink_name=nul" \
            --load="module-native-protocol-unix" --load="module-always-sink" </dev/null >/dev/null 2>&1
        started="$started pulse"
        SERVICE_PIDS="$SERVICE_PIDS $(cat "$RUN/pulse/pid" 2>/dev/null)"
        export SERVICE_PIDS
    fi
    pactl set-default-source nul.monitor >/dev/null 2>&1 || true
}

# A sound server of its own set up as a user's desktop is, for the capture tests: an output
# "Speakers" (a null sink) and a microphone that is no monitor, the default input, sounding a
# steady tone in real time (a pipe source that tools/steady_tone.py feeds; PulseAudio's sine
# source hands its sound on in 2-second lumps). With "two", a second output "HDMI",
# listed after the first, is the default output. Programs reach it through XDG_RUNTIME_DIR set
# to DESKTOP_RUNTIME_DIR; it never meets the server above.
start_desktop_like_sound_server() {
    DESKTOP_RUNTIME_DIR="$RUN/desktop"
    mkdir -p "$DESKTOP_RUNTIME_DIR" && chmod 700 "$DESKTOP_RUNTIME_DIR"
    export DESKTOP_RUNTIME_DIR
    # One left behind by a run that was killed goes first: this server is the test's alone.
    XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" pulseaudio --kill 2>/dev/null || true
    XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" pulseaudio -D -n --exit-idle-time=-1 --load="module-native-protocol-unix" \
        --load="module-null-sink sink_name=speakers sink_properties=device.description=Speakers" \
        --load="module-pipe-source file=$DESKTOP_RUNTIME_DIR/microphone source_name=microphone format=s16le rate=44100 channels=2 source_properties=device.description=Microphone" \
        </dev/null >/dev/null 2>&1
    started="$started desktop-pulse"
    /usr/bin/python3 "$ROOT/tools/steady_tone.py" "$DESKTOP_RUNTIME_DIR/microphone" </dev/null >/dev/null 2>&1 &
    started_process $!
    if [ "$1" = two ]; then
        XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" pactl load-module module-null-sink sink_name=hdmi \
            sink_properties=device.description=HDMI >/dev/null
        XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" pactl set-default-sink hdmi
    fi
    XDG_RUNTIME_DIR="$DESKTOP_RUNTIME_DIR" pactl set-default-source microphone
}

# The desktop's sound server when one answers, so that the music is heard; else the one above.
start_desktop_sound() {
    if [ -z "$CI" ] && pactl info >/dev/null 2>&1; then
        return 0
    fi
    start_sound_server
}

# Loopback web server for streamed files: tests put files into TEST_HTTP_ROOT
# (/short/NAME serves NAME with half its body missing).
start_web_server() {
    TEST_HTTP_ROOT="$ROOT/build/www"
    mkdir -p "$TEST_HTTP_ROOT"
    TEST_HTTP_PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    /usr/bin/python3 tools/test_http_server.py "$TEST_HTTP_PORT" "$TEST_HTTP_ROOT" </dev/null >/dev/null 2>&1 &
    started_process $!
    export TEST_HTTP_ROOT TEST_HTTP_PORT
}

# A resident wineserver, warmed, so that each program starts in a fraction of a second.
start_wineserver() {
    # A wineserver already serving this prefix is used as it is, and left running.
    if wineserver -p </dev/null >/dev/null 2>&1; then
        started="$started wine"
    fi
    wine cmd /c exit </dev/null >/dev/null 2>&1
    # No window manager runs on the virtual display: unmanaged windows close at once instead
    # of waiting two seconds for one to withdraw them.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
}

# The MIDI output: the project's driver (build/bin/winefluid.drv) installed into the Wine
# prefix as the system's audio driver, and FluidSynth with the General MIDI SoundFont taking
# its notes on a free loopback port and rendering them to the default PulseAudio sink. Start
# the sound server and the wineserver first. Without FluidSynth the driver still takes the
# sequencer's messages (and logs them into MIDI_LOG_FILE when that names a file); nothing sounds.
SOUNDFONT=/usr/share/sounds/sf2/TimGM6mb.sf2
install_synth_driver() {
    cp "$ROOT/build/bin/winefluid.drv" "$WINEPREFIX/drive_c/windows/system32/winefluid.drv"
    # Wine loads wine<NAME>.drv for each name in "Audio" and keeps the one of highest
    # priority, which this driver makes itself while PulseAudio's is there to hand audio to.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse,fluid /f </dev/null >/dev/null 2>&1
}

start_synth() {
    install_synth_driver
    start_fluidsynth "$RUN/fluidsynth.log"
    # Programs started from this shell find the port in their environment, others in the
    # prefix's registry.
    wine reg add 'HKCU\Software\Wine\Drivers\winefluid.drv' /v Port /t REG_DWORD /d "$MIDI_SYNTH_PORT" /f \
        </dev/null >/dev/null 2>&1
    export MIDI_SYNTH_PORT
}

# FluidSynth alone, rendering to the default sink of the sound server that XDG_RUNTIME_DIR
# leads to, logging into $1; MIDI_SYNTH_PORT is its port.
start_fluidsynth() {
    MIDI_SYNTH_PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    # Gain 0.6 rather than the default 0.2, so that a General MIDI tune reaches the capture
    # (and a listener) at a useful level without clipping a few voices at once. FluidSynth's
    # own shell server would listen on every interface: its shell is served on loopback by
    # tools/synth_relay.py, which ends it when it ends.
    /usr/bin/python3 "$ROOT/tools/synth_relay.py" "$MIDI_SYNTH_PORT" -a pulseaudio -n -q -g 0.6 "$SOUNDFONT" \
        </dev/null >"$1" 2>&1 &
    started_process $!
    # Ready once its shell takes a connection (the SoundFont loads first).
    tries=0
    until /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$MIDI_SYNTH_PORT),1).close()" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -ge 100 ] && { echo "FluidSynth did not start: see $1" >&2; break; }
        sleep 0.1
    done
}
