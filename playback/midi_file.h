// One reading of a MIDI file before the sequencer sees it: whether the device may have it at
// all, the file's length from its own tempo map, and its events for whoever needs them then.
#pragma once

#include <windows.h>

// *length_ms when the file cannot be timed from its contents (see ReadMidiFile).
constexpr int kNoFileLength = -1;

// A file whose header and declared tracks take more bytes than this is refused: the sequencer
// would keep the host waiting too long in Play and GetFileInfo (see midi_file.cpp).
constexpr unsigned kMaxMidiFileBytes = 4u * 1024 * 1024;

// Wine's sequencer plays no more than the first 128 tracks; the reading ignores the rest too.
constexpr unsigned kMaxPlayedTracks = 128;

// Where a track is being read: its bytes, the next event's offset, the tick reached and the
// running status in force.
struct MidiTrackCursor {
    const BYTE* data;
    DWORD size;
    DWORD at;
    DWORD tick;
    BYTE running_status;
};

// One event: its absolute tick and status (a channel status, kMidiSysEx, kMidiSysExContinued
// or kMidiMeta); `data` holds its data bytes (after the status, and after the type and length
// of a meta or sysex event), `length` of them.
struct MidiEvent {
    DWORD tick;
    BYTE status;
    BYTE meta_type;
    const BYTE* data;
    DWORD length;
};

constexpr BYTE kMidiSysEx = 0xF0, kMidiSysExContinued = 0xF7, kMidiMeta = 0xFF;
constexpr BYTE kMidiMetaEndOfTrack = 0x2F, kMidiMetaTempo = 0x51;

enum MidiEventReading {
    kEventRead,
    kEventDamaged,   // malformed or cut short, or its tick past 2^31
    kEventUnplayable // a number longer than the format's four bytes, which Wine reads as hours
};

// Reads the event at track->at (which must be below track->size) and moves past it.
MidiEventReading ReadMidiEvent(MidiTrackCursor* track, MidiEvent* event);

// The played tracks of a file being read (the first 128, as Wine plays no more), each up to
// its first damaged event, starting at its tick (format 2 plays them one after another), and
// the tick at which the last of them ends.
struct MidiReading {
    const MidiTrackCursor* tracks;
    unsigned track_count;
    DWORD ticks_per_quarter;
    DWORD end_tick;
};

// Microseconds times ticks per quarter from tick 0 to `tick`, through the tempo map of the file
// being read. *passed counts the tempo changes already passed (0 to start from the beginning):
// while the ticks asked for only grow, each call only moves it forward.
ULONGLONG MidiTimeAt(DWORD tick, unsigned* passed);

// Given the reading of a file that can be timed, while its bytes are in view. Returns 0 to
// refuse the file.
typedef int (*MidiReadingUse)(const MidiReading& reading);

// Reads the file once, no more than kMaxMidiFileBytes of it: the header and the tracks it
// declares, nothing after them.
// Returns 0 when the file must not reach the sequencer: a MIDI file (plain or inside RIFF RMID)
// one of whose declared chunks runs past its end, or past kMaxMidiFileBytes; one that ends before
// all its declared tracks; one whose tracks hold a number longer than four bytes; or one that
// `use` refuses. Returns 1 for everything else, which the sequencer judges.
// *length_ms: the length in ms from the tempo changes of all tracks (formats 0 and 1 play
// their tracks together, format 2 one after another), up to the end of the longest track; or
// kNoFileLength for what is not a readable disk MIDI file with ticks-per-quarter division
// (SMPTE division, malformed events, more tempo changes than kept).
// use (may be null) is given the reading of every file whose events can be timed, damaged
// ones too (their events up to the damage).
int ReadMidiFile(const char* path, int* length_ms, MidiReadingUse use);
