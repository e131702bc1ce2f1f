// Sequencer playback: the play, pause, resume, seek, stop, length and position operations.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "playback/file_reading.h"
#include "playback/sequencer_copy.h"

constexpr unsigned kCurrentPathSize = 1024;

// Host thread only (see sequencer.cpp).
extern char current_path[kCurrentPathSize];
extern int length_ms;
extern int playing;

// Opens path, already read into *reading (ReadFileOnce), on a sequencer device of its own into
// record (device type 523 as a number), beside the one that may be playing. Wine's sequencer
// reads the bytes of *reading, which must stay unchanged until CloseSequencer. Returns the
// MCI_OPEN result: 0 on success.
MCIERROR OpenSequencer(MCI_OPEN_PARMSA* record, const char* path, const FileReading* reading);
void CloseSequencer(MCIDEVICEID device);
// Frees the sequencer's driver, which the first open loaded and kept: at the plug-in's unload,
// when no device of its own is open.
void ReleaseSequencerDriver(void);
// The piece a file plays, wherever it plays (Play, GetLength, GetFileInfo, the end of the file):
// its loop unrolled as the file's count or the "loops" setting asks, as far as the copy's bound
// allows (passes 0: as written), and that piece's length in ms (kNoFileLength when the file
// cannot be timed).
LoopPlan PlanPlayedPiece(const MidiReading& midi);
// Sets milliseconds and asks for the length. Returns the MCI_STATUS result; *length is
// written only when it is 0: file_length when the file was timed (not kNoFileLength), else
// the device's answer.
MCIERROR QuerySequencerLength(MCIDEVICEID device, int file_length, int* length);

int __cdecl Play(const char* path);
void __cdecl Pause(void);
void __cdecl Resume(void);
int __cdecl IsPaused(void);
void __cdecl Stop(void);
int __cdecl GetLength(void);
int __cdecl GetPosition(void);
void __cdecl SetPosition(int ms);
