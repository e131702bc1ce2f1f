// Volume and pan on the volume control of the synthesizer source line of mixer 0. The
// setting is system-wide; the mixer is opened for each application and closed again.
#include "mixer/volume.h"

#include <windows.h>
#include <mmsystem.h>

#include "host/in_module.h" // the records' layout checks

// Host thread only. Stored as the host gave them; ApplyMixer clamps them (0-255 and
// -127..127) and writes the clamped values back, but only while a file plays, which
// mixer_playing mirrors from playback.
static int volume = 0;
static int pan = 0;
static int mixer_playing = 0;

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
    if (v != kReapplyVolume)
        volume = v;
    ApplyMixer();
}

void __cdecl SetPan(int p)
{
    pan = p;
    ApplyMixer();
}

// min + range * level / 2048. The product is taken in 64 bits: a control whose range
// exceeds 2^21 would otherwise wrap and come out near silent at full volume.
static DWORD LevelToBound(const MIXERCONTROLA& control, unsigned level)
{
    DWORD min = control.Bounds.dwMinimum;
    DWORD range = control.Bounds.dwMaximum - min;
    return min + (DWORD)(((unsigned long long)range * level) >> kLevelShift);
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

    HMIXER mixer;
    if (mixerOpen(&mixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return;

    MIXERLINEA line = {};
    line.cbStruct = sizeof(line);
    line.dwDestination = 0;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER;
    if (mixerGetLineInfoA((HMIXEROBJ)mixer, &line, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR) {
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
}
