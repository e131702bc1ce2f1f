// Substitutes for system functions the plug-in imports: a tick count the validator sets, and a
// mixer with a synthesizer line whose bounds and channels the validator chooses.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "validate/host.h"

namespace validate {

using FakeTicks = ::FakeTickCount;

struct FakeMixerState {
    DWORD minimum = 0, maximum = 65535;
    int channels = 2;
    MMRESULT open_result = 0, line_result = 0, controls_result = 0;
    int opens = 0, closes = 0, sets = 0, bad = 0;
    int set_channels = 0;
    DWORD values[8] = {};
    char bad_text[160] = "";
};
extern FakeMixerState fake_mixer;

class FakeMixer {
public:
    // Substitutes the five mixer functions; false when the plug-in does not import them all.
    bool Install(HMODULE module);
    void Remove();

private:
    ImportPatch open_, line_, controls_, set_, close_;
};

// The levels the mixer should receive for a volume and pan already clamped (left, right):
// min + range * level / 2048, the product in 64 bits.
void ExpectedLevels(int volume, int pan, DWORD minimum, DWORD maximum, DWORD* left, DWORD* right);

} // namespace validate
