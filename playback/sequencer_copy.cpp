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
// A file's loop (MidiReading::loop) is unrolled where passes are asked: the events before the
// loop, the loop's events again each pass at their own times plus the passes' length before
// (the times come from the file's tempo map, so the tempo at the loop's start comes back with
// them), then the events after the loop, or for a loop to the song's end or forever one more
// pass with every channel's volume scaled down to 0 over kLoopFadeMs or the loop's length. At
// each jump back the notes sounding end, the pedal is released, and what a channel's program,
// bank, controllers and pitch bend were at the loop's start is set again where it differs.
// The loop's marks are left out.
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
    if (w->out != nullptr) // only counted
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

// The state of a channel that a jump back to the loop's start puts right: -1 where the copy
// has not set it.
struct ChannelState {
    int8_t controller[128];
    int8_t program;
    int16_t bend;
    uint8_t keys[16]; // the keys held down, a bit each
};

struct PlayState {
    ChannelState channel[16];
    unsigned used; // a bit for each channel that has had a message
};

static void Track(PlayState* state, uint8_t status, const uint8_t* data)
{
    if (status >= 0xF0)
        return;
    ChannelState& c = state->channel[status & 0x0F];
    state->used |= 1u << (status & 0x0F);
    uint8_t d0 = data[0] & 0x7F, d1 = (status & 0xE0) == 0xC0 ? 0 : data[1] & 0x7F;
    uint8_t bit = (uint8_t)(1 << (d0 & 7)), &keys = c.keys[d0 >> 3];
    switch (status & 0xF0) {
    case 0x80:
        keys &= (uint8_t)~bit;
        break;
    case 0x90:
        keys = d1 != 0 ? keys | bit : keys & (uint8_t)~bit;
        break;
    case 0xB0:
        c.controller[d0] = (int8_t)d1;
        if (d0 == 120 || d0 == 123) // all sound off, all notes off
            memset(c.keys, 0, sizeof(c.keys));
        if (d0 == 121) { // reset all controllers
            c.controller[1] = c.controller[64] = c.controller[65] = c.controller[66] = c.controller[67] = 0;
            c.controller[11] = 127;
            c.bend = 8192;
        }
        break;
    case 0xC0:
        c.program = (int8_t)d0;
        break;
    case 0xE0:
        c.bend = (int16_t)(d0 | d1 << 7);
        break;
    }
}

// The value a controller has where the file sets none before the loop (General MIDI; GS for
// reverb and chorus), or -1: then it is not restored. Neither are data entry and the parameter
// numbers it follows (6, 38, 96-101), the loop marks and EMIDI's controllers (110-119), nor
// the channel mode messages (120-127): they are no state a jump could set back.
static int StartValue(const ChannelState& start, int controller)
{
    if (controller == 6 || controller == 38 || (controller >= 96 && controller <= 101) || controller >= 110)
        return -1;
    if (start.controller[controller] >= 0)
        return start.controller[controller];
    switch (controller) {
    case 7:
        return 100;
    case 10:
        return 64;
    case 11:
        return 127;
    case 91:
        return 40;
    case 0: case 1: case 32: case 64: case 65: case 66: case 67: case 93:
        return 0;
    }
    return -1;
}

// A channel message or sysex at the copy's time, tracked.
static void PutMessage(CopyWriter* w, PlayState* state, uint8_t status, const uint8_t* data, uint32_t length)
{
    PutByte(w, 0);
    PutByte(w, status);
    if (status == kMidiSysEx || status == kMidiSysExContinued)
        PutVarLen(w, length);
    Put(w, data, length);
    Track(state, status, data);
}

static void PutControl(CopyWriter* w, PlayState* state, int channel, int controller, int value)
{
    const uint8_t data[] = {(uint8_t)controller, (uint8_t)value};
    PutMessage(w, state, (uint8_t)(0xB0 | channel), data, 2);
}

// Ends every key held down (and those of `also`, which may no longer be) and releases the
// sustain pedal.
static void EndNotes(CopyWriter* w, PlayState* state, const PlayState& also)
{
    for (int channel = 0; channel < 16; ++channel) {
        ChannelState& c = state->channel[channel];
        for (int key = 0; key < 128; ++key)
            if ((c.keys[key >> 3] | also.channel[channel].keys[key >> 3]) & 1 << (key & 7)) {
                const uint8_t data[] = {(uint8_t)key, 0};
                PutMessage(w, state, (uint8_t)(0x80 | channel), data, 2);
            }
        if (c.controller[64] >= 64)
            PutControl(w, state, channel, 64, 0);
    }
}

