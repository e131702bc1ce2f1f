// The unrolled piece of a file with a loop, for a sequencer that opens files only by name
// (Windows'): written to a file of its own in the temporary folder, which lives from the Play
// that wrote it to the Stop that closes its device.
#pragma once

#include <windows.h>

// Writes bytes[0, size) to a new file in the temporary folder and returns its name, or null
// when it could not be written whole (nothing is then left). A piece still there is deleted
// first: one at a time. The first call of a process also deletes the pieces that processes no
// longer running left behind.
const char* WriteTemporaryPiece(const BYTE* bytes, DWORD size);
// Deletes the piece, once the device that read it is closed. Nothing when there is none.
void DeleteTemporaryPiece(void);
