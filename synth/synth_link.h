// Link to FluidSynth's TCP command shell on the loopback address: MIDI channel messages, and
// the few system exclusive settings the shell has commands for, become shell commands. No call here waits on FluidSynth; without it nothing sounds and
// everything else goes on.
#pragma once

#include <windows.h>

// Connects when not connected (or when the last connection broke), and resets the
// synthesizer: its channels, and its gain to the one FluidSynth started with. The port comes
// from the environment variable MIDI_SYNTH_PORT, else from the value "Port" under
// HKCU\Software\Wine\Drivers\winefluid.drv that the service script writes; none, or no
// FluidSynth listening, leaves the link down.
void SynthConnect(void);
// Sends one short MIDI message (status byte in the low byte); messages the shell has no
// command for (pressure, system messages) are dropped. A program change on a channel set to
// drums picks a drum kit.
void SynthShortMessage(DWORD message);
// Every channel back to its first preset (channel 10 the standard drum kit, the others the
// first program of bank 0), every sound off, and no channel but 10 on drums.
void SynthResetChannels(void);
// Puts channel 0-15 on the drum kits (drums 1) or the melodic programs (0), keeping its
// program number.
void SynthSetDrums(int channel, int drums);
// Master volume 0-16383: FluidSynth's gain, the one it started with times volume / 16383.
void SynthMasterVolume(int volume);
// Turns every sound off on all 16 channels, unless nothing was sent since the last time.
void SynthSilence(void);
// The driver is being freed: silence, and let the reply reader end by itself.
void SynthRelease(void);
