// The settings dialog and the About box.
#pragma once

#include <windows.h>

void __cdecl ShowSettings(HWND parent);
void __cdecl ShowAbout(HWND parent);
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
