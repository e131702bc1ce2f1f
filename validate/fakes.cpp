// Substitute mixer.
#include "validate/fakes.h"

#include <cstdio>

namespace validate {

FakeMixerState fake_mixer;
static const HMIXER kMixerHandle = (HMIXER)0x5150;
static const DWORD kLineId = 0x77, kControlId = 0x99;

static void Bad(const char* text)
{
    if (fake_mixer.bad++ == 0)
        snprintf(fake_mixer.bad_text, sizeof(fake_mixer.bad_text), "%s", text);
}

static MMRESULT WINAPI FakeMixerOpen(LPHMIXER handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    ++fake_mixer.opens;
    if (id != 0 || callback != 0 || instance != 0 || flags != MIXER_OBJECTF_MIXER)
        Bad("mixerOpen not on mixer 0 without callback and flags");
    if (fake_mixer.open_result != 0)
        return fake_mixer.open_result;
    *handle = kMixerHandle;
    return 0;
}

static MMRESULT WINAPI FakeGetLineInfo(HMIXEROBJ mixer, LPMIXERLINEA line, DWORD flags)
{
    if ((HMIXER)mixer != kMixerHandle)
        Bad("mixerGetLineInfoA on another handle");
    if (flags != MIXER_GETLINEINFOF_COMPONENTTYPE)
        Bad("mixerGetLineInfoA flags other than MIXER_GETLINEINFOF_COMPONENTTYPE alone");
    if (line == nullptr || line->cbStruct != sizeof(MIXERLINEA) ||
        line->dwComponentType != MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER || line->dwDestination != 0) {
        Bad("MIXERLINEA not sized 168 for the synthesizer source of destination 0");
        return MMSYSERR_INVALPARAM;
    }
    if (fake_mixer.line_result != 0)
        return fake_mixer.line_result;
    line->dwLineID = kLineId;
    line->cChannels = fake_mixer.channels;
    line->cControls = 1;
    return 0;
}

static MMRESULT WINAPI FakeGetLineControls(HMIXEROBJ mixer, LPMIXERLINECONTROLSA controls, DWORD flags)
{
    if ((HMIXER)mixer != kMixerHandle)
        Bad("mixerGetLineControlsA on another handle");
    if (flags != MIXER_GETLINECONTROLSF_ONEBYTYPE)
        Bad("mixerGetLineControlsA flags other than MIXER_GETLINECONTROLSF_ONEBYTYPE alone");
    if (controls == nullptr || controls->cbStruct != sizeof(MIXERLINECONTROLSA) || controls->dwLineID != kLineId ||
        controls->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME || controls->cControls != 1 ||
        controls->cbmxctrl != sizeof(MIXERCONTROLA) || controls->pamxctrl == nullptr) {
        Bad("MIXERLINECONTROLSA does not ask for the line's one volume control");
        return MMSYSERR_INVALPARAM;
    }
    if (fake_mixer.controls_result != 0)
        return fake_mixer.controls_result;
    MIXERCONTROLA* control = controls->pamxctrl;
    control->cbStruct = sizeof(MIXERCONTROLA);
    control->dwControlID = kControlId;
    control->dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control->Bounds.dwMinimum = fake_mixer.minimum;
    control->Bounds.dwMaximum = fake_mixer.maximum;
    return 0;
}

static MMRESULT WINAPI FakeSetControlDetails(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    ++fake_mixer.sets;
    if ((HMIXER)mixer != kMixerHandle)
        Bad("mixerSetControlDetails on another handle");
    if (flags != MIXER_SETCONTROLDETAILSF_VALUE)
        Bad("mixerSetControlDetails flags other than MIXER_SETCONTROLDETAILSF_VALUE");
    if (details == nullptr || details->cbStruct != sizeof(MIXERCONTROLDETAILS) || details->dwControlID != kControlId ||
        details->cMultipleItems != 0 || details->cbDetails != sizeof(MIXERCONTROLDETAILS_UNSIGNED) ||
        details->paDetails == nullptr) {
        Bad("MIXERCONTROLDETAILS does not name the volume control with 4-byte unsigned levels");
        return MMSYSERR_INVALPARAM;
    }
    fake_mixer.set_channels = (int)details->cChannels;
    if (details->cChannels != (DWORD)fake_mixer.channels)
        Bad("mixerSetControlDetails channel count differs from the line's");
    // A driver reads one level per channel: all of them must be readable.
    auto levels = (const MIXERCONTROLDETAILS_UNSIGNED*)details->paDetails;
    for (DWORD i = 0; i < details->cChannels && i < 8; ++i)
        fake_mixer.values[i] = levels[i].dwValue;
    return 0;
}

static MMRESULT WINAPI FakeMixerClose(HMIXER mixer)
{
    ++fake_mixer.closes;
    if (mixer != kMixerHandle)
        Bad("mixerClose on another handle");
    return 0;
}

bool FakeMixer::Install(HMODULE module)
{
    bool ok = open_.Set(module, "winmm.dll", "mixerOpen", (void*)FakeMixerOpen);
    ok &= line_.Set(module, "winmm.dll", "mixerGetLineInfoA", (void*)FakeGetLineInfo);
    ok &= controls_.Set(module, "winmm.dll", "mixerGetLineControlsA", (void*)FakeGetLineControls);
    ok &= set_.Set(module, "winmm.dll", "mixerSetControlDetails", (void*)FakeSetControlDetails);
    ok &= close_.Set(module, "winmm.dll", "mixerClose", (void*)FakeMixerClose);
    return ok;
}

void FakeMixer::Remove()
{
    open_.Restore();
    line_.Restore();
    controls_.Restore();
    set_.Restore();
    close_.Restore();
}

void ExpectedLevels(int volume, int pan, DWORD minimum, DWORD maximum, DWORD* left, DWORD* right)
{
    int full = volume * 2048 / 255;
    int l = full, r = full;
    if (pan > 0)
        l = (127 - pan) * full / 127;
    if (pan < 0)
        r = (pan + 127) * full / 127;
    // The product is taken in 64 bits: in 32 it wraps for a control whose range is wide.
    unsigned long long range = maximum - minimum;
    *left = minimum + (DWORD)((range * (unsigned)l) >> 11);
    *right = minimum + (DWORD)((range * (unsigned)r) >> 11);
}

} // namespace validate
