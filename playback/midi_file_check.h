// Refusing damaged MIDI files before the sequencer sees them.
#pragma once

// A MIDI file one of whose chunks claims to run past the end of the file is damaged (typically
// cut short). Some sequencers never return from opening such a file when its events are bad
// too (Wine's spins in MCI_OPEN), so the module refuses it before the device sees it. Anything
// that is not a plain disk file beginning like a MIDI file is left to the sequencer to judge.
// Returns 1 unless the file is such a damaged MIDI file.
int MidiFileIsWhole(const char* path);
