// The reading of a MIDI file's bytes: the damaged-file and size checks made before the
// sequencer sees it, the length from the file's own tempo map (some sequencers, Wine's, report
// every length as if the file ran at 120 beats a minute) and the events for the copy.
#include "playback/midi_file.h"

#include <cstring>

// The size bound: Wine's sequencer reads every declared track at open, 45-100 ms per MB on these
// machines, and the host waits for it in Play and GetFileInfo. At 4 MB of dense notes both took
// 150-300 ms here, well within a second under load; a 2 GB track would take minutes. Music files
// are far smaller (the test files: 0.4-22 KB). Bytes after the declared tracks are never read
// by the sequencer, so they do not count.
static_assert(kMaxMidiFileBytes == 4u * 1024 * 1024, "the bound the comment above reasons about");

// Ticks beyond this give up the length rather than overflow.
static const uint32_t kMaxTick = 0x7FFFFFFF;
// Standard MIDI File: 500000 us per quarter note until the first tempo change.
static const uint32_t kDefaultTempo = 500000;

static uint32_t ReadBigEndian32(const uint8_t* bytes)
{
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

static uint32_t ReadLittleEndian32(const uint8_t* bytes)
{
    return (uint32_t)bytes[3] << 24 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[1] << 8 | bytes[0];
}

// A variable-length quantity of at most four bytes at data[*at], below size. Returns 1, or 0
// when it runs past size, or -1 when it is longer.
static int ReadVarLen(const uint8_t* data, uint32_t size, uint32_t* at, uint32_t* value)
{
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (*at >= size)
            return 0;
        uint8_t b = data[(*at)++];
        result = result << 7 | (b & 0x7F);
        if ((b & 0x80) == 0) {
            *value = result;
            return 1;
        }
    }
    return *at < size ? -1 : 0;
}

// The length of a meta or sysex event's data at data[*at], which must end within the track.
static MidiEventReading ReadDataLength(const uint8_t* data, uint32_t size, uint32_t* at, uint32_t* length)
{
    int read = ReadVarLen(data, size, at, length);
    if (read < 0)
        return kEventUnplayable;
    return read == 0 || *length > size - *at ? kEventDamaged : kEventRead;
}

