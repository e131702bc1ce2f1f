// The sequencer-ready copy: what Play hands Wine's sequencer instead of the file itself.
//
// Wine's sequencer (dlls/mciseq/mcimidi.c) plays a file wrong in ways the module's clock cannot
// hide: it cuts each step between two events to whole milliseconds and schedules from the
// running sum, so the music runs ahead of the file; after a seek or resume past a tempo change
// it starts from the pulse count at the tempo then in force (notes bunched, or silence); it
// drops the first event at or after the point it plays from; its stop returns only when the
// next event is due; and in a format 1 file it keeps only track 0's tempo changes. The copy
// plays the same channel messages and sysex at the same times, so that none of this shows:
// - one track at one tempo, 1 tick = 1 ms (division 500, 500000 us a quarter), each event at
//   its true time rounded from the file's tempo map, so Wine's arithmetic is exact;
// - an empty text event first at every millisecond where events sit, so that the event it
//   drops after a seek or resume is always one that does nothing;
// - such an event at least every kWakeMs, so that its stop returns within that.
// Meta events are left out: their times are the copy's, and nothing plays them.
//
// The copy lives in a static buffer and reaches the sequencer through an mmio I/O procedure
// installed for the name's extension (mmioOpen takes the extension before a '+' to find one),
// so nothing is written to disk.
#include "playback/sequencer_copy.h"

#include <mmsystem.h>

#include <cstring>

// The copy's track: 1 tick = 1 ms.
static const WORD kCopyDivision = 500;
static const BYTE kCopyTempo[] = {0x07, 0xA1, 0x20}; // 500000 us a quarter
// 50 ms was tried too: the music then started up to 38 ms early after a seek.
static const DWORD kWakeMs = 20;
// An empty text event (meta, type, length); kNoOpBytes with its one-byte delta time.
static const BYTE kNoOp[] = {kMidiMeta, 0x01, 0x00};
static const DWORD kNoOpBytes = 1 + sizeof(kNoOp);
static const DWORD kTrackDataAt = 22; // after the header chunk and the track chunk's header

static const FOURCC kCopyIOProc = mmioFOURCC('T', 'Q', 'S', ' ');
static const char kCopyName[] = "sequencer-ready.TQS+";

// Host thread, but for ReadCopy: written by WriteSequencerCopy while no device reads it (the
// copy is lent from LendSequencerCopy to ReturnSequencerCopy), read by the sequencer's player
// thread through ReadCopy while it is lent. copy_size is 0 when no copy is held.
static BYTE copy[kMaxSequencerCopyBytes];
static DWORD copy_size = 0;
static HMODULE lent_module = nullptr;

// The copy being written: bytes so far, the time of its last event, whether it ran full.
static DWORD write_at;
static DWORD written_ms;
static int written_any;
static int overflow;
static MidiTrackCursor cursors[kMaxPlayedTracks];
static MidiEvent next_event[kMaxPlayedTracks];
static BYTE live[kMaxPlayedTracks];

int IsWineSequencer(void)
{
    static int known = -1;
    if (known < 0) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        known = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }
    return known;
}

static void Put(const BYTE* bytes, DWORD count)
{
    if (count > kMaxSequencerCopyBytes - write_at) {
        overflow = 1;
        return;
    }
    memcpy(copy + write_at, bytes, count);
    write_at += count;
}

static void PutByte(BYTE byte)
{
    Put(&byte, 1);
}

// A variable-length quantity (below 2^28: deltas of at most kWakeMs, data within a file).
static void PutVarLen(DWORD value)
{
    BYTE bytes[4];
    int count = 0;
    bytes[3 - count++] = (BYTE)(value & 0x7F);
    while ((value >>= 7) != 0 && count < 4)
        bytes[3 - count++] = (BYTE)((value & 0x7F) | 0x80);
    Put(bytes + 4 - count, (DWORD)count);
}

// Moves the copy's time to ms: wake-ups at most kWakeMs apart, then the no-op that comes first
// at every millisecond where events sit.
static void AdvanceTo(DWORD ms)
{
    if (written_any && ms == written_ms)
        return;
    DWORD at = written_any ? written_ms : 0;
    for (; ms - at > kWakeMs && !overflow; at += kWakeMs) {
        PutByte((BYTE)kWakeMs);
        Put(kNoOp, sizeof(kNoOp));
    }
    PutByte((BYTE)(ms - at));
    Put(kNoOp, sizeof(kNoOp));
    written_ms = ms;
    written_any = 1;
}

static void PutBigEndian(DWORD value, int bytes)
{
    while (bytes-- > 0)
        PutByte((BYTE)(value >> (8 * bytes)));
}

// Reads track i's next event into next_event[i]; live[i] says whether there was one.
static void Advance(unsigned i)
{
    live[i] = cursors[i].at < cursors[i].size && ReadMidiEvent(&cursors[i], &next_event[i]) == kEventRead;
}

