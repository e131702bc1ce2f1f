// Memory files for the sequencer. mmioOpen takes the extension before a '+' in a name to find
// the I/O procedure installed for it (MMIO_INSTALLPROC); Wine's sequencer reads its file
// through mmio at open and, while playing, from its player thread.
#include "playback/memory_file.h"

#include <mmsystem.h>

#include <cstring>

// One procedure, installed for one extension a slot: the record it is called with names the
// extension (fccIOProc), and so the slot.
static const FOURCC kSlotIOProcs[kMemoryFileSlots] = {mmioFOURCC('T', 'Q', 'S', 'P'), mmioFOURCC('T', 'Q', 'S', 'Q')};
static const char* const kSlotNames[kMemoryFileSlots] = {"playing.TQSP+", "queried.TQSQ+"};

// Written on the host thread while no device reads the slot (from LendMemoryFile to
// ReturnMemoryFile it is lent and unchanged), read by the sequencer through ReadMemoryFile
// while lent; its procedure is installed exactly while it is lent. pinned_module holds a
// reference to the module while anything is lent.
struct Slot {
    const BYTE* bytes;
    DWORD size;
    int lent;
};
static Slot slots[kMemoryFileSlots];
static HMODULE pinned_module = nullptr;

int IsWineSequencer(void)
{
    static int known = -1;
    if (known < 0) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        known = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }
    return known;
}

static const Slot& SlotOf(const MMIOINFO* info)
{
    return slots[info->fccIOProc == kSlotIOProcs[kQueriedSlot] ? kQueriedSlot : kPlayingSlot];
}

// The mmio I/O procedure, read-only. mmio keeps the offset in the record (lDiskOffset).
static LRESULT CALLBACK ReadMemoryFile(LPSTR record, UINT message, LPARAM first, LPARAM second)
{
    MMIOINFO* info = (MMIOINFO*)record;
    switch (message) {
    case MMIOM_OPEN:
        if (info->dwFlags & (MMIO_WRITE | MMIO_READWRITE))
            return MMIOERR_CANNOTWRITE;
        if (!SlotOf(info).lent)
            return MMIOERR_CANNOTOPEN;
        info->lDiskOffset = 0;
        return MMSYSERR_NOERROR;
    case MMIOM_CLOSE:
        return 0;
    case MMIOM_READ: {
        const Slot& slot = SlotOf(info);
        LONG size = (LONG)slot.size;
        LONG at = info->lDiskOffset;
        LONG count = (LONG)second;
        if (at < 0 || at > size || count < 0)
            return -1;
        if (count > size - at)
            count = size - at;
        memcpy((void*)first, slot.bytes + at, (size_t)count);
        info->lDiskOffset = at + count;
        return count;
    }
    case MMIOM_SEEK: {
        const Slot& slot = SlotOf(info);
        LONGLONG origin = second == SEEK_CUR ? info->lDiskOffset : second == SEEK_END ? (LONG)slot.size : 0;
        LONGLONG to = origin + (LONG)first;
        if (to < 0 || to > (LONGLONG)slot.size)
            return -1;
        info->lDiskOffset = (LONG)to;
        return (LRESULT)to;
    }
    default:
        return -1; // nothing is written, nor renamed
    }
}

const char* LendMemoryFile(MemoryFileSlot slot, const BYTE* bytes, DWORD size)
{
    ReturnMemoryFile(slot);
    // The sequencer's player thread calls ReadMemoryFile for as long as the device is open:
    // the module stays loaded while anything is lent, even if a host unloads it first.
    HMODULE module = nullptr;
    if (pinned_module == nullptr &&
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)(void*)ReadMemoryFile, &module))
        return nullptr;
    if (mmioInstallIOProcA(kSlotIOProcs[slot], ReadMemoryFile, MMIO_INSTALLPROC) == nullptr) {
        if (module != nullptr)
            FreeLibrary(module);
        return nullptr;
    }
    if (module != nullptr)
        pinned_module = module;
    slots[slot] = {bytes, size, 1};
    return kSlotNames[slot];
}

void ReturnMemoryFile(MemoryFileSlot slot)
{
    if (!slots[slot].lent)
        return;
    slots[slot] = {nullptr, 0, 0};
    mmioInstallIOProcA(kSlotIOProcs[slot], ReadMemoryFile, MMIO_REMOVEPROC);
    for (const Slot& other : slots)
        if (other.lent)
            return;
    HMODULE module = pinned_module;
    pinned_module = nullptr;
    // The host still holds the module (it is calling in), so this never unloads it.
    FreeLibrary(module);
}
