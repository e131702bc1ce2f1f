// Sequencer playback: the play, pause, resume, seek, stop, length and position operations.
#pragma once

#include <windows.h>
#include <mmsystem.h>

constexpr unsigned kCurrentPathSize = 1024;

// Host thread only (see sequencer.cpp).
extern char current_path[kCurrentPathSize];
extern int length_ms;
extern int playing;

// Opens path on the sequencer device into record (device type 523 as a number). A MIDI file
// whose chunks run past its end is refused without reaching the device.
// Returns the MCI_OPEN result: 0 on success.
MCIERROR OpenSequencer(MCI_OPEN_PARMSA* record, const char* path);
// Sets milliseconds and asks for the length. Returns the MCI_STATUS result; *length is
// written only when it is 0.
MCIERROR QuerySequencerLength(MCIDEVICEID device, int* length);

int __cdecl Play(const char* path);
void __cdecl Pause(void);
void __cdecl Resume(void);
int __cdecl IsPaused(void);
void __cdecl Stop(void);
int __cdecl GetLength(void);
int __cdecl GetPosition(void);
void __cdecl SetPosition(int ms);
