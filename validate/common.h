// Small helpers the groups share.
#pragma once

#include <string>

#include "validate/host.h"
#include "validate/report.h"

namespace validate {

// A folder holding "vesk.ini" with the capture switch set to `sample`, for the substitute
// appdata.dll to report.
std::string SettingsFolder(int sample);

// Loads the plug-in and calls LoadSettings as a host does. When the build reads its settings,
// the settings file it finds says `sample`; returns whether capture is then expected to run on
// Play (the build captures and the machine has a wave input device).
bool LoadWithSample(Plugin& plugin, Check& check, int sample);
// LoadWithSample with capture on; false (the check failed, or skipped for want of capture)
// when the check cannot go on.
bool LoadCapturing(Plugin& plugin, Check& check);

// Waits (pumping messages) until the sinks have received `blocks` blocks or `limit_ms` pass.
bool WaitForBlocks(int blocks, int limit_ms);

// Stops and marks the moment Stop returned, for the sinks to tell late calls.
void StopAndMark(InModule* mod);

std::string SkipReasonCapture(const Features& f);

// Loads the plug-in for a check; a failure to load fails the check with the reason.
bool LoadForCheck(Check& check, Plugin& plugin);

// One load, one Play of `file` with each kind of call, Stop, one unload: brings up what the
// system keeps afterwards (driver threads, handles), so that a baseline measured next holds it.
void WarmUp(const std::string& file);

// The title file information gives for a name: what follows its last backslash or slash,
// walking back by characters of the current code page.
std::string ExpectedTitle(const std::string& name);
// A name is a URL when its first colon is followed by two slashes.
bool IsUrl(const std::string& name);

// Opens the settings dialog through the record and confirms it with the two boxes as given,
// answering the plug-in's dialog calls in place of a window. Returns false when the plug-in
// did not show the dialog as expected (template 101, both boxes set up, closed once).
struct DialogSeen {
    bool shown = false;
    int sample_box = -1, prompt_box = -1; // as the dialog set them up
    int ended = 0;
};
bool ConfirmSettings(Plugin& plugin, int sample, int prompt, DialogSeen* seen);

} // namespace validate
