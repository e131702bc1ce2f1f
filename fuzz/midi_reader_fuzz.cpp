// libFuzzer harness for the MIDI reader and the sequencer-ready copy: any bytes are read; a
// timed reading is copied, into the plug-in's bound and into a buffer one byte too small, and
// the copy read back and held to what Wine's sequencer and the plug-in's clock rely on; a
// reading with a loop is unrolled too (1 to 16 passes, picked by the input's last byte) and
// held to the plan and the loop's contract. A broken invariant traps, so that libFuzzer keeps
// the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

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

// A note-on or sysex as a number that sorts by time: ms, status, then key and velocity or the
// sysex's length.
static uint64_t Sound(uint32_t ms, const MidiEvent& event)
{
    uint32_t what = (event.status & 0xF0) == 0x90 ? event.data[0] << 8 | event.data[1] : event.length & 0xFFFF;
    return (uint64_t)ms << 32 | (uint32_t)event.status << 24 | what;
}

static int Sounds(const MidiEvent& event)
{
    return ((event.status & 0xF0) == 0x90 && event.data[1] != 0) || event.status == kMidiSysEx ||
           event.status == kMidiSysExContinued;
}

// The note-ons (and sysex, key 0) the unrolled piece must hold, from the reading's own events:
// the intro, `passes` of the loop each its length later, then the tail or the fading pass up
// to the fade's end.
static std::vector<uint64_t> ExpectedUnrolled(const MidiReading& r, int passes, uint32_t fade_to)
{
    const MidiLoop& loop = r.loop;
    uint32_t body = (uint32_t)(loop.end_ms - loop.start_ms);
    std::vector<uint64_t> out;
    for (unsigned i = 0; i < r.track_count; ++i) {
        MidiTrackCursor track = r.tracks[i];
        MidiEvent event;
        unsigned passed = 0;
        while (track.at < track.size && ReadMidiEvent(&track, &event) == kEventRead) {
            if (!Sounds(event))
                continue;
            uint32_t ms = (uint32_t)MidiRoundedMs(r, event.tick, &passed);
            if (event.tick < loop.start_tick)
                out.push_back(Sound(ms, event));
            else if (event.tick >= loop.end_tick && fade_to == 0)
                out.push_back(Sound(ms + (passes - 1) * body, event));
            for (int pass = 0; event.tick >= loop.start_tick && event.tick < loop.end_tick && pass <= passes; ++pass)
                if (pass < passes || ms + pass * body < fade_to)
                    out.push_back(Sound(ms + pass * body, event));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The unrolled copy: whole and timed (every note-on and sysex where ExpectedUnrolled says, no
// other note-on), no note sounding on past a jump back (held down or by the pedal), none at
// the end of a fade, and the fade's volume at 0 there until the sound is cut.
static void CheckUnrolled(const MidiReading& r, int passes, uint32_t size, int length_ms)
{
    const MidiLoop& loop = r.loop;
    uint32_t body = (uint32_t)(loop.end_ms - loop.start_ms);
    int fades = loop.runs_to_end || loop.count == 0;
    uint32_t fade_ms = fades ? std::min(body, 8000u) : 0;
    if (fades)
        CHECK((uint64_t)length_ms == (uint64_t)loop.start_ms + (uint64_t)passes * body + fade_ms);
    uint32_t fade_to = fades ? (uint32_t)length_ms : 0;
    int jumps = passes - 1 + fades;

    std::vector<uint64_t> sounded;
    struct Key {
        uint32_t on_ms;
        uint8_t down, held;
    } keys[16][128] = {};
    uint8_t pedal[16] = {}, volume[16], volume_at_cut[16];
    memset(volume, 0xFF, sizeof(volume));
    memset(volume_at_cut, 0xFF, sizeof(volume_at_cut));
    int jump = 1;
    MidiTrackCursor track = {copy + kSequencerCopyTrackAt, size - kSequencerCopyTrackAt, 0, 0, 0};
    MidiEvent event;
    auto check_jump = [&]() {
        for (auto& channel : keys)
            for (Key& key : channel)
                CHECK(!(key.down || key.held) || key.on_ms >= loop.start_ms + jump * body);
        ++jump;
    };
    while (track.at < track.size) {
        CHECK(ReadMidiEvent(&track, &event) == kEventRead);
        while (jump <= jumps && event.tick > loop.start_ms + jump * body)
            check_jump();
        if (Sounds(event))
            sounded.push_back(Sound(event.tick, event));
        if (event.status >= 0xF0)
            continue;
        int channel = event.status & 0x0F;
        uint8_t d0 = event.data[0] & 0x7F, d1 = event.length > 1 ? event.data[1] & 0x7F : 0;
        Key& key = keys[channel][d0];
        switch (event.status & 0xF0) {
        case 0x90:
            if (d1 != 0) {
                key = {event.tick, 1, 0};
                break;
            }
            [[fallthrough]];
        case 0x80:
            key.held = key.down && pedal[channel];
            key.down = 0;
            break;
        case 0xB0:
            if (d0 == 121) // reset all controllers: the pedal too
                d0 = 64, d1 = 0;
            if (d0 == 64 && d1 < 64)
                for (Key& k : keys[channel])
                    k.held = 0;
            if (d0 == 64)
                pedal[channel] = d1 >= 64;
            if (d0 == 120 || d0 == 123)
                for (Key& k : keys[channel])
                    k.down = k.held = 0;
            if (d0 == 120)
                volume_at_cut[channel] = volume[channel];
            if (d0 == 7)
                volume[channel] = d1;
            break;
        }
    }
    while (jump <= jumps)
        check_jump();
    std::sort(sounded.begin(), sounded.end());
    CHECK(sounded == ExpectedUnrolled(r, passes, fade_to));
    if (fades) {
        for (int channel = 0; channel < 16; ++channel) {
            // Silent where the sound is cut at the end, then the volume given back.
            CHECK(volume_at_cut[channel] == 0xFF || volume_at_cut[channel] == 0);
            for (Key& key : keys[channel])
                CHECK(!key.down && !key.held);
        }
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
    // Whether it fits, found without writing it, is what writing it finds.
    CHECK(SequencerCopyFits(reading, sizeof(copy)) == (copy_size != 0));
    CHECK(!SequencerCopyFits(reading, short_capacity));
    CHECK(WriteSequencerCopy(reading, 0, nullptr, sizeof(copy)) == copy_size);
    if (copy_size == 0)
        return 0;

    ReadMidi(copy, copy_size, &reread);
    CHECK(reread.verdict == 1 && reread.timed && reread.length_ms != kNoFileLength);
    CHECK(reread.track_count == 1 && reread.ticks_per_quarter == 500 && reread.tempo_count == 1);
    uint64_t end_ms = RoundedEndMs(reading);
    CHECK(reread.end_tick == end_ms && (uint64_t)reread.length_ms == end_ms);
    CHECK(SequencerCopyLength(reading) == reread.length_ms);
    if (reading.length_ms != kNoFileLength)
        CHECK(end_ms - (uint64_t)reading.length_ms <= 1);
    uint64_t copy_events, copy_bytes;
    CountPlayed(reread, &copy_events, &copy_bytes);
    CHECK(copy_events == events && copy_bytes == bytes);
    CheckShape(copy_size);

    // The loop: found only in a whole file, where it is one; unrolled into the passes that fit.
    const MidiLoop& loop = reading.loop;
    int asked = size > 0 ? data[size - 1] % kMaxLoopPasses + 1 : 1;
    LoopPlan plan = PlanSequencerCopy(reading, asked, sizeof(copy));
    CHECK(plan.passes >= 0 && plan.passes <= asked);
    if (loop.convention == kMidiLoopNone || plan.passes == 0) {
        CHECK(plan.passes == 0 && plan.length_ms == reading.length_ms);
    } else {
        CHECK(reading.length_ms != kNoFileLength && loop.start_tick < loop.end_tick && loop.end_tick <= reading.end_tick);
        CHECK(loop.end_ms - loop.start_ms >= kMinLoopMs && loop.count >= kLoopCountNotGiven);
        copy_size = WriteSequencerCopy(reading, plan.passes, copy, sizeof(copy));
        CHECK(copy_size == plan.size);
        small = (uint8_t*)malloc(copy_size - 1);
        CHECK(WriteSequencerCopy(reading, plan.passes, small, copy_size - 1) == 0);
        free(small);
        if (plan.passes < asked) // one more would not have fitted
            CHECK(PlanSequencerCopy(reading, plan.passes + 1, sizeof(copy)).passes == plan.passes);
        ReadMidi(copy, copy_size, &reread);
        CHECK(reread.verdict == 1 && reread.timed && reread.track_count == 1 && reread.tempo_count == 1);
        CHECK(reread.end_tick == (uint32_t)plan.length_ms && reread.length_ms == plan.length_ms);
        CheckShape(copy_size);
        CheckUnrolled(reading, plan.passes, copy_size, plan.length_ms);
    }

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
