// The player's window front end: title, position and length, a seek bar, buttons, volume and
// pan sliders, the playlist, the visualisation and the plug-in's own dialogs, on the session.
#pragma once

#include <windows.h>

#include "hostlib/host.h"
#include "player/session.h"

namespace player {

// Whether a window can be shown here. Under Wine a window needs an X (or Wayland) display,
// named in the environment Wine passes on; on Windows, a visible window station.
bool DisplayPresent();

// Makes the player's main window, still hidden, to serve as the host window the plug-in sends
// its messages to (hostlib::Options::window); null when no window can be made.
HWND CreateMainWindow();

// Shows the window and plays the session in it until the window is closed; then stops.
// With trace, every call on the record and every host service call is told on stderr.
// Returns the exit status: 0, or as on the console when the plug-in refused every song tried.
int RunWindow(HWND window, hostlib::Host& host, Session& session, bool trace);

} // namespace player