// The jump back to the loop's start: the notes end, and what differs from the start is set
// back, bank before program (which a bank change needs too).
static void Jump(CopyWriter* w, PlayState* state, const PlayState& start, const PlayState& end_of_first)
{
    EndNotes(w, state, end_of_first);
    for (int channel = 0; channel < 16; ++channel) {
        const ChannelState &now = state->channel[channel], &then = start.channel[channel];
        int bank_changed = 0;
        for (int controller = 0; controller < 128; ++controller) {
            int value = StartValue(then, controller);
            if (value >= 0 && now.controller[controller] >= 0 && now.controller[controller] != value) {
                PutControl(w, state, channel, controller, value);
                bank_changed |= controller == 0 || controller == 32;
            }
        }
        uint8_t program = (uint8_t)(then.program >= 0 ? then.program : 0);
        if (bank_changed || (now.program >= 0 && now.program != program))
            PutMessage(w, state, (uint8_t)(0xC0 | channel), &program, 1);
        int bend = then.bend >= 0 ? then.bend : 8192;
        if (now.bend >= 0 && now.bend != bend) {
            const uint8_t data[] = {(uint8_t)(bend & 0x7F), (uint8_t)(bend >> 7)};
            PutMessage(w, state, (uint8_t)(0xE0 | channel), data, 2);
        }
    }
}

// The last pass's fade: the volume steps every kFadeStepMs from `from` to `to`, each channel's
// own volume (controller 7, its changes in the pass included) scaled down to 0 at `to`.
static const uint32_t kFadeStepMs = 100;

struct Fade {
    uint32_t from, to, next_step;
    int8_t sent[16];
};

static int Volume(const PlayState& state, int channel)
{
    int volume = state.channel[channel].controller[7];
    return volume >= 0 ? volume : 100;
}

static uint8_t Faded(const Fade& fade, int volume, uint32_t ms)
{
    uint32_t span = fade.to - fade.from, left = ms < fade.to ? fade.to - ms : 0;
    return (uint8_t)((volume * left + span / 2) / span);
}

// The steps due up to ms, each where a channel's volume changes; the last at the fade's end.
static void FadeUpTo(CopyWriter* w, PlayState* state, Fade* fade, uint32_t ms)
{
    while (fade->next_step <= ms && fade->next_step <= fade->to) {
        uint32_t at = fade->next_step;
        MoveTimeTo(w, at);
        for (int channel = 0; channel < 16; ++channel) {
            int8_t& own = state->channel[channel].controller[7], kept = own;
            uint8_t volume = Faded(*fade, Volume(*state, channel), at);
            if ((state->used >> channel & 1) && volume != fade->sent[channel]) {
                PutControl(w, state, channel, 7, volume);
                own = kept; // the state keeps the file's own volume
                fade->sent[channel] = (int8_t)volume;
            }
        }
        fade->next_step = at == fade->to ? at + 1 : at + kFadeStepMs < fade->to ? at + kFadeStepMs : fade->to;
    }
}

// After the fade the channels would stay at volume 0 for whatever plays next, since a synthesizer
// keeps its controllers from one piece to the next: once the notes are ended, what still sounds
// (a release, an echo) is cut, and each channel gets back the volume the file left it at.
static void RestoreFadedVolumes(CopyWriter* w, PlayState* state)
{
    for (int channel = 0; channel < 16; ++channel) {
        if (!(state->used >> channel & 1))
            continue;
        PutControl(w, state, channel, 120, 0); // all sound off
        PutControl(w, state, channel, 7, Volume(*state, channel));
    }
}

// The copy being written: the writer, the tracks' merge and what the copy has set.
struct Unrolling {
    const MidiReading& reading;
    CopyWriter w;
    TrackMerge merge;
    unsigned passed;
    PlayState state;
    int marks; // the loop's convention whose marks are left out; kMidiLoopNone: none
};

// The controllers that mark a loop of the convention.
static int IsLoopMark(int convention, const MidiEvent& event)
{
    if ((event.status & 0xF0) != 0xB0)
        return 0;
    uint8_t controller = event.data[0];
    switch (convention) {
    case kMidiLoopEmidiSong:
        return controller == 118 || controller == 119;
    case kMidiLoopEmidiTrack:
        return controller == 116 || controller == 117;
    case kMidiLoopControllers110:
        return controller == 110 || controller == 111;
    case kMidiLoopController111:
        return controller == 111;
    }
    return 0;
}