int WriteSequencerCopy(const MidiReading& reading)
{
    copy_size = 0;
    const ULONGLONG per_ms = (ULONGLONG)reading.ticks_per_quarter * 1000;
    unsigned end_passed = 0;
    ULONGLONG end_ms = (MidiTimeAt(reading.end_tick, &end_passed) + per_ms / 2) / per_ms;
    // The wake-ups alone would not fit: refused before a byte is written (a damaged delta time
    // reads as hours or days).
    if (end_ms / kWakeMs * kNoOpBytes > kMaxSequencerCopyBytes)
        return 0;

    write_at = 0;
    written_ms = 0;
    written_any = 0;
    overflow = 0;
    Put((const BYTE*)"MThd", 4);
    PutBigEndian(6, 4);
    PutBigEndian(0, 2); // format 0: one track
    PutBigEndian(1, 2);
    PutBigEndian(kCopyDivision, 2);
    Put((const BYTE*)"MTrk", 4);
    PutBigEndian(0, 4); // the track's length, written at the end
    AdvanceTo(0);
    PutByte(0);
    PutByte(kMidiMeta);
    PutByte(kMidiMetaTempo);
    PutByte(sizeof(kCopyTempo));
    Put(kCopyTempo, sizeof(kCopyTempo));

    // All tracks merged in one pass, by tick; at equal ticks the earlier track first, and each
    // track's events in their order, as Wine's sequencer takes them.
    for (unsigned i = 0; i < reading.track_count; ++i) {
        cursors[i] = reading.tracks[i];
        Advance(i);
    }
    unsigned passed = 0;
    for (;;) {
        int pick = -1;
        for (unsigned i = 0; i < reading.track_count; ++i)
            if (live[i] && (pick < 0 || next_event[i].tick < next_event[pick].tick))
                pick = (int)i;
        if (pick < 0 || overflow)
            break;
        const MidiEvent& event = next_event[pick];
        if (event.status != kMidiMeta) {
            // Each event's own time, rounded: never a sum of rounded steps.
            AdvanceTo((DWORD)((MidiTimeAt(event.tick, &passed) + per_ms / 2) / per_ms));
            PutByte(0);
            PutByte(event.status);
            if (event.status == kMidiSysEx || event.status == kMidiSysExContinued)
                PutVarLen(event.length);
            Put(event.data, event.length);
        }
        Advance((unsigned)pick);
    }
    AdvanceTo((DWORD)end_ms);
    PutByte(0);
    PutByte(kMidiMeta);
    PutByte(kMidiMetaEndOfTrack);
    PutByte(0);
    if (overflow)
        return 0;
    DWORD track_length = write_at - kTrackDataAt;
    write_at = kTrackDataAt - 4;
    PutBigEndian(track_length, 4);
    copy_size = kTrackDataAt + track_length;
    return 1;
}

int SequencerCopyHeld(void)
{
    return copy_size != 0;
}

// The mmio I/O procedure that serves the copy, read-only. mmio keeps the offset in the record.
static LRESULT CALLBACK ReadCopy(LPSTR record, UINT message, LPARAM first, LPARAM second)
{
    MMIOINFO* info = (MMIOINFO*)record;
    LONG size = (LONG)copy_size;
    switch (message) {
    case MMIOM_OPEN:
        if (info->dwFlags & (MMIO_WRITE | MMIO_READWRITE))
            return MMIOERR_CANNOTWRITE;
        info->lDiskOffset = 0;
        return MMSYSERR_NOERROR;
    case MMIOM_CLOSE:
        return 0;
    case MMIOM_READ: {
        LONG at = info->lDiskOffset;
        LONG count = (LONG)second;
        if (at < 0 || at > size || count < 0)
            return -1;
        if (count > size - at)
            count = size - at;
        memcpy((void*)first, copy + at, (size_t)count);
        info->lDiskOffset = at + count;
        return count;
    }
    case MMIOM_SEEK: {
        LONG origin = second == SEEK_CUR ? info->lDiskOffset : second == SEEK_END ? size : 0;
        LONG to = origin + (LONG)first;
        if (to < 0 || to > size)
            return -1;
        info->lDiskOffset = to;
        return to;
    }
    default:
        return -1; // the copy is not written to, nor renamed
    }
}

const char* LendSequencerCopy(void)
{
    // The sequencer's player thread calls ReadCopy for as long as the device is open: the
    // module stays loaded until the copy is returned, even if a host unloads it first.
    if (lent_module == nullptr) {
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)(void*)ReadCopy, &lent_module);
        mmioInstallIOProcA(kCopyIOProc, ReadCopy, MMIO_INSTALLPROC);
    }
    return kCopyName;
}

void ReturnSequencerCopy(void)
{
    copy_size = 0;
    if (lent_module != nullptr) {
        mmioInstallIOProcA(kCopyIOProc, ReadCopy, MMIO_REMOVEPROC);
        HMODULE module = lent_module;
        lent_module = nullptr;
        // The host still holds the module (it is calling in), so this never unloads it.
        FreeLibrary(module);
    }
}

int SequencerCopyStartAt(int ms)
{
    if (copy_size == 0 || ms <= 0)
        return ms;
    MidiTrackCursor track = {copy + kTrackDataAt, copy_size - kTrackDataAt, 0, 0, 0};
    MidiEvent event;
    while (track.at < track.size && ReadMidiEvent(&track, &event) == kEventRead)
        if (event.tick >= (DWORD)ms)
            return (int)event.tick;
    return ms;
}
