// The playback position clock: milliseconds from the system tick count, frozen while paused.
#pragma once

void ClockStart(void);
int ClockRead(void);
void ClockFreeze(void);
void ClockThaw(void);
void ClockRebase(int position);
int ClockIsFrozen(void);