// All tracks merged by tick up to (not including) until_tick, `offset` ms later than their own
// time; with a fade, up to its end. At equal ticks the earlier track first, and each track's
// events in their order, as Wine's sequencer takes them.
static void WriteEvents(Unrolling* u, uint32_t until_tick, uint32_t offset, Fade* fade)
{
    CopyWriter* w = &u->w;
    TrackMerge& merge = u->merge;
    while (!w->full) {
        int pick = -1;
        for (unsigned i = 0; i < u->reading.track_count; ++i)
            if (merge.live[i] && (pick < 0 || merge.next[i].tick < merge.next[pick].tick))
                pick = (int)i;
        if (pick < 0 || merge.next[pick].tick >= until_tick)
            return;
        const MidiEvent& event = merge.next[pick];
        if (event.status != kMidiMeta && !IsLoopMark(u->marks, event)) {
            // Each event's own time, rounded: never a sum of rounded steps.
            uint32_t ms = (uint32_t)MidiRoundedMs(u->reading, event.tick, &u->passed) + offset;
            if (fade != nullptr) {
                if (ms >= fade->to)
                    return;
                FadeUpTo(w, &u->state, fade, ms);
            }
            MoveTimeTo(w, ms);
            if (fade != nullptr && (event.status & 0xF0) == 0xB0 && (event.data[0] & 0x7F) == 7) {
                uint8_t channel = event.status & 0x0F, volume = Faded(*fade, event.data[1] & 0x7F, ms);
                fade->sent[channel] = (int8_t)volume;
                PutControl(w, &u->state, channel, 7, volume);
                u->state.channel[channel].controller[7] = (int8_t)(event.data[1] & 0x7F);
            } else {
                PutMessage(w, &u->state, event.status, event.data, event.length);
            }
        }
        ReadNextEvent(&merge, (unsigned)pick);
    }
}

// The time the copy of `passes` ends at: the loop's passes after its start, then the rest of
// the song or the fade.
static uint64_t PlayedEndMs(const MidiReading& reading, int passes, uint32_t* fade_ms)
{
    const MidiLoop& loop = reading.loop;
    unsigned passed = 0;
    uint64_t song_end = MidiRoundedMs(reading, reading.end_tick, &passed);
    uint32_t body = (uint32_t)(loop.end_ms - loop.start_ms);
    *fade_ms = 0;
    if (passes == 0)
        return song_end;
    if (!loop.runs_to_end && loop.count != 0)
        return song_end + (uint64_t)(passes - 1) * body;
    *fade_ms = body < (uint32_t)kLoopFadeMs ? body : (uint32_t)kLoopFadeMs;
    return (uint64_t)loop.start_ms + (uint64_t)passes * body + *fade_ms;
}

