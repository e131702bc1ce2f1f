// One reading of a MIDI file, whole into a buffer or through a mapped view: the damaged-file
// and size checks made before the sequencer sees it, and the length from the file's own tempo
// map. Some sequencers (Wine's) report every length as if the file ran at 120 beats a minute.
#include "playback/midi_file.h"

#include <windows.h>

#include <cstring>

// The size bound: Wine's sequencer reads every declared track at open, 45-100 ms per MB on these
// machines, and the host waits for it in Play and GetFileInfo. At 4 MB of dense notes both took
// 150-300 ms here, well within a second under load; a 2 GB track would take minutes. Music files
// are far smaller (the test files: 0.4-22 KB). Bytes after the declared tracks are never read
// by the sequencer, so they do not count.
static_assert(kMaxMidiFileBytes == 4u * 1024 * 1024, "the bound the comment above reasons about");

// Wine's sequencer plays no more than the first 128 tracks; the length ignores the rest too.
static const unsigned kMaxPlayedTracks = 128;
// A file with more tempo changes than this is timed by the device. Expressive piano files carry
// hundreds to a few thousand (one of the test files has 923).
static const unsigned kMaxTempoChanges = 4096;
// Ticks beyond this give up the length rather than overflow.
static const DWORD kMaxTick = 0x7FFFFFFF;
// Standard MIDI File: 500000 us per quarter note until the first tempo change.
static const DWORD kDefaultTempo = 500000;
static const BYTE kMetaEvent = 0xFF, kMetaEndOfTrack = 0x2F, kMetaTempo = 0x51;
static const BYTE kSysEx = 0xF0, kSysExContinued = 0xF7;

// Files up to this size are read whole with one ReadFile, which costs a fraction of setting up
// a mapped view (a third, under Wine); larger ones are mapped, up to the bound, where the
// sequencer's own reading of them dwarfs either.
static const DWORD kReadBufferBytes = 64 * 1024;

struct TempoChange {
    DWORD tick;
    DWORD us_per_quarter;
};

// Host thread only, and only within one ReadMidiFile: the tempo changes of all tracks read so
// far, in track order, each track's in tick order.
static TempoChange tempo_changes[kMaxTempoChanges];
static unsigned tempo_count = 0;
static BYTE read_buffer[kReadBufferBytes];

static DWORD ReadBigEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[0] << 24 | (DWORD)bytes[1] << 16 | (DWORD)bytes[2] << 8 | bytes[3];
}

static DWORD ReadLittleEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[3] << 24 | (DWORD)bytes[2] << 16 | (DWORD)bytes[1] << 8 | bytes[0];
}

// A variable-length quantity of at most four bytes at data[*at], below size. Returns 0 when it
// is longer or runs past size.
static int ReadVarLen(const BYTE* data, DWORD size, DWORD* at, DWORD* value)
{
    DWORD result = 0;
    for (int i = 0; i < 4; ++i) {
        if (*at >= size)
            return 0;
        BYTE b = data[(*at)++];
        result = result << 7 | (b & 0x7F);
        if ((b & 0x80) == 0) {
            *value = result;
            return 1;
        }
    }
    return 0;
}

// Walks one track's events from start_tick, keeping its tempo changes. Returns 1 with the tick
// of its end (the end-of-track event, or its last event when that is missing), 0 when an event
// is malformed or cut short, ticks overflow, or the tempo table is full.
static int ReadTrack(const BYTE* data, DWORD size, DWORD start_tick, DWORD* end_tick)
{
    DWORD tick = start_tick;
    DWORD at = 0;
    BYTE running_status = 0;
    while (at < size) {
        DWORD delta;
        if (!ReadVarLen(data, size, &at, &delta) || delta > kMaxTick - tick || at >= size)
            return 0;
        tick += delta;
        BYTE status = data[at];
        if (status & 0x80)
            ++at;
        else if (running_status != 0)
            status = running_status;
        else
            return 0;

        DWORD skip;
        if (status == kMetaEvent) {
            if (at >= size)
                return 0;
            BYTE type = data[at++];
            if (!ReadVarLen(data, size, &at, &skip) || skip > size - at)
                return 0;
            if (type == kMetaEndOfTrack)
                break;
            if (type == kMetaTempo && skip >= 3) {
                if (tempo_count == kMaxTempoChanges)
                    return 0;
                const BYTE* t = data + at;
                tempo_changes[tempo_count++] = {tick, (DWORD)t[0] << 16 | (DWORD)t[1] << 8 | t[2]};
            }
        } else if (status == kSysEx || status == kSysExContinued) {
            if (!ReadVarLen(data, size, &at, &skip) || skip > size - at)
                return 0;
        } else if (status >= 0xF0) {
            return 0; // system messages have no place in a file
        } else {
            running_status = status;
            skip = (status & 0xE0) == 0xC0 ? 1 : 2; // program change and channel pressure: 1
            if (skip > size - at)
                return 0;
        }
        at += skip;
    }
    *end_tick = tick;
    return 1;
}

