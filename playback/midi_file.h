// The reading of a MIDI file's bytes: whether the sequencer may have it at all, its length
// from its own tempo map, and its events. Pure: no system call and no state between calls,
// so that it builds and is tested natively as well as in the plug-in.
#pragma once

#include <cstdint>

// length_ms when the file cannot be timed from its contents (see ReadMidi).
constexpr int kNoFileLength = -1;

// A file whose header and declared tracks take more bytes than this is refused: the sequencer
// would keep the host waiting too long in Play and GetFileInfo (see midi_file.cpp).
constexpr uint32_t kMaxMidiFileBytes = 4u * 1024 * 1024;

// Wine's sequencer plays no more than the first 128 tracks; the reading ignores the rest too.
constexpr unsigned kMaxPlayedTracks = 128;

// A file with more tempo changes than this is timed by the device. Expressive piano files carry
// hundreds to a few thousand (one of the test files has 923).
constexpr unsigned kMaxTempoChanges = 4096;

// Where a track is being read: its bytes, the next event's offset, the tick reached and the
// running status in force.
struct MidiTrackCursor {
    const uint8_t* data;
    uint32_t size;
    uint32_t at;
    uint32_t tick;
    uint8_t running_status;
};

// One event: its absolute tick and status (a channel status, kMidiSysEx, kMidiSysExContinued
// or kMidiMeta); `data` holds its data bytes (after the status, and after the type and length
// of a meta or sysex event), `length` of them.
struct MidiEvent {
    uint32_t tick;
    uint8_t status;
    uint8_t meta_type;
    const uint8_t* data;
    uint32_t length;
};

constexpr uint8_t kMidiSysEx = 0xF0, kMidiSysExContinued = 0xF7, kMidiMeta = 0xFF;
constexpr uint8_t kMidiMetaEndOfTrack = 0x2F, kMidiMetaTempo = 0x51;

enum MidiEventReading {
    kEventRead,
    kEventDamaged,   // malformed or cut short, or its tick past 2^31
    kEventUnplayable // a number longer than the format's four bytes, which Wine reads as hours
};

// Reads the event at track->at and moves past it. At or past the track's end it is damaged.
MidiEventReading ReadMidiEvent(MidiTrackCursor* track, MidiEvent* event);

struct MidiTempoChange {
    uint32_t tick;
    uint32_t us_per_quarter;
    uint64_t time; // microseconds times ticks per quarter from tick 0 to here
};

// The loop marks a file may carry (see FindLoop in midi_file.cpp for the rules that make them
// unambiguous); kMidiLoopNone: the file plays as written.
enum MidiLoopConvention {
    kMidiLoopNone,
    kMidiLoopMarkers,        // marker meta events "loopStart" ("=N": a count) and "loopEnd"
    kMidiLoopEmidiSong,      // EMIDI controllers 118 (value: the count) and 119 (value 127)
    kMidiLoopEmidiTrack,     // EMIDI controllers 116 and 117, the same loop in every track
    kMidiLoopControllers110, // controller 110 the start, 111 the end
    kMidiLoopController111,  // controller 111 the start, the song's end the loop's end
};

// MidiLoop::count when the file gives none; 0 is a loop marked to repeat forever.
constexpr int kLoopCountNotGiven = -1;
// A loop shorter than this (in ms, start to end) is taken for stray marks: played as written.
constexpr int kMinLoopMs = 50;

// The loop a reading found: from start_tick up to (not including) end_tick, the song's end
// tick where no end is marked. The ms are the times rounded from the file's tempo map, as the
// sequencer-ready copy places events. runs_to_end: nothing sounds from the loop's end on (no
// note starts there), so that the last pass fades out rather than going on to a silent tail.
struct MidiLoop {
    MidiLoopConvention convention;
    uint32_t start_tick, end_tick;
    int start_ms, end_ms;
    int count; // kLoopCountNotGiven, 0 (forever) or the passes the file asks for
    int runs_to_end;
};

// What one ReadMidi found. The tracks point into the bytes read, so they are good only while
// those bytes are.
struct MidiReading {
    // 0: the file must not reach the sequencer; 1: the sequencer judges it.
    int verdict;
    // The length in ms from the tempo changes of all tracks (formats 0 and 1 play their tracks
    // together, format 2 one after another) up to the end of the longest track, or
    // kNoFileLength (see ReadMidi).
    int length_ms;
    // 1 when the events below can be timed: ticks per quarter, a tempo map within bounds.
    int timed;
    // The played tracks (the first 128), each up to its first damaged event, starting at its
    // tick, and the tick at which the last of them ends.
    MidiTrackCursor tracks[kMaxPlayedTracks];
    unsigned track_count;
    uint32_t ticks_per_quarter;
    uint32_t end_tick;
    // The tempo changes of all tracks by tick; at equal ticks the later track's last.
    MidiTempoChange tempo[kMaxTempoChanges];
    unsigned tempo_count;
    // Found only in a whole timed file (length_ms known); convention kMidiLoopNone otherwise.
    MidiLoop loop;
};

// Reads the MIDI file in bytes[0, size): plain, or the "data" chunk of a RIFF RMID file; only
// the header and the tracks it declares, nothing after them. Any size is safe, 0 included.
// Verdict 0 for a file one of whose declared chunks runs past size, one that ends before all
// its declared tracks, or one whose tracks hold a number longer than four bytes; 1 for
// everything else, which the sequencer judges. The length is kNoFileLength for what is not a
// MIDI file with ticks-per-quarter division, for a damaged file (its good events are still
// read and timed) and for more tempo changes than kMaxTempoChanges.
void ReadMidi(const uint8_t* bytes, uint32_t size, MidiReading* reading);

// Whether Wine's sequencer opens bytes[0, size) as they are (its MCI_OPEN, dlls/mciseq/mcimidi.c):
// a Standard MIDI File from the first byte (in a RIFF RMID file it looks for the "data" chunk
// past the end of the RIFF chunk, and never finds it), a header of at least six bytes, format
// 0, 1 or 2, a division of ticks (0, and SMPTE frames above 0x8000, it refuses; 0x8000 it takes
// as ticks), then a track chunk after another, nothing of another kind between, for each track
// it reads: one in format 0, else the declared count up to 0x7FFF. The events never refuse a
// file there. A track chunk running past size is refused here too (ReadMidi refuses it anyway).
int WineSequencerOpens(const uint8_t* bytes, uint32_t size);

// Microseconds times ticks per quarter from tick 0 to `tick` through the reading's tempo map.
// *passed counts the tempo changes already passed (0 to start from the beginning); ticks
// asked for in rising order keep each call short, and a tick that goes back is still right.
uint64_t MidiTimeAt(const MidiReading& reading, uint32_t tick, unsigned* passed);
// The same time in ms, rounded (in 64 bits: a slow tempo at few ticks a quarter reaches 2^32
// ms well within 2^31 ticks).
uint64_t MidiRoundedMs(const MidiReading& reading, uint32_t tick, unsigned* passed);