// The copy with `passes` of the reading's loop (0: as written), into out[0, capacity), or
// only counted where out is null. *per_pass: the bytes one more pass adds, with its jump.
static uint32_t Unroll(const MidiReading& reading, int passes, uint8_t* out, uint32_t capacity, uint32_t* per_pass)
{
    if (!reading.timed || capacity < kSequencerCopyTrackAt)
        return 0;
    const MidiLoop& loop = reading.loop;
    if (loop.convention == kMidiLoopNone || passes < 0)
        passes = 0;
    uint32_t fade_ms;
    uint64_t end_ms = PlayedEndMs(reading, passes, &fade_ms);
    // The wake-ups alone would not fit, or the end is past the ticks a reading takes (2^31):
    // refused before a byte is written (a damaged delta time reads as hours or days). Every
    // event comes before the end, so its time fits 32 bits too.
    if (end_ms / kWakeMs * kNoOpBytes > capacity || end_ms > 0x7FFFFFFF)
        return 0;

    Unrolling u = {reading, {out, capacity, 0, 0, 0, 0}, {}, 0, {}, passes > 0 ? loop.convention : kMidiLoopNone};
    CopyWriter* w = &u.w;
    Put(w, (const uint8_t*)"MThd", 4);
    PutBigEndian(w, 6, 4);
    PutBigEndian(w, 0, 2); // format 0: one track
    PutBigEndian(w, 1, 2);
    PutBigEndian(w, kCopyDivision, 2);
    Put(w, (const uint8_t*)"MTrk", 4);
    PutBigEndian(w, 0, 4); // the track's length, written at the end
    MoveTimeTo(w, 0);
    PutByte(w, 0);
    PutByte(w, kMidiMeta);
    PutByte(w, kMidiMetaTempo);
    PutByte(w, sizeof(kCopyTempo));
    Put(w, kCopyTempo, sizeof(kCopyTempo));

    for (unsigned i = 0; i < reading.track_count; ++i) {
        u.merge.cursor[i] = reading.tracks[i];
        ReadNextEvent(&u.merge, i);
    }
    memset(u.state.channel, 0xFF, sizeof(u.state.channel));
    for (ChannelState& c : u.state.channel)
        memset(c.keys, 0, sizeof(c.keys));
    if (passes == 0) {
        WriteEvents(&u, 0xFFFFFFFF, 0, nullptr);
    } else {
        // Every pass starts from the same point of the writer (a no-op at the pass's start
        // time) and every jump writes the same messages, so each pass after the first adds the
        // same bytes: what PlanSequencerCopy counts on.
        WriteEvents(&u, loop.start_tick, 0, nullptr);
        MoveTimeTo(w, (uint32_t)loop.start_ms);
        const TrackMerge at_start = u.merge;
        const PlayState start = u.state;
        PlayState end_of_first;
        uint32_t body = (uint32_t)(loop.end_ms - loop.start_ms), first_from = w->at;
        int fades = fade_ms > 0;
        for (int pass = 0; pass < passes; ++pass) {
            if (pass > 0)
                u.merge = at_start;
            WriteEvents(&u, loop.end_tick, pass * body, nullptr);
            MoveTimeTo(w, (uint32_t)loop.end_ms + pass * body);
            if (pass == 0) {
                end_of_first = u.state;
                CopyWriter counted = {nullptr, 0xFFFFFFFF, 0, 0, 1, 0};
                PlayState scratch = u.state;
                Jump(&counted, &scratch, start, end_of_first);
                *per_pass = w->at - first_from + counted.at;
            }
            if (pass + 1 < passes || fades)
                Jump(w, &u.state, start, end_of_first);
        }
        if (fades) {
            u.merge = at_start;
            uint32_t from = (uint32_t)loop.start_ms + passes * body;
            Fade fade = {from, from + fade_ms, from + (fade_ms < kFadeStepMs ? fade_ms : kFadeStepMs), {}};
            for (int channel = 0; channel < 16; ++channel)
                fade.sent[channel] = (int8_t)Volume(u.state, channel);
            WriteEvents(&u, loop.end_tick, passes * body, &fade);
            FadeUpTo(w, &u.state, &fade, fade.to);
            EndNotes(w, &u.state, u.state);
            RestoreFadedVolumes(w, &u.state);
        } else {
            WriteEvents(&u, 0xFFFFFFFF, (passes - 1) * body, nullptr);
        }
    }
    MoveTimeTo(w, (uint32_t)end_ms);
    PutByte(w, 0);
    PutByte(w, kMidiMeta);
    PutByte(w, kMidiMetaEndOfTrack);
    PutByte(w, 0);
    if (w->full)
        return 0;
    uint32_t size = w->at;
    w->at = kSequencerCopyTrackAt - 4;
    PutBigEndian(w, size - kSequencerCopyTrackAt, 4);
    return size;
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
    LoopPlan plan = {0, reading.length_ms, 0};
    uint32_t per_pass = 0, size;
    if (asked_passes <= 0 || reading.loop.convention == kMidiLoopNone ||
        (size = Unroll(reading, 1, nullptr, capacity, &per_pass)) == 0)
        return plan;
    uint32_t more = (capacity - size) / per_pass;
    plan.passes = asked_passes > kMaxLoopPasses ? kMaxLoopPasses : asked_passes;
    if ((uint32_t)plan.passes - 1 > more)
        plan.passes = (int)more + 1;
    uint32_t fade_ms;
    plan.length_ms = (int)PlayedEndMs(reading, plan.passes, &fade_ms);
    plan.size = size + (plan.passes - 1) * per_pass;
    return plan;
}

uint32_t WriteSequencerCopy(const MidiReading& reading, int passes, uint8_t* out, uint32_t capacity)
{
    uint32_t per_pass;
    return Unroll(reading, passes, out, capacity, &per_pass);
}

int SequencerCopyFits(const MidiReading& reading, uint32_t capacity)
{
    if (!reading.timed)
        return 0;
    unsigned passed = 0;
    uint64_t end_ms = MidiRoundedMs(reading, reading.end_tick, &passed);
    // The header, the first and the last no-op, the tempo (7 bytes) and the end (4) are fixed;
    // the wake-ups take at most a no-op every kWakeMs of the whole; each event kept at most 7
    // bytes with its no-op for at least 2 of its track (a program change under running status),
    // and the tracks' meta events nothing.
    uint64_t track_bytes = 0;
    for (unsigned i = 0; i < reading.track_count; ++i)
        track_bytes += reading.tracks[i].size;
    uint64_t bound =
        kSequencerCopyTrackAt + 2 * kNoOpBytes + 7 + 4 + end_ms / kWakeMs * kNoOpBytes + track_bytes * 7 / 2;
    if (end_ms <= 0x7FFFFFFF && bound <= capacity)
        return 1;
    return WriteSequencerCopy(reading, 0, nullptr, capacity) != 0;
}

int SequencerCopyLength(const MidiReading& reading)
{
    if (!reading.timed)
        return kNoFileLength;
    unsigned passed = 0;
    uint64_t end_ms = MidiRoundedMs(reading, reading.end_tick, &passed);
    return end_ms <= 0x7FFFFFFF ? (int)end_ms : kNoFileLength;
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
