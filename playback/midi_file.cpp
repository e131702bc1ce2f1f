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

// A file with more tempo changes than this is timed by the device. Expressive piano files carry
// hundreds to a few thousand (one of the test files has 923).
static const unsigned kMaxTempoChanges = 4096;
// Ticks beyond this give up the length rather than overflow.
static const DWORD kMaxTick = 0x7FFFFFFF;
// Standard MIDI File: 500000 us per quarter note until the first tempo change.
static const DWORD kDefaultTempo = 500000;

// Files up to this size are read whole with one ReadFile, which costs a fraction of setting up
// a mapped view (a third, under Wine); larger ones are mapped, up to the bound, where the
// sequencer's own reading of them dwarfs either.
static const DWORD kReadBufferBytes = 64 * 1024;

struct TempoChange {
    DWORD tick;
    DWORD us_per_quarter;
    ULONGLONG time; // microseconds times ticks per quarter from tick 0 to here
};

// Host thread only, and only within one ReadMidiFile: the tempo changes of all tracks read so
// far, in track order, each track's in tick order; the played tracks' good events.
static TempoChange tempo_changes[kMaxTempoChanges];
static unsigned tempo_count = 0;
static int tempo_table_full = 0;
static MidiTrackCursor tracks[kMaxPlayedTracks];
static unsigned track_count = 0;
static BYTE read_buffer[kReadBufferBytes];

static DWORD ReadBigEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[0] << 24 | (DWORD)bytes[1] << 16 | (DWORD)bytes[2] << 8 | bytes[3];
}

static DWORD ReadLittleEndian32(const BYTE* bytes)
{
    return (DWORD)bytes[3] << 24 | (DWORD)bytes[2] << 16 | (DWORD)bytes[1] << 8 | bytes[0];
}

// A variable-length quantity of at most four bytes at data[*at], below size. Returns 1, or 0
// when it runs past size, or -1 when it is longer.
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
    return *at < size ? -1 : 0;
}

// The length of a meta or sysex event's data at data[*at], which must end within the track.
static MidiEventReading ReadDataLength(const BYTE* data, DWORD size, DWORD* at, DWORD* length)
{
    int read = ReadVarLen(data, size, at, length);
    if (read < 0)
        return kEventUnplayable;
    return read == 0 || *length > size - *at ? kEventDamaged : kEventRead;
}

MidiEventReading ReadMidiEvent(MidiTrackCursor* track, MidiEvent* event)
{
    const BYTE* data = track->data;
    DWORD size = track->size, at = track->at, delta;
    int read = ReadVarLen(data, size, &at, &delta);
    if (read < 0)
        return kEventUnplayable;
    if (read == 0 || delta > kMaxTick - track->tick || at >= size)
        return kEventDamaged;
    event->tick = track->tick + delta;
    event->status = data[at];
    event->meta_type = 0;
    if (event->status & 0x80)
        ++at;
    else if (track->running_status != 0)
        event->status = track->running_status;
    else
        return kEventDamaged;

    if (event->status == kMidiMeta) {
        if (at >= size)
            return kEventDamaged;
        event->meta_type = data[at++];
        MidiEventReading reading = ReadDataLength(data, size, &at, &event->length);
        if (reading != kEventRead)
            return reading;
    } else if (event->status == kMidiSysEx || event->status == kMidiSysExContinued) {
        MidiEventReading reading = ReadDataLength(data, size, &at, &event->length);
        if (reading != kEventRead)
            return reading;
    } else if (event->status >= 0xF0) {
        return kEventDamaged; // system messages have no place in a file
    } else {
        track->running_status = event->status;
        // Program change and channel pressure carry one data byte, the others two.
        event->length = (event->status & 0xE0) == 0xC0 ? 1 : 2;
        if (event->length > size - at)
            return kEventDamaged;
    }
    event->data = data + at;
    track->at = at + event->length;
    track->tick = event->tick;
    return kEventRead;
}

ULONGLONG MidiTimeAt(DWORD tick, unsigned* passed)
{
    while (*passed < tempo_count && tempo_changes[*passed].tick <= tick)
        ++*passed;
    if (*passed == 0)
        return (ULONGLONG)tick * kDefaultTempo;
    const TempoChange& change = tempo_changes[*passed - 1];
    return change.time + (ULONGLONG)(tick - change.tick) * change.us_per_quarter;
}

// Walks one track's events from start_tick, keeping its tempo changes. *end_tick: the tick of
// its end (its end-of-track event, or its last good event); *good_size: the bytes of its good
// events. Returns kEventRead for a whole track, or what ended its good events (a full tempo
// table counts as damage).
static MidiEventReading ReadTrack(const BYTE* data, DWORD size, DWORD start_tick, DWORD* end_tick, DWORD* good_size)
{
    MidiTrackCursor track = {data, size, 0, start_tick, 0};
    *end_tick = start_tick;
    *good_size = 0;
    while (track.at < size) {
        MidiEvent event;
        MidiEventReading reading = ReadMidiEvent(&track, &event);
        if (reading != kEventRead)
            return reading;
        if (event.status == kMidiMeta && event.meta_type == kMidiMetaTempo && event.length >= 3) {
            if (tempo_count == kMaxTempoChanges) {
                tempo_table_full = 1;
                return kEventDamaged;
            }
            const BYTE* t = event.data;
            tempo_changes[tempo_count++] = {event.tick, (DWORD)t[0] << 16 | (DWORD)t[1] << 8 | t[2], 0};
        }
        *end_tick = event.tick;
        *good_size = track.at;
        if (event.status == kMidiMeta && event.meta_type == kMidiMetaEndOfTrack)
            break;
    }
    return kEventRead;
}

