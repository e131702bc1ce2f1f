// Volume and pan. The mixer is not driven yet: the values are only stored.
#include "mixer/volume.h"

static int volume = 0;
static int pan = 0;

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

void ApplyMixer(void) {}
