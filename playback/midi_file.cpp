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

// The longest wait between two consecutive events (all tracks merged, through the tempo map)
// a file may have. Wine's sequencer sleeps until its next event is due, and its stop (so Pause,
// Stop, a seek and a close) returns only then, on the host's thread: this bound is how long
// those calls can block on a file that is played. Real music holds a chord for a minute at
// most (the test files' longest wait is the 71 s final chord of a Bach prelude at a very slow
// closing tempo); a damaged delta time reads as hours or days.
static const DWORD kMaxEventWaitMs = 120 * 1000;
// The timeline is checked on a coarse grid: one bit per cell of at least a second, enough
// cells for 18 hours at that size; longer files get longer cells (at most 33 s, as lengths stay
// below 2^31 ms). A wait is refused when whole empty cells alone span the bound, so a wait up to
// the bound always passes and none longer than the bound plus two cells does.
static const DWORD kTimelineCells = 65536;
static const DWORD kMinCellMs = 1000;

// Files up to this size are read whole with one ReadFile, which costs a fraction of setting up
// a mapped view (a third, under Wine); larger ones are mapped, up to the bound, where the
// sequencer's own reading of them dwarfs either.
static const DWORD kReadBufferBytes = 64 * 1024;

struct TempoChange {
    DWORD tick;
    DWORD us_per_quarter;
    ULONGLONG time; // microseconds times ticks per quarter from tick 0 to here
};

// A track as the second pass walks it: its events up to the first damaged one.
struct TrackSpan {
    const BYTE* data;
    DWORD size;
    DWORD start_tick;
};

// How a track reads. Its good events count either way; a damaged one ends them.
enum TrackReading {
    kTrackWhole,
    kTrackDamaged,   // an event malformed or cut short, ticks overflowing, the tempo table full
    kTrackUnplayable // a number longer than the format allows, which Wine reads as hours of wait
};

// Host thread only, and only within one ReadMidiFile: the tempo changes of all tracks read so
// far, in track order, each track's in tick order.
static TempoChange tempo_changes[kMaxTempoChanges];
static unsigned tempo_count = 0;
static int tempo_table_full = 0;
static TrackSpan spans[kMaxPlayedTracks];
static unsigned span_count = 0;
static BYTE timeline[kTimelineCells / 8];
static ULONGLONG timeline_cell; // microseconds times ticks per quarter in a cell
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
static TrackReading ReadDataLength(const BYTE* data, DWORD size, DWORD* at, DWORD* length)
{
    int read = ReadVarLen(data, size, at, length);
    if (read < 0)
        return kTrackUnplayable;
    return read == 0 || *length > size - *at ? kTrackDamaged : kTrackWhole;
}

// Microseconds times ticks per quarter from tick 0 to tick, through the tempo map. *passed
// counts the tempo changes at or before an earlier tick (0 to search from the start); a
// track's ticks only grow, so a walk along it only moves it forward.
static ULONGLONG TimeAt(DWORD tick, unsigned* passed)
{
    while (*passed < tempo_count && tempo_changes[*passed].tick <= tick)
        ++*passed;
    if (*passed == 0)
        return (ULONGLONG)tick * kDefaultTempo;
    const TempoChange& change = tempo_changes[*passed - 1];
    return change.time + (ULONGLONG)(tick - change.tick) * change.us_per_quarter;
}

// Marks the timeline cell of an event at tick (*passed as for TimeAt).
static void MarkEvent(DWORD tick, unsigned* passed)
{
    ULONGLONG cell = TimeAt(tick, passed) / timeline_cell;
    if (cell < kTimelineCells)
        timeline[cell / 8] |= (BYTE)(1 << (cell % 8));
}

