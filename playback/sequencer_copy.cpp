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
#include "playback/sequencer_copy.h"

#include <cstring>

// The copy's track: 1 tick = 1 ms.
static const uint16_t kCopyDivision = 500;
static const uint8_t kCopyTempo[] = {0x07, 0xA1, 0x20}; // 500000 us a quarter
// 50 ms was tried too: the music then started up to 38 ms early after a seek.
static const uint32_t kWakeMs = 20;
// An empty text event (meta, type, length); kNoOpBytes with its one-byte delta time.
static const uint8_t kNoOp[] = {kMidiMeta, 0x01, 0x00};
static const uint32_t kNoOpBytes = 1 + sizeof(kNoOp);

// The copy being written: its buffer, bytes so far, the time of its last event, whether it
// ran full (then nothing more is written).
struct CopyWriter {
    uint8_t* out;
    uint32_t capacity;
    uint32_t at;
    uint32_t ms;
    int any;
    int full;
};

static void Put(CopyWriter* w, const uint8_t* bytes, uint32_t count)
{
    if (w->full || count > w->capacity - w->at) {
        w->full = 1;
        return;
    }
    memcpy(w->out + w->at, bytes, count);
    w->at += count;
}

static void PutByte(CopyWriter* w, uint8_t byte)
{
    Put(w, &byte, 1);
}

static void PutBigEndian(CopyWriter* w, uint32_t value, int bytes)
{
    while (bytes-- > 0)
        PutByte(w, (uint8_t)(value >> (8 * bytes)));
}

// A variable-length quantity (below 2^28: deltas of at most kWakeMs, data within a file).
static void PutVarLen(CopyWriter* w, uint32_t value)
{
    uint8_t bytes[4];
    int count = 0;
    bytes[3 - count++] = (uint8_t)(value & 0x7F);
    while ((value >>= 7) != 0 && count < 4)
        bytes[3 - count++] = (uint8_t)((value & 0x7F) | 0x80);
    Put(w, bytes + 4 - count, (uint32_t)count);
}

// Moves the copy's time forward to ms (never back: a later time is all a merge by tick gives):
// wake-ups at most kWakeMs apart, then the no-op that comes first at every millisecond where
// events sit.
static void MoveTimeTo(CopyWriter* w, uint32_t ms)
{
    if (w->any && ms <= w->ms)
        return;
    uint32_t at = w->any ? w->ms : 0;
    for (; ms - at > kWakeMs && !w->full; at += kWakeMs) {
        PutByte(w, (uint8_t)kWakeMs);
        Put(w, kNoOp, sizeof(kNoOp));
    }
    PutByte(w, (uint8_t)(ms - at));
    Put(w, kNoOp, sizeof(kNoOp));
    w->ms = ms;
    w->any = 1;
}

// The tracks being merged: each one's cursor and next event, and whether it has one.
struct TrackMerge {
    MidiTrackCursor cursor[kMaxPlayedTracks];
    MidiEvent next[kMaxPlayedTracks];
    uint8_t live[kMaxPlayedTracks];
};

static void ReadNextEvent(TrackMerge* merge, unsigned i)
{
    merge->live[i] = ReadMidiEvent(&merge->cursor[i], &merge->next[i]) == kEventRead;
}

// In 64 bits: a slow tempo at few ticks a quarter reaches 2^32 ms well within 2^31 ticks.
static uint64_t RoundedMs(const MidiReading& reading, uint32_t tick, unsigned* passed)
{
    const uint64_t per_ms = (uint64_t)reading.ticks_per_quarter * 1000;
    return (MidiTimeAt(reading, tick, passed) + per_ms / 2) / per_ms;
}

int LoopPassesFor(const MidiLoop& loop, int user_passes)
{
    if (loop.convention == kMidiLoopNone || user_passes <= 0)
        return 0;
    int passes = loop.count > 0 ? loop.count : user_passes;
    return passes < kMaxLoopPasses ? passes : kMaxLoopPasses;
}

