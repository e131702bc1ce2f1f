// Volume and pan on the synthesizer source line of the first mixer, or where it has none, on
// the MIDI output's own volume.
#pragma once

// SetVolume's argument that re-applies the stored volume and pan unchanged.
constexpr int kReapplyVolume = -666;

void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
// Playback tells the mixer whether a file plays: volume and pan reach the mixer line only
// while one does, and the start of a file re-applies the stored ones (SetVolume(-666)).
void SetMixerPlaying(int playing);
// Before Play starts the sequencer: finds the MIDI output it plays to and the volume that
// output offers, for a mixer without the synthesizer line. It comes before the sequencer's
// thread opens the output on purpose: seen under Wine 8, when a process's first use of the
// MIDI outputs came from another thread while that thread opened its output, the sequencer's
// open never reached the driver and the file played in silence.
void FindVolumeOutput(void);
void ApplyMixer(void);
