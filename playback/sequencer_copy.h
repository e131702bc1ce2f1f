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

// The passes of a loop the user may ask for, and what is asked where nothing is said.
constexpr int kMaxLoopPasses = 16;
constexpr int kDefaultLoopPasses = 2;
// The last pass of a loop that runs to the song's end or repeats forever fades out over this
// long, or over the loop's length where that is shorter.
constexpr int kLoopFadeMs = 8000;

// The passes to ask for a reading's loop: 0 (as written) for no loop or user_passes 0; else the
// file's count where it gives one (at most kMaxLoopPasses), else user_passes (1 to 16).
int LoopPassesFor(const MidiLoop& loop, int user_passes);

// The piece the copy plays: the loop's passes (0: as written) and its length in ms; size is
// the copy's exact size where passes > 0 (as written it is the writer's to find).
struct LoopPlan {
    int passes;
    int length_ms;
    uint32_t size;
};

// The most passes, up to asked_passes (at most kMaxLoopPasses), whose copy fits capacity,
// without writing it: about one walk of the events. 0 passes (and the reading's own
// length_ms) for no loop, asked 0, or when not even one pass fits; a file that plays as
// written still does. Otherwise length_ms is where the copy ends.
LoopPlan PlanSequencerCopy(const MidiReading& reading, int asked_passes, uint32_t capacity);

// Writes the copy of a timed reading into out[0, capacity): as written for passes 0 or a
// reading without a loop (then byte for byte what it always was); else unrolled: the part
// before the loop, the loop `passes` times, then the rest of the song, or one more pass
// fading out for a loop that runs to the song's end or repeats forever (count 0). At each
// jump back the sounding notes end and the channels return to their state at the loop's
// start. Returns its size, or 0 when it would not fit (nothing of it is then to be used).
uint32_t WriteSequencerCopy(const MidiReading& reading, int passes, uint8_t* out, uint32_t capacity);

// Whether the copy of a timed reading as written fits in capacity, as WriteSequencerCopy finds, without
// writing it: a bound on its size settles it for music of a usual size; only a copy that may
// not fit is counted, written nowhere.
int SequencerCopyFits(const MidiReading& reading, uint32_t capacity);

// The length in ms that Wine's sequencer reports for the copy of a timed reading: its end.
int SequencerCopyLength(const MidiReading& reading);

// The time in ms of the first event at or after ms in the copy of `size` bytes: where Wine's
// sequencer, told to play from ms, starts the music. ms itself for no copy (size 0), for ms
// at or below 0, or when nothing follows it.
int SequencerCopyStartAt(const uint8_t* copy, uint32_t size, int ms);
