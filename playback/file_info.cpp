// File information (title and length). Not built yet: answers nothing.
#include "playback/file_info.h"

void __cdecl GetFileInfo(const char*, char*, int*) {}
