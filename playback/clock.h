// The playback position clock: milliseconds from the system tick count, frozen while paused.
// It depends on nothing: Pause and Resume stop and restart the recording beside it.
#pragma once

void ClockStart(void);
// The position: 0 from load until the first ClockStart; never negative.
int ClockRead(void);
void ClockFreeze(void);
void ClockThaw(void);
// Sets the position, frozen or running; position is 0 or more.
void ClockRebase(int position);
int ClockIsFrozen(void);