// Running status outlives meta and sysex events here: the format says they cancel it, but mido
// keeps it across meta events too, and a data byte after a sysex has no other status to go by.
MidiEventReading ReadMidiEvent(MidiTrackCursor* track, MidiEvent* event)
{
    const uint8_t* data = track->data;
    uint32_t size = track->size, at = track->at, delta;
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

uint64_t MidiTimeAt(const MidiReading& reading, uint32_t tick, unsigned* passed)
{
    while (*passed > 0 && reading.tempo[*passed - 1].tick > tick)
        --*passed;
    while (*passed < reading.tempo_count && reading.tempo[*passed].tick <= tick)
        ++*passed;
    if (*passed == 0)
        return (uint64_t)tick * kDefaultTempo;
    const MidiTempoChange& change = reading.tempo[*passed - 1];
    return change.time + (uint64_t)(tick - change.tick) * change.us_per_quarter;
}

uint64_t MidiRoundedMs(const MidiReading& reading, uint32_t tick, unsigned* passed)
{
    const uint64_t per_ms = (uint64_t)reading.ticks_per_quarter * 1000;
    return (MidiTimeAt(reading, tick, passed) + per_ms / 2) / per_ms;
}

// Where one kind of loop mark stands: seen 0 (nowhere), 1 (at `tick`, once or several times,
// as in every track of a file) or 2 (at more than one tick: ambiguous).
struct MarkTicks {
    uint32_t tick;
    int seen;
};

static void See(MarkTicks* mark, uint32_t tick)
{
    if (mark->seen == 0)
        mark->tick = tick;
    mark->seen = mark->seen == 0 || (mark->seen == 1 && mark->tick == tick) ? 1 : 2;
}

// The loop marks of a file, by kind, and the tick of its last note-on.
struct LoopMarks {
    MarkTicks start[kMidiLoopController111 + 1], end[kMidiLoopController111 + 1];
    int count[kMidiLoopController111 + 1];
    uint32_t last_note;
};

// "loopStart", "loopEnd" as a marker's text, without regard to case, underscores, spaces or a
// leading '#'; "loopStart=N" gives a count. Trailing spaces and NULs are a writer's padding.
static void SeeMarker(LoopMarks* marks, const uint8_t* text, uint32_t length, uint32_t tick)
{
    char word[12];
    unsigned n = 0;
    uint32_t i = length > 0 && text[0] == '#' ? 1 : 0;
    for (; i < length && text[i] != '='; ++i) {
        uint8_t c = text[i];
        if (c == '_' || c == ' ' || c == 0)
            continue;
        if (n == sizeof(word))
            return;
        word[n++] = (char)(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    const int kind = kMidiLoopMarkers;
    if (n == 7 && memcmp(word, "loopend", 7) == 0 && i == length) {
        See(&marks->end[kind], tick);
    } else if (n == 9 && memcmp(word, "loopstart", 9) == 0) {
        See(&marks->start[kind], tick);
        int count = kLoopCountNotGiven;
        for (++i; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
            count = count < 0 ? text[i] - '0' : count < 10000 ? count * 10 + (text[i] - '0') : count;
        if (marks->count[kind] == kLoopCountNotGiven)
            marks->count[kind] = count;
    }
}

// Controllers 110 and 111 are both kinds' marks until FindLoop knows which: kept apart here
// under kMidiLoopControllers110 (110) and kMidiLoopController111 (111).
static void SeeController(LoopMarks* marks, uint8_t controller, uint8_t value, uint32_t tick)
{
    if (controller == 110 || controller == 111) {
        See(&marks->start[controller == 110 ? kMidiLoopControllers110 : kMidiLoopController111], tick);
    } else if (controller >= 116 && controller <= 119) {
        int kind = controller <= 117 ? kMidiLoopEmidiTrack : kMidiLoopEmidiSong;
        if ((controller & 1) == 0) {
            See(&marks->start[kind], tick);
            if (marks->count[kind] == kLoopCountNotGiven)
                marks->count[kind] = value;
        } else if (value == 127) {
            See(&marks->end[kind], tick);
        }
    }
}

static void SeeLoopMark(LoopMarks* marks, const MidiEvent& event)
{
    if (event.status == kMidiMeta && event.meta_type == 0x06)
        SeeMarker(marks, event.data, event.length, event.tick);
    else if ((event.status & 0xF0) == 0xB0)
        SeeController(marks, event.data[0], event.data[1], event.tick);
    else if ((event.status & 0xF0) == 0x90 && event.data[1] != 0 && event.tick > marks->last_note)
        marks->last_note = event.tick;
}

// Walks one track's events from start_tick, keeping its tempo changes. *end_tick: the tick of
// its end (its end-of-track event, or its last good event); *good_size: the bytes of its good
// events. Returns kEventRead for a whole track, or what ended its good events. *tempo_full is
// set when a tempo change found no room.
static MidiEventReading ReadTrack(MidiReading* reading, const uint8_t* data, uint32_t size, uint32_t start_tick,
                                  uint32_t* end_tick, uint32_t* good_size, int* tempo_full, LoopMarks* marks)
{
    MidiTrackCursor track = {data, size, 0, start_tick, 0};
    *end_tick = start_tick;
    *good_size = 0;
    while (track.at < size) {
        MidiEvent event;
        MidiEventReading read = ReadMidiEvent(&track, &event);
        if (read != kEventRead)
            return read;
        if (event.status == kMidiMeta && event.meta_type == kMidiMetaTempo && event.length >= 3) {
            if (reading->tempo_count == kMaxTempoChanges) {
                *tempo_full = 1;
                return kEventDamaged;
            }
            const uint8_t* t = event.data;
            reading->tempo[reading->tempo_count++] = {
                event.tick, (uint32_t)t[0] << 16 | (uint32_t)t[1] << 8 | t[2], 0};
        }
        SeeLoopMark(marks, event);
        *end_tick = event.tick;
        *good_size = track.at;
        if (event.status == kMidiMeta && event.meta_type == kMidiMetaEndOfTrack)
            break;
    }
    return kEventRead;
}

// Orders the collected tempo changes by tick and gives each its time from tick 0. Returns 0
// when a time would leave the range of the arithmetic.
static int BuildTempoMap(MidiReading* reading)
{
    MidiTempoChange* tempo = reading->tempo;
    // Stable by tick: at equal ticks the later track's change is the one in force afterwards.
    for (unsigned i = 1; i < reading->tempo_count; ++i) {
        MidiTempoChange change = tempo[i];
        unsigned j = i;
        for (; j > 0 && tempo[j - 1].tick > change.tick; --j)
            tempo[j] = tempo[j - 1];
        tempo[j] = change;
    }
    // Ticks (< 2^31) times tempo (< 2^24) per step; the sum is checked after every step.
    uint64_t time = 0;
    uint32_t tick = 0, us_per_quarter = kDefaultTempo;
    for (unsigned i = 0; i < reading->tempo_count; ++i) {
        time += (uint64_t)(tempo[i].tick - tick) * us_per_quarter;
        if (time >= 1ull << 62)
            return 0;
        tempo[i].time = time;
        tick = tempo[i].tick;
        us_per_quarter = tempo[i].us_per_quarter;
    }
    return 1;
}

// The loop of a whole timed reading, by the marks of each kind present: each must mark one
// start and at most one end (controllers 110 and 111 one each), the start before the end (the
// song's end where none is marked) and the loop at least kMinLoopMs long, and all kinds the
// same loop; else the file plays as written. Controller 110 makes 111 an end rather than a
// start, and in a file with EMIDI loop marks both are EMIDI's own (track designation).
static void FindLoop(MidiReading* reading, LoopMarks& marks)
{
    int emidi = marks.start[kMidiLoopEmidiSong].seen || marks.end[kMidiLoopEmidiSong].seen ||
                marks.start[kMidiLoopEmidiTrack].seen || marks.end[kMidiLoopEmidiTrack].seen;
    if (emidi) {
        marks.start[kMidiLoopControllers110].seen = marks.start[kMidiLoopController111].seen = 0;
    } else if (marks.start[kMidiLoopControllers110].seen) {
        marks.end[kMidiLoopControllers110] = marks.start[kMidiLoopController111];
        marks.start[kMidiLoopController111].seen = 0;
        if (!marks.end[kMidiLoopControllers110].seen)
            return;
    }
    MidiLoop loop = {kMidiLoopNone, 0, 0, 0, 0, kLoopCountNotGiven, 0};
    for (int kind = kMidiLoopMarkers; kind <= kMidiLoopController111; ++kind) {
        const MarkTicks &start = marks.start[kind], &end = marks.end[kind];
        if (start.seen == 0 && end.seen == 0)
            continue;
        uint32_t end_tick = end.seen ? end.tick : reading->end_tick;
        if (start.seen != 1 || end.seen > 1 || start.tick >= end_tick)
            return;
        if (loop.convention != kMidiLoopNone && (start.tick != loop.start_tick || end_tick != loop.end_tick))
            return; // two kinds that disagree
        if (loop.convention == kMidiLoopNone)
            loop = {(MidiLoopConvention)kind, start.tick, end_tick, 0, 0, kLoopCountNotGiven, 0};
        if (loop.count == kLoopCountNotGiven)
            loop.count = marks.count[kind];
    }
    unsigned passed = 0;
    uint64_t start_ms = MidiRoundedMs(*reading, loop.start_tick, &passed);
    uint64_t end_ms = MidiRoundedMs(*reading, loop.end_tick, &passed);
    if (loop.convention == kMidiLoopNone || end_ms - start_ms < (uint64_t)kMinLoopMs || end_ms > 0x7FFFFFFF)
        return;
    loop.start_ms = (int)start_ms;
    loop.end_ms = (int)end_ms;
    loop.runs_to_end = loop.end_tick == reading->end_tick || marks.last_note < loop.end_tick;
    reading->loop = loop;
}

// A Standard MIDI File in smf[0, size).
static void ReadStandardMidiFile(const uint8_t* smf, uint32_t size, MidiReading* reading)
{
    if (size < 8 || memcmp(smf, "MThd", 4) != 0)
        return;
    uint32_t header_length = ReadBigEndian32(smf + 4);
    if (header_length > size - 8) {
        reading->verdict = 0;
        return;
    }
    if (header_length < 6)
        return; // not a header this reader knows; the sequencer judges
    const uint8_t* header = smf + 8;
    uint32_t format = (uint32_t)header[0] << 8 | header[1];
    uint32_t declared = (uint32_t)header[2] << 8 | header[3];
    uint32_t division = (uint32_t)header[4] << 8 | header[5];
    // Ticks per quarter note only; a division in SMPTE frames (top bit set) is the device's.
    int readable = format <= 2 && division != 0 && (division & 0x8000) == 0;
    int whole = readable;
    int tempo_full = 0;
    LoopMarks marks = {};
    for (int& count : marks.count)
        count = kLoopCountNotGiven;

    uint32_t end_tick = 0;
    uint32_t at = 8 + header_length;
    uint32_t found = 0;
    while (found < declared && size - at >= 8) {
        uint32_t chunk_length = ReadBigEndian32(smf + at + 4);
        if (chunk_length > size - at - 8) {
            reading->verdict = 0;
            return;
        }
        // Chunks of other kinds are skipped and not counted, as the format says.
        if (memcmp(smf + at, "MTrk", 4) == 0) {
            if (readable && found < kMaxPlayedTracks) {
                // Format 2 tracks are separate sequences, played one after another.
                uint32_t start_tick = format == 2 ? end_tick : 0;
                uint32_t track_end, good_size;
                MidiEventReading read =
                    ReadTrack(reading, smf + at + 8, chunk_length, start_tick, &track_end, &good_size, &tempo_full,
                              &marks);
                if (read == kEventUnplayable) {
                    reading->verdict = 0;
                    return;
                }
                if (read == kEventDamaged)
                    whole = 0;
                reading->tracks[reading->track_count++] = {smf + at + 8, good_size, 0, start_tick, 0};
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
    if (found < declared) {
        reading->verdict = 0;
        return;
    }
    if (!readable || tempo_full || !BuildTempoMap(reading))
        return;
    reading->ticks_per_quarter = division;
    reading->end_tick = end_tick;
    reading->timed = 1;
    // A damaged file's length is the sequencer's to give; its good events are still read.
    unsigned passed = 0;
    uint64_t length = MidiTimeAt(*reading, end_tick, &passed) / ((uint64_t)division * 1000);
    if (whole && length <= 0x7FFFFFFF) {
        reading->length_ms = (int)length;
        FindLoop(reading, marks);
    }
}

int WineSequencerOpens(const uint8_t* bytes, uint32_t size)
{
    if (bytes == nullptr || size < 14 || memcmp(bytes, "MThd", 4) != 0)
        return 0;
    uint32_t header_length = ReadBigEndian32(bytes + 4);
    uint32_t format = (uint32_t)bytes[8] << 8 | bytes[9];
    uint32_t declared = (uint32_t)bytes[10] << 8 | bytes[11];
    uint32_t division = (uint32_t)bytes[12] << 8 | bytes[13];
    if (header_length < 6 || header_length > size - 8 || format > 2 || division == 0 || division > 0x8000)
        return 0;
    uint32_t tracks = format == 0 ? 1 : declared < 0x8000 ? declared : 0x7FFF;
    uint32_t at = 8 + header_length;
    for (uint32_t i = 0; i < tracks; ++i) {
        if (size - at < 8 || memcmp(bytes + at, "MTrk", 4) != 0)
            return 0;
        uint32_t length = ReadBigEndian32(bytes + at + 4);
        if (length > size - at - 8)
            return 0;
        at += 8 + length;
    }
    return 1;
}

void ReadMidi(const uint8_t* bytes, uint32_t size, MidiReading* reading)
{
    reading->verdict = 1;
    reading->length_ms = kNoFileLength;
    reading->timed = 0;
    reading->track_count = 0;
    reading->ticks_per_quarter = 0;
    reading->end_tick = 0;
    reading->tempo_count = 0;
    reading->loop = {kMidiLoopNone, 0, 0, 0, 0, kLoopCountNotGiven, 0};
    if (bytes == nullptr)
        return;
    // A RIFF RMID file carries the MIDI file in its "data" chunk; its chunks are word-aligned.
    // A RIFF file whose chunks before "data" run past its end is the sequencer's to judge.
    if (size < 12 || memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "RMID", 4) != 0) {
        ReadStandardMidiFile(bytes, size, reading);
        return;
    }
    uint32_t riff_length = ReadLittleEndian32(bytes + 4);
    uint32_t end = riff_length < size - 8 ? riff_length + 8 : size;
    for (uint32_t at = 12; at < end && end - at >= 8;) {
        uint32_t length = ReadLittleEndian32(bytes + at + 4);
        int data = memcmp(bytes + at, "data", 4) == 0;
        if (length > end - at - 8) {
            reading->verdict = !data;
            return;
        }
        if (data) {
            ReadStandardMidiFile(bytes + at + 8, length, reading);
            return;
        }
        at += 8 + length + (length & 1);
    }
}
