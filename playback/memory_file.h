// Bytes in memory that the sequencer opens as a file: an mmio I/O procedure of the module's
// own, found by the extension of the name it is lent under, so nothing is written to disk.
#pragma once

#include <windows.h>

// Whether the system's sequencer is Wine's; asked of the system once. Only Wine's is handed
// memory files; every other sequencer opens the file itself.
int IsWineSequencer(void);

// The lenders: the file that plays, and the one GetFileInfo asks about beside it.
enum MemoryFileSlot { kPlayingSlot, kQueriedSlot, kMemoryFileSlots };

// Lends bytes[0, size) to the sequencer under the slot's own name, which it returns for
// MCI_OPEN; null when the procedure cannot be installed. The bytes must stay unchanged, and
// the module stays loaded, until ReturnMemoryFile for that slot, called once the device that
// read them is closed.
const char* LendMemoryFile(MemoryFileSlot slot, const BYTE* bytes, DWORD size);
void ReturnMemoryFile(MemoryFileSlot slot);
