// File information: the title and length of the current file or of any other file.
#pragma once

// The host passes its title buffer without a size. The plug-in assumes it holds MAX_PATH
// (260) bytes: a longer title is cut to 259 bytes plus the terminator, at a character
// boundary of the ANSI code page.
constexpr unsigned kTitleCapacity = 260;

// Reported in *length_out when the sequencer cannot open the file or tell its length.
constexpr int kUnknownLength = -1000;

// file: null (nothing is done), empty (the current file) or any other name or URL.
// title_out: null or at least kTitleCapacity bytes. length_out: null or an int.
void __cdecl GetFileInfo(const char* file, char* title_out, int* length_out);

// Returns the offset of the last character of text that occurs in set, going by characters
// of the ANSI code page so that a trail byte never matches; fallback when text or set is
// empty or nothing matches. Linear in the length of text.
int FindLastOf(const char* text, const char* set, int fallback);