// Orders the collected tempo changes by tick and gives each its time from tick 0. Returns 0
// when a time would leave the range of the arithmetic.
static int BuildTempoMap()
{
    // Stable by tick: at equal ticks the later track's change is the one in force afterwards.
    for (unsigned i = 1; i < tempo_count; ++i) {
        TempoChange change = tempo_changes[i];
        unsigned j = i;
        for (; j > 0 && tempo_changes[j - 1].tick > change.tick; --j)
            tempo_changes[j] = tempo_changes[j - 1];
        tempo_changes[j] = change;
    }
    // Ticks (< 2^31) times tempo (< 2^24) per step; the sum is checked after every step.
    ULONGLONG time = 0;
    DWORD tick = 0, tempo = kDefaultTempo;
    for (unsigned i = 0; i < tempo_count; ++i) {
        time += (ULONGLONG)(tempo_changes[i].tick - tick) * tempo;
        if (time >= 1ull << 62)
            return 0;
        tempo_changes[i].time = time;
        tick = tempo_changes[i].tick;
        tempo = tempo_changes[i].us_per_quarter;
    }
    return 1;
}

// A Standard MIDI File in smf[0, size). Returns 0 when a declared chunk runs past size, when a
// track holds a number longer than the format allows, or when `use` refuses the file.
static int ReadStandardMidiFile(const BYTE* smf, DWORD size, int* length_ms, MidiReadingUse use)
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
    DWORD declared = (DWORD)header[2] << 8 | header[3];
    DWORD division = (DWORD)header[4] << 8 | header[5];
    // Ticks per quarter note only; a division in SMPTE frames (top bit set) is the device's.
    int readable = format <= 2 && division != 0 && (division & 0x8000) == 0;
    int whole = readable;

    tempo_count = 0;
    tempo_table_full = 0;
    track_count = 0;
    DWORD end_tick = 0;
    DWORD at = 8 + header_length;
    DWORD found = 0;
    while (found < declared && size - at >= 8) {
        DWORD chunk_length = ReadBigEndian32(smf + at + 4);
        if (chunk_length > size - at - 8)
            return 0;
        // Chunks of other kinds are skipped and not counted, as the format says.
        if (memcmp(smf + at, "MTrk", 4) == 0) {
            if (readable && found < kMaxPlayedTracks) {
                // Format 2 tracks are separate sequences, played one after another.
                DWORD start_tick = format == 2 ? end_tick : 0;
                DWORD track_end, good_size;
                MidiEventReading reading = ReadTrack(smf + at + 8, chunk_length, start_tick, &track_end, &good_size);
                if (reading == kEventUnplayable)
                    return 0;
                if (reading == kEventDamaged)
                    whole = 0;
                tracks[track_count++] = {smf + at + 8, good_size, 0, start_tick, 0};
                if (track_end > end_tick)
                    end_tick = track_end;
            }
            ++found;
        }
        at += 8 + chunk_length;
    }
    // A file that ends before all its declared tracks is damaged, and Wine's sequencer reads
    // the missing ones from beyond the file: it refused such a file, played it, or now and then
    // never returned from the next stop.
    if (found < declared)
        return 0;
    if (!readable || tempo_table_full || !BuildTempoMap())
        return 1;
    // A damaged file's length is the sequencer's to give; its good events are still read.
    unsigned passed = 0;
    ULONGLONG length = MidiTimeAt(end_tick, &passed) / ((ULONGLONG)division * 1000);
    if (whole && length <= 0x7FFFFFFF)
        *length_ms = (int)length;
    return use == nullptr || use({tracks, track_count, division, end_tick});
}

// The MIDI file in view[0, size): plain, or the "data" chunk of a RIFF RMID file (its chunks
// are word-aligned). Anything else is the sequencer's to judge, and so is a RIFF file whose
// chunks before "data" run past its end.
static int ReadView(const BYTE* view, DWORD size, int* length_ms, MidiReadingUse use)
{
    if (memcmp(view, "RIFF", 4) != 0 || memcmp(view + 8, "RMID", 4) != 0)
        return ReadStandardMidiFile(view, size, length_ms, use);
    DWORD riff_length = ReadLittleEndian32(view + 4);
    DWORD end = riff_length < size - 8 ? riff_length + 8 : size;
    for (DWORD at = 12; at < end && end - at >= 8;) {
        DWORD length = ReadLittleEndian32(view + at + 4);
        int data = memcmp(view + at, "data", 4) == 0;
        if (length > end - at - 8)
            return !data;
        if (data)
            return ReadStandardMidiFile(view + at + 8, length, length_ms, use);
        at += 8 + length + (length & 1);
    }
    return 1;
}

int ReadMidiFile(const char* path, int* length_ms, MidiReadingUse use)
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
                verdict = ReadView(read_buffer, got, length_ms, use);
        } else {
            // Only the bound is mapped: whatever a larger file declares beyond it is refused unread.
            DWORD view_size = size.QuadPart > kMaxMidiFileBytes ? kMaxMidiFileBytes : (DWORD)size.QuadPart;
            HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
            if (mapping != nullptr) {
                const BYTE* view = (const BYTE*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, view_size);
                if (view != nullptr) {
                    verdict = ReadView(view, view_size, length_ms, use);
                    UnmapViewOfFile(view);
                }
                CloseHandle(mapping);
            }
        }
    }
    CloseHandle(file);
    return verdict;
}
