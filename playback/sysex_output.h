// Sending the sysex set-up (playback/sysex_setup.h) to the MIDI output before Wine's sequencer
// starts, since Wine's sequencer never sends sysex itself.
#pragma once

#include "playback/sysex_setup.h"

// Opens the MIDI output Wine's sequencer plays to (the only one, else the MIDI mapper, as the
// sequencer opens it), sends each message of the set-up and closes it again, so that an output
// that takes one client at a time is free for the sequencer. Each message is waited for at most
// kSysexWaitMs. Nothing happens when the output cannot be opened.
constexpr unsigned kSysexWaitMs = 20;
void SendSysexSetup(const SysexSetup& setup);
