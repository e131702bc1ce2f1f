// The copy of a MIDI file that Play hands Wine's sequencer instead of the file itself, built
// so that Wine's sequencer plays it right (see sequencer_copy.cpp). Pure, as the reading is.
#pragma once

#include <cstdint>

#include "playback/midi_file.h"

// The copy's size bound: Wine's sequencer reads a file at open at 45-100 ms per MB here.
constexpr uint32_t kMaxSequencerCopyBytes = 4u * 1024 * 1024;

// The copy's track data starts here, after the header chunk and the track chunk's header; its
// ticks are milliseconds.
constexpr uint32_t kSequencerCopyTrackAt = 22;

// Writes the copy of a timed reading into out[0, capacity). Returns its size, or 0 when it
// would not fit (nothing of it is then to be used). With out null nothing is written, and the
// size is still found.
uint32_t WriteSequencerCopy(const MidiReading& reading, uint8_t* out, uint32_t capacity);

// Whether the copy of a timed reading fits in capacity, as WriteSequencerCopy finds, without
// writing it: a bound on its size settles it for music of a usual size; only a copy that may
// not fit is counted, written nowhere.
int SequencerCopyFits(const MidiReading& reading, uint32_t capacity);

// The length in ms that Wine's sequencer reports for the copy of a timed reading: its end.
int SequencerCopyLength(const MidiReading& reading);

// The time in ms of the first event at or after ms in the copy of `size` bytes: where Wine's
// sequencer, told to play from ms, starts the music. ms itself for no copy (size 0), for ms
// at or below 0, or when nothing follows it.
int SequencerCopyStartAt(const uint8_t* copy, uint32_t size, int ms);