// Milliseconds from tick 0 to end_tick through the collected tempo changes, rounded down as
// the sequencer rounds (so a file at 120 bpm throughout gives exactly the device's length);
// kNoFileLength past the range of an int.
static int LengthThroughTempoMap(DWORD end_tick, DWORD ticks_per_quarter)
{
    // Stable by tick: at equal ticks the later track's change is the one in force afterwards.
    for (unsigned i = 1; i < tempo_count; ++i) {
        TempoChange change = tempo_changes[i];
        unsigned j = i;
        for (; j > 0 && tempo_changes[j - 1].tick > change.tick; --j)
            tempo_changes[j] = tempo_changes[j - 1];
        tempo_changes[j] = change;
    }
    // Microseconds times ticks per quarter: ticks (< 2^31) times tempo (< 2^24) per step, and
    // the sum stays below 2^57 because it is checked against the limit after every step.
    const ULONGLONG limit = 0x7FFFFFFFull * ticks_per_quarter * 1000;
    ULONGLONG total = 0;
    DWORD tick = 0, tempo = kDefaultTempo;
    for (unsigned i = 0; i <= tempo_count; ++i) {
        DWORD next = i < tempo_count ? tempo_changes[i].tick : end_tick;
        total += (ULONGLONG)(next - tick) * tempo;
        if (total > limit)
            return kNoFileLength;
        tick = next;
        if (i < tempo_count)
            tempo = tempo_changes[i].us_per_quarter;
    }
    return (int)(total / ((ULONGLONG)ticks_per_quarter * 1000));
}

// A Standard MIDI File in smf[0, size). Returns 0 when a declared chunk runs past size.
static int ReadStandardMidiFile(const BYTE* smf, DWORD size, int* length_ms)
{
    if (size < 8 || memcmp(smf, "MThd", 4) != 0)
        return 1;
    DWORD header_length = ReadBigEndian32(smf + 4);
    if (header_length > size - 8)
        return 0;
    if (header_length < 6)
        return 1; // not a header this reader knows; the sequencer judges
    const BYTE* header = smf + 8;
    DWORD format = (DWORD)header[0] << 8 | header[1];
    DWORD tracks = (DWORD)header[2] << 8 | header[3];
    DWORD division = (DWORD)header[4] << 8 | header[5];
    // Ticks per quarter note only; a division in SMPTE frames (top bit set) is the device's.
    int timed = format <= 2 && division != 0 && (division & 0x8000) == 0;

    tempo_count = 0;
    DWORD end_tick = 0;
    DWORD at = 8 + header_length;
    DWORD found = 0;
    while (found < tracks && size - at >= 8) {
        DWORD chunk_length = ReadBigEndian32(smf + at + 4);
        if (chunk_length > size - at - 8)
            return 0;
        // Chunks of other kinds are skipped and not counted, as the format says.
        if (memcmp(smf + at, "MTrk", 4) == 0) {
            if (timed && found < kMaxPlayedTracks) {
                // Format 2 tracks are separate sequences, played one after another.
                DWORD track_end = 0;
                timed = ReadTrack(smf + at + 8, chunk_length, format == 2 ? end_tick : 0, &track_end);
                if (track_end > end_tick)
                    end_tick = track_end;
            }
            ++found;
        }
        at += 8 + chunk_length;
    }
    // A file that ends before all its declared tracks is the sequencer's to judge (Wine refuses it).
    if (timed && found == tracks)
        *length_ms = LengthThroughTempoMap(end_tick, division);
    return 1;
}

// The MIDI file in view[0, size): plain, or the "data" chunk of a RIFF RMID file (its chunks
// are word-aligned). Anything else is the sequencer's to judge, and so is a RIFF file whose
// chunks before "data" run past its end.
static int ReadView(const BYTE* view, DWORD size, int* length_ms)
{
    if (memcmp(view, "RIFF", 4) != 0 || memcmp(view + 8, "RMID", 4) != 0)
        return ReadStandardMidiFile(view, size, length_ms);
    DWORD riff_length = ReadLittleEndian32(view + 4);
    DWORD end = riff_length < size - 8 ? riff_length + 8 : size;
    for (DWORD at = 12; at < end && end - at >= 8;) {
        DWORD length = ReadLittleEndian32(view + at + 4);
        int data = memcmp(view + at, "data", 4) == 0;
        if (length > end - at - 8)
            return !data;
        if (data)
            return ReadStandardMidiFile(view + at + 8, length, length_ms);
        at += 8 + length + (length & 1);
    }
    return 1;
}

int ReadMidiFile(const char* path, int* length_ms)
{
    *length_ms = kNoFileLength;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    int verdict = 1;
    LARGE_INTEGER size;
    // Twelve bytes tell a MIDI file from anything else. A pipe or device is the sequencer's
    // (reading one could wait for ever).
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart >= 12) {
        if (size.QuadPart <= kReadBufferBytes) {
            DWORD got = 0;
            if (ReadFile(file, read_buffer, (DWORD)size.QuadPart, &got, nullptr) && got == size.QuadPart)
                verdict = ReadView(read_buffer, got, length_ms);
        } else {
            // Only the bound is mapped: whatever a larger file declares beyond it is refused unread.
            DWORD view_size = size.QuadPart > kMaxMidiFileBytes ? kMaxMidiFileBytes : (DWORD)size.QuadPart;
            HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
            if (mapping != nullptr) {
                const BYTE* view = (const BYTE*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, view_size);
                if (view != nullptr) {
                    verdict = ReadView(view, view_size, length_ms);
                    UnmapViewOfFile(view);
                }
                CloseHandle(mapping);
            }
        }
    }
    CloseHandle(file);
    return verdict;
}
