// One reading of a MIDI file before the sequencer sees it: whether the device may have it at
// all, and the file's length from its own tempo map.
#pragma once

// *length_ms when the file cannot be timed from its contents (see ReadMidiFile).
constexpr int kNoFileLength = -1;

// A file whose header and declared tracks take more bytes than this is refused: the sequencer
// would keep the host waiting too long in Play and GetFileInfo (see midi_file.cpp).
constexpr unsigned kMaxMidiFileBytes = 4u * 1024 * 1024;

// Reads the file once, no more than kMaxMidiFileBytes of it: the header and the tracks it
// declares, nothing after them.
// Returns 0 when the file must not reach the sequencer: a MIDI file (plain or inside RIFF RMID)
// one of whose declared chunks runs past its end, or past kMaxMidiFileBytes; one that ends before
// all its declared tracks; one whose tracks
// hold a number longer than four bytes; or one that, as far as its events read, waits more than
// two minutes between consecutive events (all tracks merged, through the tempo map), since a
// stop waits for the next event on some sequencers. Returns 1 for everything else, which the
// sequencer judges.
// *length_ms: the length in ms from the tempo changes of all tracks (formats 0 and 1 play
// their tracks together, format 2 one after another), up to the end of the longest track; or
// kNoFileLength for what is not a readable disk MIDI file with ticks-per-quarter division
// (SMPTE division, malformed events, more tempo changes than kept).
int ReadMidiFile(const char* path, int* length_ms);
