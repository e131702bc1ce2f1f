// File information: the title and length of the current file or of any other file.
#pragma once

void __cdecl GetFileInfo(const char* file, char* title_out, int* length_out);
