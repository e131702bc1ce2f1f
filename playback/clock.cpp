// The playback position clock. All arithmetic is unsigned 32-bit so that a wrap of the
// tick count between two readings still gives the right difference.
#include "playback/clock.h"

#include <windows.h>

#include "capture/capture.h"

// Host thread only. While running, clock_base is the tick at which position 0 would have
// been; while frozen, it is the frozen position itself.
static DWORD clock_base = 0;
static int clock_frozen = 0;

void ClockStart(void)
{
    clock_base = GetTickCount();
    clock_frozen = 0;
}

int ClockRead(void)
{
    if (clock_frozen)
        return (int)clock_base;
    return (int)(GetTickCount() - clock_base);
}

void ClockFreeze(void)
{
    if (clock_frozen)
        return;
    clock_frozen = 1;
    PauseCaptureDevice();
    clock_base = GetTickCount() - clock_base;
}

void ClockThaw(void)
{
    if (!clock_frozen)
        return;
    ResumeCaptureDevice();
    DWORD now = GetTickCount();
    clock_frozen = 0;
    clock_base = now - clock_base;
}

// A frozen clock takes the position itself, so a seek while paused moves the paused
// position instead of leaving a tick count behind.
void ClockRebase(int position)
{
    if (clock_frozen)
        clock_base = (DWORD)position;
    else
        clock_base = GetTickCount() - (DWORD)position;
}

int ClockIsFrozen(void)
{
    return clock_frozen;
}
