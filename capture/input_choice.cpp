// Which wave input the capture records. On Windows, the default recording device (the wave
// mapper), as ever. Under Wine the default input of a desktop is its microphone, and the music,
// which FluidSynth renders to the sound server's default output, comes back only through that
// output's monitor: an input Wine's PulseAudio driver lists under the sound server's own
// description, "Monitor of " and the output's name (PulseAudio and PipeWire do not translate
// it). Wine lists the server's default output itself only as "PulseAudio", so with several
// outputs the monitor of the default one cannot be told (docs/wine-sequencer.md).
#include "capture/input_choice.h"

#include <mmsystem.h>

#include "playback/memory_file.h"
#include "settings/settings_store.h"

static const WCHAR kMonitorPrefix[] = L"Monitor of ";
constexpr int kMonitorPrefixLength = 11;

UINT ChooseCaptureInput(void)
{
    // Under Wine the sequencer and the wave devices are both Wine's.
    if (!IsWineSequencer())
        return WAVE_MAPPER;

    WCHAR named[MAXPNAMELEN];
    if (MultiByteToWideChar(CP_ACP, 0, config_sample_device, -1, named, MAXPNAMELEN) == 0)
        named[0] = L'\0';
    // The monitor of Wine's default output (device 0) when Wine names that output by itself
    // (chosen in winecfg); "PulseAudio", the server's default, names none. Wine cuts device
    // names to MAXPNAMELEN - 1 characters, the monitor's name included.
    WCHAR wanted[MAXPNAMELEN] = L"";
    WAVEOUTCAPSW output;
    if (waveOutGetDevCapsW(0, &output, sizeof(output)) == MMSYSERR_NOERROR) {
        output.szPname[MAXPNAMELEN - 1] = L'\0';
        lstrcpynW(wanted, kMonitorPrefix, MAXPNAMELEN);
        lstrcpynW(wanted + kMonitorPrefixLength, output.szPname, MAXPNAMELEN - kMonitorPrefixLength);
    }

    // Otherwise the first monitor listed: the only one when there is one output; of several, a
    // guess that stays the same from run to run (Wine lists outputs in an order of its own),
    // and still no microphone.
    UINT first_monitor = WAVE_MAPPER;
    UINT default_monitor = WAVE_MAPPER;
    UINT count = waveInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEINCAPSW input;
        if (waveInGetDevCapsW(id, &input, sizeof(input)) != MMSYSERR_NOERROR)
            continue;
        input.szPname[MAXPNAMELEN - 1] = L'\0';
        if (named[0] != L'\0' && lstrcmpiW(input.szPname, named) == 0)
            return id;
        WCHAR head[kMonitorPrefixLength + 1];
        lstrcpynW(head, input.szPname, kMonitorPrefixLength + 1);
        if (lstrcmpW(head, kMonitorPrefix) != 0)
            continue;
        if (first_monitor == WAVE_MAPPER)
            first_monitor = id;
        if (default_monitor == WAVE_MAPPER && lstrcmpW(input.szPname, wanted) == 0)
            default_monitor = id;
    }
    return default_monitor != WAVE_MAPPER ? default_monitor : first_monitor;
}