LoopPlan PlanSequencerCopy(const MidiReading& reading, int asked_passes, uint32_t capacity)
{
    (void)asked_passes;
    (void)capacity;
    return {0, reading.length_ms, 0};
}

uint32_t WriteSequencerCopy(const MidiReading& reading, int passes, uint8_t* out, uint32_t capacity)
{
    (void)passes;
    if (!reading.timed || capacity < kSequencerCopyTrackAt)
        return 0;
    unsigned end_passed = 0;
    uint64_t end_ms = RoundedMs(reading, reading.end_tick, &end_passed);
    // The wake-ups alone would not fit, or the end is past the ticks a reading takes (2^31):
    // refused before a byte is written (a damaged delta time reads as hours or days). Every
    // event comes before the end, so its time fits 32 bits too.
    if (end_ms / kWakeMs * kNoOpBytes > capacity || end_ms > 0x7FFFFFFF)
        return 0;

    CopyWriter w = {out, capacity, 0, 0, 0, 0};
    Put(&w, (const uint8_t*)"MThd", 4);
    PutBigEndian(&w, 6, 4);
    PutBigEndian(&w, 0, 2); // format 0: one track
    PutBigEndian(&w, 1, 2);
    PutBigEndian(&w, kCopyDivision, 2);
    Put(&w, (const uint8_t*)"MTrk", 4);
    PutBigEndian(&w, 0, 4); // the track's length, written at the end
    MoveTimeTo(&w, 0);
    PutByte(&w, 0);
    PutByte(&w, kMidiMeta);
    PutByte(&w, kMidiMetaTempo);
    PutByte(&w, sizeof(kCopyTempo));
    Put(&w, kCopyTempo, sizeof(kCopyTempo));

    // All tracks merged in one pass, by tick; at equal ticks the earlier track first, and each
    // track's events in their order, as Wine's sequencer takes them.
    TrackMerge merge;
    for (unsigned i = 0; i < reading.track_count; ++i) {
        merge.cursor[i] = reading.tracks[i];
        ReadNextEvent(&merge, i);
    }
    unsigned passed = 0;
    while (!w.full) {
        int pick = -1;
        for (unsigned i = 0; i < reading.track_count; ++i)
            if (merge.live[i] && (pick < 0 || merge.next[i].tick < merge.next[pick].tick))
                pick = (int)i;
        if (pick < 0)
            break;
        const MidiEvent& event = merge.next[pick];
        if (event.status != kMidiMeta) {
            // Each event's own time, rounded: never a sum of rounded steps.
            MoveTimeTo(&w, (uint32_t)RoundedMs(reading, event.tick, &passed));
            PutByte(&w, 0);
            PutByte(&w, event.status);
            if (event.status == kMidiSysEx || event.status == kMidiSysExContinued)
                PutVarLen(&w, event.length);
            Put(&w, event.data, event.length);
        }
        ReadNextEvent(&merge, (unsigned)pick);
    }
    MoveTimeTo(&w, (uint32_t)end_ms);
    PutByte(&w, 0);
    PutByte(&w, kMidiMeta);
    PutByte(&w, kMidiMetaEndOfTrack);
    PutByte(&w, 0);
    if (w.full)
        return 0;
    uint32_t size = w.at;
    w.at = kSequencerCopyTrackAt - 4;
    PutBigEndian(&w, size - kSequencerCopyTrackAt, 4);
    return size;
}

int SequencerCopyStartAt(const uint8_t* copy, uint32_t size, int ms)
{
    if (size <= kSequencerCopyTrackAt || ms <= 0)
        return ms;
    MidiTrackCursor track = {copy + kSequencerCopyTrackAt, size - kSequencerCopyTrackAt, 0, 0, 0};
    MidiEvent event;
    while (ReadMidiEvent(&track, &event) == kEventRead)
        if (event.tick >= (uint32_t)ms)
            return (int)event.tick;
    return ms;
}
