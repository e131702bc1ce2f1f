// Volume and pan on the synthesizer source line of the first mixer.
#pragma once

// SetVolume's argument that re-applies the stored volume and pan unchanged.
constexpr int kReapplyVolume = -666;

void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
// Playback tells the mixer whether a file plays: volume and pan reach the mixer line only
// while one does, and the start of a file re-applies the stored ones (SetVolume(-666)).
void SetMixerPlaying(int playing);
void ApplyMixer(void);
