// Settings dialog and About box. Not built yet: they show nothing.
#include "settings/settings_dialog.h"

void __cdecl ShowSettings(HWND) {}
void __cdecl ShowAbout(HWND) {}
