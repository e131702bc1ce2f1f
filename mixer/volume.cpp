// Volume and pan on the volume control of the synthesizer source line of mixer 0. The
// setting is system-wide; the mixer is opened for each application and closed again. A mixer
// without that line (Wine's, and every one since Windows Vista) leaves them to the MIDI
// output's own volume instead (midiOutSetVolume), on the device the sequencer plays to.
#include "mixer/volume.h"

#include <windows.h>
#include <mmsystem.h>

#include "host/in_module.h" // the records' layout checks
#include "mixer/midi_output.h"

// Host thread only. Stored as the host gave them; ApplyMixer clamps them (0-255 and
// -127..127) and writes the clamped values back, but only while a file plays, which
// mixer_playing mirrors from playback. volume_set: the host has given a volume, without which
// the MIDI output's volume is left as it is.
static int volume = 0;
static int pan = 0;
static int mixer_playing = 0;
static int volume_set = 0;
// The MIDI output the sequencer plays to and its MIDICAPS_ flags (0 when it has none or its
// capabilities cannot be read), as FindVolumeOutput last found them.
static UINT output_device = MIDI_MAPPER;
static DWORD output_support = 0;

// Levels are fixed point with 11 fraction bits: kFullLevel is full volume.
constexpr unsigned kFullLevel = 2048;
constexpr unsigned kLevelShift = 11;

// Levels for lines of up to this many channels: channel 0 is left and 1 right, and further
// channels follow them in turn (even ones left, odd ones right), as front pairs do.
// A line reporting more channels is set uniformly to the unpanned level, since its array
// would not fit.
constexpr unsigned kMaxChannels = 8;

void __cdecl SetVolume(int v)
{
    if (v != kReapplyVolume) {
        volume = v;
        volume_set = 1;
    }
    ApplyMixer();
}

void __cdecl SetPan(int p)
{
    pan = p;
    ApplyMixer();
}

// min + (max - min) * level / 2048. The product is taken in 64 bits: a control whose range
// exceeds 2^21 would otherwise wrap and come out near silent at full volume.
static DWORD Scale(DWORD min, DWORD max, unsigned level)
{
    return min + (DWORD)(((unsigned long long)(max - min) * level) >> kLevelShift);
}

static DWORD LevelToBound(const MIXERCONTROLA& control, unsigned level)
{
    return Scale(control.Bounds.dwMinimum, control.Bounds.dwMaximum, level);
}

// The same levels as the MIDI output's volume, 0-0xFFFF a side: left in the low word, right in
// the high one. A device without a volume is left alone; one with a single volume gets the
// unpanned level in both words (it reads the low one).
static void ApplyOutputVolume(unsigned left, unsigned right, unsigned full)
{
    if (!(output_support & MIDICAPS_VOLUME))
        return;
    if (!(output_support & MIDICAPS_LRVOLUME))
        left = right = full;
    midiOutSetVolume((HMIDIOUT)(UINT_PTR)output_device, Scale(0, 0xFFFF, left) | Scale(0, 0xFFFF, right) << 16);
}

void FindVolumeOutput(void)
{
    output_device = SequencerDevice();
    MIDIOUTCAPSA caps;
    output_support = midiOutGetDevCapsA(output_device, &caps, sizeof(caps)) == MMSYSERR_NOERROR ? caps.dwSupport : 0;
}

// The levels on the synthesizer line's volume control; false when mixer 0 cannot be opened or
// has no such line.
static bool ApplyMixerLine(unsigned left, unsigned right, unsigned full)
{
    HMIXER mixer;
    if (mixerOpen(&mixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return false;

    MIXERLINEA line = {};
    line.cbStruct = sizeof(line);
    line.dwDestination = 0;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER;
    bool has_line = mixerGetLineInfoA((HMIXEROBJ)mixer, &line, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR;
    if (has_line) {
        MIXERCONTROLA control = {};
        MIXERLINECONTROLSA controls = {};
        controls.cbStruct = sizeof(controls);
        controls.dwLineID = line.dwLineID;
        controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
        controls.cControls = 1;
        controls.cbmxctrl = sizeof(control);
        controls.pamxctrl = &control;
        if (mixerGetLineControlsA((HMIXEROBJ)mixer, &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE) == MMSYSERR_NOERROR) {
            MIXERCONTROLDETAILS_UNSIGNED levels[kMaxChannels];
            for (unsigned i = 0; i < kMaxChannels; ++i)
                levels[i].dwValue = LevelToBound(control, i % 2 == 0 ? left : right);
            MIXERCONTROLDETAILS details = {};
            details.cbStruct = sizeof(details);
            details.dwControlID = control.dwControlID;
            details.cChannels = line.cChannels;
            details.cMultipleItems = 0;
            details.cbDetails = sizeof(levels[0]);
            details.paDetails = levels;
            if (line.cChannels > kMaxChannels) {
                // One value the system applies to every channel.
                details.cChannels = 1;
                levels[0].dwValue = LevelToBound(control, full);
            }
            mixerSetControlDetails((HMIXEROBJ)mixer, &details, MIXER_SETCONTROLDETAILSF_VALUE);
        }
    }
    mixerClose(mixer);
    return has_line;
}

void SetMixerPlaying(int playing)
{
    mixer_playing = playing;
    if (playing)
        SetVolume(kReapplyVolume);
}

void ApplyMixer(void)
{
    if (!mixer_playing)
        return;

    if (volume < 0)
        volume = 0;
    if (volume > 255)
        volume = 255;
    if (pan < -127)
        pan = -127;
    if (pan > 127)
        pan = 127;

    unsigned full = (unsigned)volume * kFullLevel / 255;
    unsigned left = full;
    unsigned right = full;
    if (pan > 0)
        left = (unsigned)(127 - pan) * full / 127;
    if (pan < 0)
        right = (unsigned)(pan + 127) * full / 127;

    // Without a mixer, or without the line on it, the MIDI output's volume, once the host has
    // given one.
    if (!ApplyMixerLine(left, right, full) && volume_set)
        ApplyOutputVolume(left, right, full);
}
