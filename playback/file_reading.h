// A MIDI file read once from disk before the sequencer sees it: its bytes, up to the size
// bound, and their reading (playback/midi_file.h).
#pragma once

#include <windows.h>

#include "playback/midi_file.h"

struct FileReading {
    BYTE bytes[kMaxMidiFileBytes];
    DWORD size;     // bytes read; 0 when the file could not be read
    MidiReading midi;
};

// Reads the file at path into *reading, at most kMaxMidiFileBytes of it, and reads that.
// Returns 0 when the file must not reach the sequencer (midi.verdict); a file that cannot be
// opened or read, or is no disk file (a pipe or device, whose reading could wait for ever), is
// the sequencer's to judge: 1, with no bytes and no length.
int ReadFileOnce(const char* path, FileReading* reading);
