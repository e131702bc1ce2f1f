// Log of the messages the MIDI output device receives, one line each, for tests and
// benchmarks that rebuild which notes sounded when.
#pragma once

#include <windows.h>

// Microseconds of the high-resolution counter; the same clock a program in the same session
// reads with QueryPerformanceCounter.
LONGLONG LogNowMicroseconds(void);

// Opens (appending) the file that the environment variable MIDI_LOG_FILE names, if any; read
// afresh at each device open so that a program can point each playback at a file of its own.
void LogStart(void);
// Writes "<microseconds> <name> <hex> <hex>\n"; does nothing while no log is open.
void LogMessage(LONGLONG at_us, const char* name, DWORD_PTR first, DWORD_PTR second);
// A long message: "<microseconds> longdata <length> <hex> <bytes> <reading>\n", its bytes in
// hex ("-" for none), the first kLoggedBytes of them followed by "..." when there are more,
// and what the driver made of it ("gm-system-on", "unknown", ...).
constexpr DWORD kLoggedBytes = 64;
void LogLongMessage(LONGLONG at_us, const BYTE* bytes, DWORD length, DWORD_PTR second, const char* reading);
void LogEnd(void);
