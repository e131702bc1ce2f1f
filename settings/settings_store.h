// The user settings and the settings file that keeps the capture switch and the loop passes.
#pragma once

#include <windows.h>
#include <mmsystem.h>

extern int config_sample;   // capture switch, stored under "sample"
// Passes of a file's loop marks (playback/sequencer_copy.h), read from "loops" and never
// written: 0 plays every file as written, 1 to 16 that many passes (2 when not given).
extern int config_loops;
extern int prompt_to_save;  // save prompt for streamed files, never stored
// Under Wine, the wave input capture records, by its name, stored under "sample_device" and
// only ever written by the user; empty for the plug-in's own choice (capture/input_choice.cpp).
extern char config_sample_device[MAXPNAMELEN];

constexpr unsigned kSettingsPathSize = 260;
// Full path of "vesk.ini", computed by LoadSettings; empty until then, and empty when the
// folder is too long for the file name to fit.
extern char settings_path[kSettingsPathSize];

void __cdecl LoadSettings(void);
void SaveSettings(void);
void LocateSettingsFile(void);
// Calls the named function of "appdata.dll" with (buffer, size); the buffer is emptied
// first. Returns 1 when the library, the function and the call all succeeded, 0 otherwise.
int CallLibraryPathFunction(const char* name, char* buffer, unsigned size);
