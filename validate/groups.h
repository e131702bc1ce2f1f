// The groups of checks; each runs in a child process of its own.
#pragma once

#include <string>

namespace validate {

void GroupLoad();
void GroupPlayStop();
void GroupRandom();
void GroupInput();
void GroupUrls();
void GroupFaultCapture();
void GroupFaultMixer();
void GroupFaultSettings();
void GroupFaultDownload();
void GroupFaultSink();
void GroupFaultSequencer();
void GroupCareless();

// Runs the random sequence saved in `file` on a fresh load; 0 when it keeps the contract.
int ReplaySequence(const char* file);
// After the random group crashed or hung in sequence `seed` at call `step` (-1: unknown),
// finds the shortest sequence that still does so by replaying candidates in child processes.
std::string ShrinkInChildren(unsigned seed, int step);

} // namespace validate
