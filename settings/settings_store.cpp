// Settings store. The settings file is not read yet: the settings keep their initial values.
#include "settings/settings_store.h"

int config_sample = 1;
int prompt_to_save = 0;

void __cdecl LoadSettings(void) {}
void SaveSettings(void) {}
