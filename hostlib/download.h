// The host's download service, handed to the plug-in on its query.
#pragma once

#include <windows.h>

namespace hostlib {

// Fetches url (HTTP or HTTPS) into the file at target, showing the progress on stdout.
// Returns 0 when the whole body is there; 1 when the connection fails, the server answers
// anything but 200, the body is shorter than announced or the file cannot be written (what
// was written is then removed).
int __cdecl Download(HWND main_window, const char* url, const char* target, const char* status_text);

} // namespace hostlib
