// The copy of a MIDI file that Play hands Wine's sequencer instead of the file itself, built
// so that Wine's sequencer plays it right (see sequencer_copy.cpp).
#pragma once

#include <windows.h>

#include "playback/midi_file.h"

// The copy's size bound: Wine's sequencer reads a file at open at 45-100 ms per MB here.
constexpr DWORD kMaxSequencerCopyBytes = 4u * 1024 * 1024;

// Whether the system's sequencer is Wine's; asked of the system once.
int IsWineSequencer(void);

// Writes the copy of the file being read into the module's copy buffer, replacing the copy
// held. Returns 0, holding none, when it would pass kMaxSequencerCopyBytes. A MidiReadingUse.
int WriteSequencerCopy(const MidiReading& reading);
// Whether a copy is held.
int SequencerCopyHeld(void);
// Lends the copy held to the sequencer: returns the name under which MCI_OPEN reads it. The
// copy stays unchanged, and the module loaded, until ReturnSequencerCopy.
const char* LendSequencerCopy(void);
// Once the device that read the copy is closed: forgets the copy, so that nothing reads it.
void ReturnSequencerCopy(void);
// The time in ms of the copy's first event at or after ms: where Wine's sequencer, told to play
// from ms, starts the music. ms itself when no copy is held or nothing follows it.
int SequencerCopyStartAt(int ms);
