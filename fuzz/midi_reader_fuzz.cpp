// libFuzzer harness for the MIDI reader and the sequencer-ready copy: any bytes are read; a
// timed reading is copied, into the plug-in's bound and into a buffer one byte too small, and
// the copy read back and held to what Wine's sequencer and the plug-in's clock rely on. A
// broken invariant traps, so that libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "playback/midi_file.h"
#include "playback/sequencer_copy.h"

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            __builtin_trap();                                                                                          \
    } while (0)

static MidiReading reading, reread;
static uint8_t copy[kMaxSequencerCopyBytes];

// The events a reading plays (channel messages and sysex, what the copy keeps) and their data
// bytes. Every event of a played track must read: the tracks end before their first damage.
static void CountPlayed(const MidiReading& r, uint64_t* events, uint64_t* bytes)
{
    *events = *bytes = 0;
    for (unsigned i = 0; i < r.track_count; ++i) {
        MidiTrackCursor track = r.tracks[i];
        MidiEvent event;
        while (track.at < track.size) {
            CHECK(ReadMidiEvent(&track, &event) == kEventRead);
            if (event.status != kMidiMeta) {
                ++*events;
                *bytes += event.length;
            }
        }
    }
}

// The reading's end in ms, rounded, without a bound on its size.
static uint64_t RoundedEndMs(const MidiReading& r)
{
    unsigned passed = 0;
    uint64_t per_ms = (uint64_t)r.ticks_per_quarter * 1000;
    return (MidiTimeAt(r, r.end_tick, &passed) + per_ms / 2) / per_ms;
}

// The copy's shape: one track at 1 tick = 1 ms, an event at least every 20 ms, an empty text
// event first at every ms where a channel message or sysex sits, no other meta events.
static void CheckShape(uint32_t size)
{
    MidiTrackCursor track = {copy + kSequencerCopyTrackAt, size - kSequencerCopyTrackAt, 0, 0, 0};
    MidiEvent event;
    uint32_t last_tick = 0, count = 0;
    int noop_first = 0;
    while (track.at < track.size) {
        CHECK(ReadMidiEvent(&track, &event) == kEventRead);
        CHECK(event.tick - last_tick <= 20);
        int noop = event.status == kMidiMeta && event.meta_type == 0x01 && event.length == 0;
        if (count == 0 || event.tick != last_tick)
            noop_first = noop;
        if (event.status != kMidiMeta)
            CHECK(noop_first);
        else
            CHECK(noop || (count == 1 && event.meta_type == kMidiMetaTempo) ||
                  (event.meta_type == kMidiMetaEndOfTrack && track.at == track.size));
        last_tick = event.tick;
        ++count;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadMidi(data, (uint32_t)size, &reading);
    CHECK(reading.verdict == 0 || reading.verdict == 1);
    CHECK(reading.length_ms == kNoFileLength || (reading.length_ms >= 0 && reading.timed));
    CHECK(reading.track_count <= kMaxPlayedTracks && reading.tempo_count <= kMaxTempoChanges);
    SequencerCopyStartAt(data, (uint32_t)size, size > 0 ? data[0] * 7 : 1); // any bytes are safe
    if (!reading.timed)
        return 0;
    uint64_t events, bytes;
    CountPlayed(reading, &events, &bytes);

    uint32_t copy_size = WriteSequencerCopy(reading, 0, copy, sizeof(copy));
    // One byte short of the whole copy, or short of the plug-in's bound when it did not fit
    // there: nothing is to be used, and nothing is written past the end (ASan sees the heap).
    uint32_t short_capacity = copy_size > 0 ? copy_size - 1 : 4096;
    uint8_t* small = (uint8_t*)malloc(short_capacity);
    CHECK(WriteSequencerCopy(reading, 0, small, short_capacity) == 0);
    free(small);
    if (copy_size == 0)
        return 0;

    ReadMidi(copy, copy_size, &reread);
    CHECK(reread.verdict == 1 && reread.timed && reread.length_ms != kNoFileLength);
    CHECK(reread.track_count == 1 && reread.ticks_per_quarter == 500 && reread.tempo_count == 1);
    uint64_t end_ms = RoundedEndMs(reading);
    CHECK(reread.end_tick == end_ms && (uint64_t)reread.length_ms == end_ms);
    if (reading.length_ms != kNoFileLength)
        CHECK(end_ms - (uint64_t)reading.length_ms <= 1);
    uint64_t copy_events, copy_bytes;
    CountPlayed(reread, &copy_events, &copy_bytes);
    CHECK(copy_events == events && copy_bytes == bytes);
    CheckShape(copy_size);

    // Where Wine's sequencer starts the music when told to play from ms: within 20 ms after it
    // and never past the end, or ms itself past the end.
    int end = reread.length_ms;
    const int asks[] = {1, end / 3, end / 2, end - 1, end, end + 1, size > 1 ? data[1] * 13 : 2};
    for (int ms : asks) {
        if (ms <= 0)
            continue;
        int start = SequencerCopyStartAt(copy, copy_size, ms);
        CHECK(ms > end ? start == ms : start >= ms && start <= end && start - ms <= 20);
    }
    return 0;
}
