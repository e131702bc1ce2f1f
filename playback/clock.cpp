// The playback position clock. All arithmetic is unsigned 32-bit so that a wrap of the
// tick count between two readings still gives the right difference.
#include "playback/clock.h"

#include <windows.h>

// Host thread only. While running, clock_base is the tick at which position 0 would have
// been; while frozen, it is the frozen position itself. The clock is frozen at 0 from load, so
// that a host asking before the first file is told 0, not the time since the system started.
static DWORD clock_base = 0;
static int clock_frozen = 1;

// Positions stay within int: a reading past 2^31 - 1 ms (24 days) stays there.
static int Position(DWORD ms)
{
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)ms;
}

void ClockStart(void)
{
    clock_base = GetTickCount();
    clock_frozen = 0;
}

int ClockRead(void)
{
    if (clock_frozen)
        return Position(clock_base);
    return Position(GetTickCount() - clock_base);
}

void ClockFreeze(void)
{
    if (clock_frozen)
        return;
    clock_frozen = 1;
    clock_base = GetTickCount() - clock_base;
}

void ClockThaw(void)
{
    if (!clock_frozen)
        return;
    DWORD now = GetTickCount();
    clock_frozen = 0;
    clock_base = now - clock_base;
}

// A frozen clock takes the position itself, so a seek while paused moves the paused
// position instead of leaving a tick count behind.
void ClockRebase(int position)
{
    DWORD at = position > 0 ? (DWORD)position : 0;
    if (clock_frozen)
        clock_base = at;
    else
        clock_base = GetTickCount() - at;
}

int ClockIsFrozen(void)
{
    return clock_frozen;
}
