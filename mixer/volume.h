// Volume and pan on the synthesizer source line of the first mixer.
#pragma once

// SetVolume's argument that re-applies the stored volume and pan unchanged.
constexpr int kReapplyVolume = -666;

void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
void ApplyMixer(void);
