// The system exclusive set-up the music needs when Wine's sequencer starts it at a point: Wine's
// sequencer never sends sysex, so the plug-in sends what matters itself. Pure, read from the
// sequencer-ready copy (playback/sequencer_copy.h).
#pragma once

#include <cstdint>

// Bounds on what one start sends: a file with hundreds of sysex before the point (a master
// volume sweep) still sends only the last of each kind.
constexpr unsigned kMaxSetupMessages = 32;
constexpr uint32_t kMaxSetupBytes = 2048;

// The messages to send, in order, each without its leading 0xF0: data[i][0, length[i]).
struct SysexSetup {
    const uint8_t* data[kMaxSetupMessages];
    uint32_t length[kMaxSetupMessages];
    unsigned count;
    uint32_t bytes;
};

// The set-up for a start at ms: for each kind of message, the last one before ms, in the
// order they came (a reset of the synthesizer clears what came before it); then every sysex
// from ms up to the first note after it, where too a later message of a kind replaces an
// earlier one (but a reset clears nothing). What does not fit the bounds is left out.
void CollectSysexSetup(const uint8_t* copy, uint32_t size, int ms, SysexSetup* setup);
