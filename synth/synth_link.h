// Link to FluidSynth's TCP command shell on the loopback address: MIDI channel messages, and
// the few system exclusive settings the shell has commands for, and the output's volume, become
// shell commands. No call here waits on FluidSynth; without it nothing sounds and everything
// else goes on.
#pragma once

#include <windows.h>

// Connects when not connected (or when the last connection broke), and resets the
// synthesizer: its channels, and its gain to the one FluidSynth started with (times the
// output's volume). The port comes
// from the environment variable MIDI_SYNTH_PORT, else from the value "Port" under
// HKCU\Software\Wine\Drivers\winefluid.drv that the service script writes; none, or no
// FluidSynth listening, leaves the link down.
void SynthConnect(void);
// Sends one short MIDI message (status byte in the low byte); messages the shell has no
// command for (pressure, system messages) are dropped. A program change on a channel set to
// drums picks a drum kit.
void SynthShortMessage(DWORD message);
// Every channel back to its first preset (channel 10 the standard drum kit, the others the
// first program of bank 0), every sound off, and no channel but 10 on drums; the balance the
// output's volume gives again.
void SynthResetChannels(void);
// Puts channel 0-15 on the drum kits (drums 1) or the melodic programs (0), keeping its
// program number.
void SynthSetDrums(int channel, int drums);
// Master volume 0-16383: FluidSynth's gain, the one it started with times volume / 16383 (and
// the output's volume, below). A connection starts it at 16383.
void SynthMasterVolume(int volume);
// The output's own volume (midiOutSetVolume): 0-0xFFFF for the left side in the low word and
// the right in the high one. It outlasts connections and applies from the next one on. The
// louder side's level scales FluidSynth's gain beside the master volume; the balance goes to
// every channel's balance controller (8), which FluidSynth turns into attenuating one side of
// each voice after its panning, combined with the balance the music gives the channel.
void SynthOutputVolume(DWORD volume);
// Turns every sound off on all 16 channels, unless nothing was sent since the last time.
void SynthSilence(void);
// The driver is being freed: silence, and let the reply reader end by itself.
void SynthRelease(void);
