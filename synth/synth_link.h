// Link to FluidSynth's TCP command shell on the loopback address: MIDI channel messages
// become shell commands. No call here waits on FluidSynth; without it nothing sounds and
// everything else goes on.
#pragma once

#include <windows.h>

// Connects when not connected (or when the last connection broke). The port comes from the
// environment variable MIDI_SYNTH_PORT, else from the value "Port" under
// HKCU\Software\Wine\Drivers\winefluid.drv that the service script writes; none, or no
// FluidSynth listening, leaves the link down.
void SynthConnect(void);
// Sends one short MIDI message (status byte in the low byte); messages the shell has no
// command for (pressure, system messages) are dropped.
void SynthShortMessage(DWORD message);
// Turns every sound off on all 16 channels, unless nothing was sent since the last time.
void SynthSilence(void);
// The driver is being freed: silence, and let the reply reader end by itself.
void SynthRelease(void);
