// Building MIDI files byte by byte, reading them and their sequencer-ready copies, and timing
// them with an independent reader (mido_times.py): what the native tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "playback/midi_file.h"
#include "playback/sequencer_copy.h"

using Bytes = std::vector<uint8_t>;

inline Bytes& operator+=(Bytes& a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes operator+(Bytes a, const Bytes& b) { return a += b; }

inline Bytes Var(uint32_t value)
{
    Bytes out = {uint8_t(value & 0x7F)};
    while ((value >>= 7) != 0)
        out.insert(out.begin(), uint8_t(0x80 | (value & 0x7F)));
    return out;
}

inline Bytes Be(uint32_t value, int count)
{
    Bytes out;
    while (count-- > 0)
        out.push_back(uint8_t(value >> (8 * count)));
    return out;
}

inline Bytes Le32(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}; }

inline Bytes Chunk(const char* id, const Bytes& body, bool little_endian = false)
{
    return Bytes(id, id + 4) + (little_endian ? Le32(body.size()) : Be(body.size(), 4)) + body;
}

inline Bytes Smf(int format, int division, const std::vector<Bytes>& tracks, int declared = -1)
{
    Bytes file = Chunk("MThd", Be(format, 2) + Be(declared < 0 ? tracks.size() : declared, 2) + Be(division, 2));
    for (const Bytes& track : tracks)
        file += Chunk("MTrk", track);
    return file;
}

// The RIFF RMID wrapping: a chunk `before` the data chunk, word-aligned as RIFF chunks are.
inline Bytes Rmid(const Bytes& smf, const Bytes& before = {})
{
    Bytes body = Bytes{'R', 'M', 'I', 'D'} + before + Chunk("data", smf, true);
    if (smf.size() & 1)
        body.push_back(0);
    return Chunk("RIFF", body, true);
}

inline Bytes On(uint32_t delta, int key, int channel = 0) { return Var(delta) + Bytes{uint8_t(0x90 | channel), uint8_t(key), 64}; }
inline Bytes Off(uint32_t delta, int key) { return Var(delta) + Bytes{0x80, uint8_t(key), 0}; }
inline Bytes Tempo(uint32_t delta, uint32_t us) { return Var(delta) + Bytes{0xFF, 0x51, 3} + Be(us, 3); }
inline Bytes Text(uint32_t delta) { return Var(delta) + Bytes{0xFF, 0x01, 0}; }
inline Bytes End(uint32_t delta = 0) { return Var(delta) + Bytes{0xFF, 0x2F, 0}; }

// `count` tempo changes a tick apart, with a note every 64 of them.
inline Bytes TempoRun(int count)
{
    Bytes track;
    for (int i = 0; i < count; ++i)
        track += Tempo(1, 400000 + i % 7 * 50000) + (i % 64 == 0 ? On(0, 60 + i % 12) : Bytes{});
    return track + End(10);
}

inline std::unique_ptr<MidiReading> Read(const Bytes& file)
{
    auto reading = std::make_unique<MidiReading>();
    ReadMidi(file.data(), file.size(), reading.get());
    return reading;
}

inline Bytes Copy(const MidiReading& reading, uint32_t capacity = kMaxSequencerCopyBytes, int passes = 0)
{
    Bytes copy(capacity);
    copy.resize(WriteSequencerCopy(reading, passes, copy.data(), capacity));
    return copy;
}

// The copy's events in order; each one must read whole.
inline std::vector<MidiEvent> Events(const Bytes& copy)
{
    std::vector<MidiEvent> events;
    MidiTrackCursor track = {copy.data() + kSequencerCopyTrackAt, uint32_t(copy.size() - kSequencerCopyTrackAt), 0, 0, 0};
    MidiEvent event;
    while (track.at < track.size && ReadMidiEvent(&track, &event) == kEventRead)
        events.push_back(event);
    EXPECT_EQ(track.at, track.size) << "the copy's event there does not read";
    return events;
}

inline bool IsNoOp(const MidiEvent& e) { return e.status == kMidiMeta && e.meta_type == 0x01 && e.length == 0; }

struct Timing {
    double length_ms = -1;
    std::vector<double> notes_ms;
};

inline Timing Mido(const Bytes& file)
{
    char path[] = "/tmp/midi_reader_test_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, file.data(), file.size()), ssize_t(file.size()));
    close(fd);
    Timing timing;
    FILE* out = popen(("/usr/bin/python3 " MIDO_TIMES " " + std::string(path)).c_str(), "r");
    char word[16];
    double ms;
    while (fscanf(out, "%15s %lf", word, &ms) == 2)
        if (std::string(word) == "length")
            timing.length_ms = ms;
        else
            timing.notes_ms.push_back(ms);
    EXPECT_EQ(pclose(out), 0) << "mido could not read the file";
    unlink(path);
    return timing;
}
