// What the plug-in relies on from the host player: its service functions and the
// window messages exchanged with its main window.
#pragma once

#include <windows.h>

// Host services, called with the C calling convention (caller removes the arguments).
typedef void(__cdecl* AnnounceFormatFn)(int, int, int, int); // called with 0, 44, 2, 1
typedef void(__cdecl* VisOpenFn)(int, int);                  // called with 0, 44100
typedef void(__cdecl* VisCloseFn)(void);
// Receives 2304 bytes of 16-bit stereo (576 frames), valid only during the call.
typedef void(__cdecl* PcmSinkFn)(const void* samples, int channels, int bits, int reserved);
// Downloads url into the file at target; 0 means the file now exists there.
typedef int(__cdecl* DownloadFn)(HWND main_window, const char* url, const char* target,
                                 const char* status_text);

// Sent to the main window: WM_USER with parameters 0 and 240 asks for the download
// function; a result of 0 or 1 means the host has none.
constexpr UINT kDownloadServiceQuery = WM_USER;      // 1024
constexpr LPARAM kDownloadServiceParam = 240;
// Posted to the main window, parameters 0 and 0, once the position passes the length.
constexpr UINT kEndOfFileMessage = WM_USER + 2;      // 1026
