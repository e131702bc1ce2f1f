// The two user settings and the settings file that keeps the capture switch.
#pragma once

extern int config_sample;   // capture switch, stored under "sample"
extern int prompt_to_save;  // save prompt for streamed files, never stored

void __cdecl LoadSettings(void);
void SaveSettings(void);