// Walks one track's events from start_tick. On the first walk (mark 0) it keeps the tempo
// changes and gives the tick of the track's end (its end-of-track event, or its last good
// event) and *good_size, the bytes of its good events; the second walk (mark 1) goes over
// those bytes again and marks each event on the timeline.
static TrackReading ReadTrack(const BYTE* data, DWORD size, DWORD start_tick, int mark, DWORD* end_tick,
                              DWORD* good_size)
{
    DWORD tick = start_tick;
    DWORD at = 0;
    BYTE running_status = 0;
    unsigned passed = 0;
    TrackReading reading = kTrackWhole;
    *end_tick = tick;
    *good_size = 0;
    while (at < size) {
        DWORD delta, skip;
        int read = ReadVarLen(data, size, &at, &delta);
        if (read < 0)
            return kTrackUnplayable;
        if (read == 0 || delta > kMaxTick - tick || at >= size) {
            reading = kTrackDamaged;
            break;
        }
        DWORD event_tick = tick + delta;
        BYTE status = data[at];
        if (status & 0x80)
            ++at;
        else if (running_status != 0)
            status = running_status;
        else {
            reading = kTrackDamaged;
            break;
        }

        int end = 0;
        if (status == kMetaEvent) {
            if (at >= size) {
                reading = kTrackDamaged;
                break;
            }
            BYTE type = data[at++];
            if ((reading = ReadDataLength(data, size, &at, &skip)) != kTrackWhole)
                break;
            end = type == kMetaEndOfTrack;
            if (!mark && type == kMetaTempo && skip >= 3) {
                if (tempo_count == kMaxTempoChanges) {
                    tempo_table_full = 1;
                    reading = kTrackDamaged;
                    break;
                }
                const BYTE* t = data + at;
                tempo_changes[tempo_count++] = {event_tick, (DWORD)t[0] << 16 | (DWORD)t[1] << 8 | t[2], 0};
            }
        } else if (status == kSysEx || status == kSysExContinued) {
            if ((reading = ReadDataLength(data, size, &at, &skip)) != kTrackWhole)
                break;
        } else if (status >= 0xF0) {
            reading = kTrackDamaged; // system messages have no place in a file
            break;
        } else {
            running_status = status;
            skip = (status & 0xE0) == 0xC0 ? 1 : 2; // program change and channel pressure: 1
            if (skip > size - at) {
                reading = kTrackDamaged;
                break;
            }
        }
        at += skip;
        tick = event_tick;
        *end_tick = tick;
        *good_size = at;
        if (mark)
            MarkEvent(tick, &passed);
        if (end)
            break;
    }
    return reading;
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

// Whether some wait between consecutive events of the spans read (from the start of play to
// the last event) is longer than kMaxEventWaitMs. end_time: the time of the last event.
static int HasEndlessWait(ULONGLONG end_time, DWORD ticks_per_quarter)
{
    const ULONGLONG per_ms = (ULONGLONG)ticks_per_quarter * 1000;
    ULONGLONG cell_ms = end_time / per_ms / kTimelineCells + 1;
    if (cell_ms < kMinCellMs)
        cell_ms = kMinCellMs;
    timeline_cell = cell_ms * per_ms;
    DWORD cells = (DWORD)(end_time / timeline_cell) + 1;
    memset(timeline, 0, (cells + 7) / 8);
    timeline[0] |= 1; // play starts here
    for (unsigned i = 0; i < span_count; ++i) {
        DWORD end_tick, good_size;
        ReadTrack(spans[i].data, spans[i].size, spans[i].start_tick, 1, &end_tick, &good_size);
    }
    DWORD empty = 0;
    for (DWORD cell = 0; cell < cells; ++cell) {
        if (timeline[cell / 8] & (1 << (cell % 8)))
            empty = 0;
        else if (++empty * cell_ms >= kMaxEventWaitMs)
            return 1;
    }
    return 0;
}

// A Standard MIDI File in smf[0, size). Returns 0 when a declared chunk runs past size, when a
// track holds a number longer than the format allows, or when the file, as far as its events
// read, waits longer than kMaxEventWaitMs between two of them.
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
    int readable = format <= 2 && division != 0 && (division & 0x8000) == 0;
    int whole = readable;

    tempo_count = 0;
    tempo_table_full = 0;
    span_count = 0;
    DWORD end_tick = 0;
    DWORD at = 8 + header_length;
    DWORD found = 0;
    while (found < tracks && size - at >= 8) {
        DWORD chunk_length = ReadBigEndian32(smf + at + 4);
        if (chunk_length > size - at - 8)
            return 0;
        // Chunks of other kinds are skipped and not counted, as the format says.
        if (memcmp(smf + at, "MTrk", 4) == 0) {
            if (readable && found < kMaxPlayedTracks) {
                // Format 2 tracks are separate sequences, played one after another.
                DWORD start_tick = format == 2 ? end_tick : 0;
                DWORD track_end, good_size;
                TrackReading reading = ReadTrack(smf + at + 8, chunk_length, start_tick, 0, &track_end, &good_size);
                if (reading == kTrackUnplayable)
                    return 0;
                if (reading == kTrackDamaged)
                    whole = 0;
                spans[span_count++] = {smf + at + 8, good_size, start_tick};
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
    if (found < tracks)
        return 0;
    if (!readable || tempo_table_full || !BuildTempoMap())
        return 1;
    // What reads of a damaged file is still checked for endless waits; its length is the
    // sequencer's to give.
    unsigned passed = 0;
    ULONGLONG end_time = TimeAt(end_tick, &passed);
    if (HasEndlessWait(end_time, division))
        return 0;
    ULONGLONG length = end_time / ((ULONGLONG)division * 1000);
    if (whole && length <= 0x7FFFFFFF)
        *length_ms = (int)length;
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
