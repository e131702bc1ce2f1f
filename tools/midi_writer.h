// A small Standard MIDI File writer (format 0), used for the demo tune and by the tests.
// Without a tempo event a file plays at 500000 us per quarter note, so with 480 ticks per
// quarter note one tick is 500/480 ms.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct MidiNote {
    int start_ticks;
    int duration_ticks;
    int channel;
    int pitch;
    int velocity;
};

// Any other event (a controller, a marker, a tempo change) as its bytes after the delta time.
// At equal ticks: order 0 before the note-offs, 1 with them, 3 after the note-ons.
struct MidiOtherEvent {
    int tick;
    int order;
    std::vector<uint8_t> bytes;
};

struct MidiSong {
    int ticks_per_quarter = 480;
    int tempo_us_per_quarter = 0; // 0: no tempo event (500000)
    std::vector<std::pair<int, int>> programs; // (channel, program) at tick 0
    std::vector<std::vector<uint8_t>> sysex;   // at tick 0, before the programs; each without its 0xF0
    std::vector<MidiNote> notes;
    std::vector<MidiOtherEvent> others;
    int end_ticks = 0; // the end of the track: at its last event, or here if later
};

inline MidiOtherEvent MidiControl(int tick, int channel, int controller, int value, int order = 0)
{
    return {tick, order, {uint8_t(0xB0 | channel), uint8_t(controller), uint8_t(value)}};
}

inline MidiOtherEvent MidiMarker(int tick, const std::string& text, int order = 0)
{
    MidiOtherEvent event = {tick, order, {0xFF, 0x06, uint8_t(text.size())}};
    event.bytes.insert(event.bytes.end(), text.begin(), text.end());
    return event;
}

inline MidiOtherEvent MidiTempo(int tick, uint32_t us_per_quarter)
{
    return {tick, 0, {0xFF, 0x51, 0x03, uint8_t(us_per_quarter >> 16), uint8_t(us_per_quarter >> 8), uint8_t(us_per_quarter)}};
}

inline void PutVarLen(std::vector<uint8_t>& out, uint32_t value)
{
    uint8_t bytes[5];
    int n = 0;
    do {
        bytes[n++] = value & 0x7F;
        value >>= 7;
    } while (value != 0);
    while (n > 1)
        out.push_back(bytes[--n] | 0x80);
    out.push_back(bytes[0]);
}

inline std::vector<uint8_t> EncodeMidi(const MidiSong& song)
{
    struct Event {
        int tick;
        int order; // note-offs before note-ons at the same tick
        std::vector<uint8_t> bytes;
    };
    std::vector<Event> events;
    if (song.tempo_us_per_quarter > 0) {
        uint32_t t = song.tempo_us_per_quarter;
        events.push_back({0, 0, {0xFF, 0x51, 0x03, uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)}});
    }
    for (const std::vector<uint8_t>& data : song.sysex) {
        std::vector<uint8_t> bytes = {0xF0};
        PutVarLen(bytes, data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
        events.push_back({0, 0, bytes});
    }
    for (auto [channel, program] : song.programs)
        events.push_back({0, 1, {uint8_t(0xC0 | channel), uint8_t(program)}});
    for (const MidiNote& n : song.notes) {
        events.push_back({n.start_ticks, 2, {uint8_t(0x90 | n.channel), uint8_t(n.pitch), uint8_t(n.velocity)}});
        events.push_back({n.start_ticks + n.duration_ticks, 1, {uint8_t(0x80 | n.channel), uint8_t(n.pitch), 0}});
    }
    for (const MidiOtherEvent& e : song.others)
        events.push_back({e.tick, e.order, e.bytes});
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });

    std::vector<uint8_t> track;
    int now = 0;
    for (const Event& e : events) {
        PutVarLen(track, e.tick - now);
        now = e.tick;
        track.insert(track.end(), e.bytes.begin(), e.bytes.end());
    }
    PutVarLen(track, song.end_ticks > now ? song.end_ticks - now : 0);
    track.insert(track.end(), {0xFF, 0x2F, 0x00});

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1,
                                 uint8_t(song.ticks_per_quarter >> 8), uint8_t(song.ticks_per_quarter)};
    uint32_t size = track.size();
    file.insert(file.end(), {'M', 'T', 'r', 'k', uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)});
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

// A scale of `count` quarters on one channel, each quarter played as `per_quarter` notes: at the
// default tempo it lasts count * 500 ms whatever the notes.
inline MidiSong ScaleSong(int count, int per_quarter = 1)
{
    MidiSong song;
    song.programs.push_back({0, 0});
    static const int kScale[] = {60, 62, 64, 65, 67, 69, 71, 72};
    int ticks = 480 / per_quarter;
    for (int i = 0; i < count * per_quarter; ++i)
        song.notes.push_back({i * ticks, ticks, 0, kScale[i % 8], 90});
    return song;
}

inline bool WriteMidiFile(const std::string& path, const MidiSong& song)
{
    std::vector<uint8_t> bytes = EncodeMidi(song);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
