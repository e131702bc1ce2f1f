// The device the project's MIDI output driver (synth/) offers, for the tests that talk to it
// straight through winmm.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace synth_device {

// The driver's device; a failure and midiOutGetNumDevs() when there is none.
inline UINT Find()
{
    UINT device = 0, count = midiOutGetNumDevs();
    for (MIDIOUTCAPSA caps; device < count; ++device)
        if (midiOutGetDevCapsA(device, &caps, sizeof(caps)) == 0 &&
            std::string(caps.szPname) == "FluidSynth software synthesizer")
            return device;
    ADD_FAILURE() << "no FluidSynth output device: is the driver installed (tools/test.sh)?";
    return count;
}

// The universal master volume message, 0-16383.
inline std::vector<BYTE> MasterVolume(int volume)
{
    return {0xF0, 0x7F, 0x7F, 0x04, 0x01, (BYTE)(volume & 0x7F), (BYTE)(volume >> 7), 0xF7};
}

} // namespace synth_device
