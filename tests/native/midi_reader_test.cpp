// The MIDI reader and the sequencer-ready copy, natively: damaged files against answers worked
// out from the file format, good files against an independent reader (mido_times.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "playback/midi_file.h"
#include "playback/sequencer_copy.h"
#include "playback/sysex_setup.h"

#include "tests/native/midi_builders.h"

namespace {

// The reading's length is mido's cut to whole ms; the copy holds every note-on at mido's time
// rounded, and ends at the length rounded.
void ExpectAsMido(const Bytes& file)
{
    Timing mido = Mido(file);
    auto reading = Read(file);
    ASSERT_EQ(reading->verdict, 1);
    ASSERT_EQ(reading->timed, 1);
    EXPECT_NEAR(reading->length_ms + 0.5, mido.length_ms, 0.5 + 1e-3);
    Bytes copy = Copy(*reading);
    ASSERT_FALSE(copy.empty());
    std::vector<double> notes;
    for (const MidiEvent& e : Events(copy))
        if ((e.status & 0xF0) == 0x90 && e.data[1] != 0)
            notes.push_back(e.tick);
    ASSERT_EQ(notes.size(), mido.notes_ms.size());
    for (size_t i = 0; i < notes.size(); ++i)
        ASSERT_LE(std::fabs(notes[i] - mido.notes_ms[i]), 0.5 + 1e-3) << "note " << i;
    EXPECT_LE(std::fabs(Events(copy).back().tick - mido.length_ms), 0.5 + 1e-3);
}

TEST(MidiReader, DamagedAndRefusedFiles)
{
    // Division 96 without a tempo: 96 ticks are 500 ms. Division 1000: a tick is half a ms.
    const Bytes note = On(0, 60) + Off(96, 60);
    Bytes far;
    for (int i = 0; i < 8; ++i)
        far += Text(0x0FFFFFFF); // 8 * (2^28 - 1) = 2^31 - 8
    const Bytes good = Smf(0, 96, {note + End()}), riff = Rmid(good);
    struct { const char* why; Bytes file; int verdict, length_ms, timed; uint32_t end_tick; } cases[] = {
        {"a delta cut at the track's end: damaged, the note before it still read",
         Smf(0, 96, {note + Bytes{0x83}}), 1, kNoFileLength, 1, 96},
        {"four continuation bytes at the track's end: cut short, not too long",
         Smf(0, 96, {note + Bytes{0x81, 0x81, 0x81, 0x81}}), 1, kNoFileLength, 1, 96},
        {"a five-byte delta, which Wine reads as hours: refused",
         Smf(0, 96, {note + Bytes{0x81, 0x80, 0x80, 0x80, 0x00, 0x80, 60, 0} + End()}), 0, kNoFileLength, 0, 0},
        {"a five-byte sysex length in a later track refuses the whole file",
         Smf(1, 96, {note + End(), Bytes{0, 0xF0, 0x81, 0x80, 0x80, 0x80, 0x00} + End()}), 0, kNoFileLength, 0, 0},
        {"a tick reaching 2^31: damaged there", Smf(0, 1000, {far + On(8, 60)}), 1, kNoFileLength, 1, 0x7FFFFFF8},
        {"a tick of 2^31 - 1 still times: (2^31 - 1) / 2 ms, cut", Smf(0, 1000, {far + End(7)}), 1, 1073741823, 1,
         0x7FFFFFFF},
        {"a sysex length past the track: damaged", Smf(0, 96, {note + Bytes{0x10, 0xF0, 0x05, 0x7E, 0x7F}}), 1,
         kNoFileLength, 1, 96},
        {"a meta length past the track: damaged", Smf(0, 96, {note + Bytes{0x10, 0xFF, 0x01, 0x10, 'a'}}), 1,
         kNoFileLength, 1, 96},
        {"a data byte with no status before it: damaged", Smf(0, 96, {Bytes{0, 60, 64} + End()}), 1, kNoFileLength,
         1, 0},
        {"two tracks declared, one track and a chunk of another kind there: refused",
         Smf(1, 96, {note + End()}, 2) + Chunk("XFIH", {1, 2}), 0, kNoFileLength, 0, 0},
        {"a track chunk longer than the file: refused", Bytes(good.begin(), good.end() - 1), 0, kNoFileLength, 0, 0},
        {"a header chunk longer than the file: refused", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 7, 0, 0, 0, 0, 0, 96}, 0,
         kNoFileLength, 0, 0},
        {"bytes after the declared tracks are never read", good + Chunk("MTrk", {0x81, 0x80, 0x80, 0x80, 0}) + Bytes{1},
         1, 500, 1, 96},
        {"a division in SMPTE frames: the device times it", Smf(0, 0xE728, {note + End()}), 1, kNoFileLength, 0, 0},
        {"4097 tempo changes: the device times it", Smf(0, 96, {TempoRun(4097)}), 1, kNoFileLength, 0, 0},
        {"no MIDI file: the sequencer judges", Bytes{'h', 'e', 'l', 'l', 'o'}, 1, kNoFileLength, 0, 0},
        {"nothing at all", Bytes{}, 1, kNoFileLength, 0, 0},
        {"RIFF RMID whose data chunk runs past the file: refused", Bytes(riff.begin(), riff.end() - 2), 0,
         kNoFileLength, 0, 0},
        {"RIFF RMID, a chunk before its data past the file: the sequencer judges",
         Bytes{'R', 'I', 'F', 'F'} + Le32(100) + Bytes{'R', 'M', 'I', 'D', 'L', 'I', 'S', 'T'} + Le32(200) + Bytes{1, 2},
         1, kNoFileLength, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto reading = Read(c.file);
        EXPECT_EQ(reading->verdict, c.verdict);
        EXPECT_EQ(reading->length_ms, c.length_ms);
        EXPECT_EQ(reading->timed, c.timed);
        EXPECT_EQ(reading->end_tick, c.end_tick);
    }
}

// What Wine's sequencer opens as it is: only a plain Standard MIDI File it can read as ticks,
// whose tracks come one after another, as many as it reads.
TEST(MidiReader, WhatWinesSequencerOpens)
{
    const Bytes track = On(0, 60) + Off(96, 60) + End();
    const Bytes good = Smf(1, 96, {track, track});
    Bytes short_header = Smf(0, 96, {track});
    short_header[7] = 5;
    short_header.erase(short_header.begin() + 13);
    const struct { const char* why; Bytes file; int opens; } cases[] = {
        {"format 1, two tracks", good, 1},
        {"bytes after the tracks", good + Bytes{'x', 'y'}, 1},
        {"format 0 reads one track, whatever it declares", Smf(0, 96, {track}, 3), 1},
        {"format 0 declaring no track and holding none: it reads one", Smf(0, 96, {}, 0), 0},
        {"format 2", Smf(2, 96, {track}), 1},
        {"format 3", Smf(3, 96, {track}), 0},
        {"division 0", Smf(0, 0, {track}), 0},
        {"division 0x8000, taken as ticks", Smf(0, 0x8000, {track}), 1},
        {"a division in SMPTE frames", Smf(0, 0xE728, {track}), 0},
        {"a header of five bytes", short_header, 0},
        {"a chunk of another kind before a track", Chunk("MThd", Be(1, 2) + Be(2, 2) + Be(96, 2)) +
                                                       Chunk("XFIH", {1}) + Chunk("MTrk", track) + Chunk("MTrk", track), 0},
        {"a track past the file", Bytes(good.begin(), good.end() - 1), 0},
        {"RIFF RMID", Rmid(good), 0},
        {"no MIDI file", Bytes{'h', 'e', 'l', 'l', 'o'}, 0},
        {"a bare MThd", Bytes{'M', 'T', 'h', 'd'}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WineSequencerOpens(c.file.data(), c.file.size()), c.opens) << c.why;
    EXPECT_EQ(WineSequencerOpens(nullptr, 0), 0);
}

// Running status outlives a meta event (mido reads it so too) and a sysex (mido would take the
// data byte for another sysex, so the answer is the format's: the channel status in force).
TEST(MidiReader, RunningStatusAfterMetaAndSysex)
{
    ExpectAsMido(Smf(0, 96, {On(0, 60) + Var(100) + Bytes{0xFF, 0x01, 2, 'h', 'i', 0, 60, 0, 0, 62, 64} + End(96)}));

    // Division 500 without a tempo: a tick is a ms.
    Bytes file = Smf(0, 500, {On(0, 60) + Var(10) + Bytes{0xF0, 2, 0x7E, 0xF7, 10, 62, 64} + End()});
    auto reading = Read(file);
    MidiTrackCursor track = reading->tracks[0];
    MidiEvent e[3];
    for (MidiEvent& event : e)
        ASSERT_EQ(ReadMidiEvent(&track, &event), kEventRead);
    EXPECT_EQ(e[1].status, kMidiSysEx);
    EXPECT_EQ(e[2].status, 0x90);
    EXPECT_EQ(e[2].tick, 20u);
    EXPECT_EQ(Bytes(e[2].data, e[2].data + e[2].length), (Bytes{62, 64}));
    EXPECT_EQ(reading->length_ms, 20);
}

TEST(MidiReader, TimesAsMidoDoes)
{
    struct { const char* why; Bytes file; } cases[] = {
        {"format 0, tempo changes between notes at odd ticks",
         Smf(0, 96, {Tempo(0, 612345) + On(0, 60) + Off(50, 60) + Tempo(51, 433333) + On(7, 62) + Off(300, 62) +
                     Tempo(1, 1500000) + On(33, 64) + End(97)})},
        {"format 1, tempo changes in several tracks, two at tick 0 (the later track's in force)",
         Smf(1, 96, {Tempo(0, 800000) + Tempo(101, 433333) + End(), Tempo(0, 400000) + On(0, 60) + Off(150, 60) +
                     Tempo(227, 1500000) + On(1, 61) + End(),
                     On(5, 40, 1) + On(400, 41, 1) + Tempo(3, 250000) + On(100, 42, 1) + End(1111)})},
        {"format 2, the tracks one after another with the tempo carried over",
         Smf(2, 480, {Tempo(0, 1000000) + On(0, 60) + Off(480, 60) + End(240), On(0, 62) + Off(480, 62) + End(),
                      Tempo(0, 300000) + On(17, 64) + End(960)})},
        {"exactly 4096 tempo changes still timed", Smf(0, 96, {TempoRun(4096)})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ExpectAsMido(c.file);
    }
}

TEST(MidiReader, RealFilesAsMidoReadsThem)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MIDI_DATA)) {
        if (entry.path().extension() != ".mid")
            continue;
        SCOPED_TRACE(entry.path().filename());
        std::ifstream in(entry.path(), std::ios::binary);
        ExpectAsMido(Bytes(std::istreambuf_iterator<char>(in), {}));
        ++files;
    }
    EXPECT_GE(files, 10);
}

// Of odd length after a chunk of odd length, so that both are padded to a word.
TEST(MidiReader, RiffRmidReadsAsTheFileItWraps)
{
    Bytes smf = Smf(1, 96, {Tempo(0, 700000) + On(0, 60) + Off(96, 60) + End(), Bytes{0, 0xFF, 0x01, 1, 'a', 0, 0xC2, 5, 48, 0x92, 50, 64} + End()});
    ASSERT_EQ(smf.size() & 1, 1u);
    Bytes riff = Rmid(smf, Chunk("LIST", {'I', 'N', 'F'}, true) + Bytes{0});
    auto plain = Read(smf), wrapped = Read(riff);
    EXPECT_EQ(wrapped->verdict, 1);
    EXPECT_EQ(wrapped->timed, 1);
    EXPECT_EQ(wrapped->length_ms, plain->length_ms);
    EXPECT_EQ(plain->length_ms, 700); // 96 ticks, a quarter at 700000 us
    EXPECT_EQ(Copy(*wrapped), Copy(*plain));
}

// us times ticks per quarter, asked for in any order with one count of tempo changes passed.
TEST(MidiReader, TimeAtGoesBackAndForth)
{
    auto reading = Read(Smf(0, 1, {Tempo(10, 1000000) + Tempo(10, 250000) + End(10)}));
    struct { uint32_t tick; uint64_t time; } asks[] = {{25, 10 * 500000 + 10 * 1000000 + 5 * 250000}, {5, 5 * 500000}, {15, 10 * 500000 + 5 * 1000000},
                {30, 10 * 500000 + 10 * 1000000 + 10 * 250000}, {0, 0}, {20, 10 * 500000 + 10 * 1000000}};
    unsigned passed = 0;
    for (auto ask : asks)
        EXPECT_EQ(MidiTimeAt(*reading, ask.tick, &passed), ask.time) << "tick " << ask.tick;
}

// Division 500 without a tempo, so that a tick is a ms. Two tracks: at equal ticks the earlier
// track's events first; meta events left out, sysex kept.
TEST(SequencerCopy, OneTrackInMsWithNoOpsAhead)
{
    Bytes file = Smf(1, 500, {On(0, 60) + Var(5) + Bytes{0xFF, 0x03, 1, 'x', 0, 0xF0, 2, 0x7E, 0xF7} + Off(42, 60) + End(),
                              On(5, 50, 2) + Var(0) + Bytes{0xC2, 7} + On(125, 51, 2) + End(70)});
    auto reading = Read(file);
    Bytes copy = Copy(*reading);
    ASSERT_GT(copy.size(), kSequencerCopyTrackAt);
    Bytes header = Smf(0, 500, {Bytes(copy.size() - kSequencerCopyTrackAt)});
    EXPECT_EQ(Bytes(copy.begin(), copy.begin() + kSequencerCopyTrackAt), Bytes(header.begin(), header.begin() + 22));

    std::vector<MidiEvent> events = Events(copy);
    ASSERT_GE(events.size(), 3u);
    EXPECT_TRUE(IsNoOp(events[0]));
    EXPECT_EQ(events[1].meta_type, kMidiMetaTempo);
    EXPECT_EQ(Bytes(events[1].data, events[1].data + events[1].length), (Bytes{0x07, 0xA1, 0x20}));
    EXPECT_EQ(events.back().meta_type, kMidiMetaEndOfTrack);
    EXPECT_EQ(events.back().tick, 200u);
    std::vector<std::pair<uint32_t, Bytes>> played, expected = {
        {0, {0x90, 60, 64}}, {5, {0xF0, 0x7E, 0xF7}}, {5, {0x92, 50, 64}}, {5, {0xC2, 7}},
        {47, {0x80, 60, 0}}, {130, {0x92, 51, 64}}};
    const MidiEvent* first = &events[0]; // the first event at the tick reached
    for (size_t i = 1; i < events.size(); ++i) {
        const MidiEvent& e = events[i];
        ASSERT_LE(e.tick - events[i - 1].tick, 20u) << "a wake-up at least every 20 ms";
        first = e.tick == first->tick ? first : &e;
        if (e.status != kMidiMeta) {
            EXPECT_TRUE(IsNoOp(*first)) << "no empty text event first at " << e.tick;
            played.push_back({e.tick, Bytes{e.status} + Bytes(e.data, e.data + e.length)});
        } else if (i > 1 && i + 1 < events.size()) {
            EXPECT_TRUE(IsNoOp(e)) << "a meta event left in at " << e.tick;
        }
    }
    EXPECT_EQ(played, expected);
}

TEST(SequencerCopy, RefusedWhenItWouldNotFit)
{
    Bytes file = Smf(0, 96, {TempoRun(300)});
    auto reading = Read(file);
    Bytes whole = Copy(*reading);
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(Copy(*reading, whole.size()), whole);
    EXPECT_TRUE(Copy(*reading, whole.size() - 1).empty());
    EXPECT_TRUE(Copy(*reading, kSequencerCopyTrackAt).empty());
    // Its fit found without writing it: from the bound, and counted where the bound is too much.
    EXPECT_TRUE(SequencerCopyFits(*reading, kMaxSequencerCopyBytes));
    EXPECT_TRUE(SequencerCopyFits(*reading, whole.size()));
    EXPECT_FALSE(SequencerCopyFits(*reading, whole.size() - 1));
    EXPECT_EQ(WriteSequencerCopy(*reading, 0, nullptr, whole.size()), whole.size());
    EXPECT_EQ(SequencerCopyLength(*reading), Read(whole)->length_ms);

    // 2^28 ticks at 96 a quarter, 500000 us each: 16 days of wake-ups, refused unwritten.
    auto days = Read(Smf(0, 96, {On(0, 60) + Off(0x0FFFFFFF, 60) + End()}));
    EXPECT_TRUE(Copy(*days).empty());
    EXPECT_FALSE(SequencerCopyFits(*days, kMaxSequencerCopyBytes));
    // 2^32 + 100 ms (4 ms a tick): as long, though its ms taken in 32 bits would be 100.
    Bytes far = On(0, 60);
    for (int i = 0; i < 4; ++i)
        far += Text(0x0FFFFFFF);
    EXPECT_TRUE(Copy(*Read(Smf(0, 1000, {Tempo(0, 4000000) + far + Off(29, 60) + End()}))).empty());
}

// Events at 0, 100 and 105 ms, the end at 200: wake-ups at 20, 40, 60, 80 and 125, 145,
// 165, 185. Wine's sequencer told to play from ms starts at the next of them.
TEST(SequencerCopy, StartAtTheNextEvent)
{
    Bytes copy = Copy(*Read(Smf(0, 500, {On(0, 60) + Off(100, 60) + On(5, 62) + End(95)})));
    struct { int ms, start; } cases[] = {{-5, -5}, {0, 0},     {1, 20},     {20, 20},    {99, 100},   {100, 100},
                 {101, 105}, {106, 125}, {186, 200}, {200, 200}, {201, 201}};
    for (auto c : cases)
        EXPECT_EQ(SequencerCopyStartAt(copy.data(), copy.size(), c.ms), c.start) << "from " << c.ms;
    EXPECT_EQ(SequencerCopyStartAt(nullptr, 0, 50), 50);
}

} // namespace

// The sysex set-up at a point: the last of each kind before it in their order, a reset
// replacing what came before, then what comes from the point to the first note, a sweep there
// being its last value; within the bounds.
Bytes Sysex(uint32_t delta, const Bytes& data) { return Var(delta) + Bytes{0xF0} + Var((uint32_t)data.size()) + data; }

std::vector<Bytes> SetupAt(const Bytes& file, int ms)
{
    auto reading = Read(file);
    Bytes copy = Copy(*reading);
    SysexSetup setup;
    CollectSysexSetup(copy.data(), (uint32_t)copy.size(), ms, &setup);
    std::vector<Bytes> out;
    for (unsigned i = 0; i < setup.count; ++i)
        out.push_back(Bytes(setup.data[i], setup.data[i] + setup.length[i]));
    return out;
}

TEST(SysexSetup, LastOfEachKindAfterTheLastReset)
{
    const Bytes gm = {0x7E, 0x7F, 0x09, 0x01, 0xF7}, gs = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    auto volume = [](uint8_t v) { return Bytes{0x7F, 0x7F, 0x04, 0x01, 0x00, v, 0xF7}; };
    auto drums = [](uint8_t part, uint8_t on) { return Bytes{0x41, 0x10, 0x42, 0x12, 0x40, part, 0x15, on, 0x00, 0xF7}; };
    // At 500 ticks a quarter and 120 bpm one tick is one ms.
    Bytes track = Sysex(0, gm) + Sysex(10, volume(10)) + Sysex(10, gs) + Sysex(10, drums(0x11, 1)) +
                  Sysex(10, volume(20)) + Sysex(10, drums(0x12, 1)) + Sysex(10, drums(0x11, 0)) + On(100, 60) +
                  Off(100, 60) + Sysex(100, volume(30)) + Sysex(10, volume(40)) + On(100, 62) + Off(100, 62) + End();
    Bytes file = Smf(0, 500, {track});
    EXPECT_EQ(SetupAt(file, 0), (std::vector<Bytes>{gm, gs, volume(20), drums(0x12, 1), drums(0x11, 0)}))
        << "from the start: the reset clears nothing, a later message of a kind replaces the earlier";
    EXPECT_EQ(SetupAt(file, 100), (std::vector<Bytes>{gs, volume(20), drums(0x12, 1), drums(0x11, 0)}));
    EXPECT_EQ(SetupAt(file, 350), (std::vector<Bytes>{gs, drums(0x12, 1), drums(0x11, 0), volume(40)}))
        << "a sweep between the point and the next note is its last value";
    EXPECT_EQ(SetupAt(file, 700), (std::vector<Bytes>{gs, drums(0x12, 1), drums(0x11, 0), volume(40)}));
    EXPECT_TRUE(SetupAt(Smf(0, 500, {On(0, 60) + Off(10, 60) + End()}), 0).empty());

    // Distinct messages past the bounds are left out, never written past them.
    Bytes many;
    for (int i = 0; i < 40; ++i)
        many += Sysex(1, Bytes{0x7D, uint8_t(i), 0xF7});
    std::vector<Bytes> kept = SetupAt(Smf(0, 500, {many + On(1, 60) + Off(10, 60) + End()}), 0);
    EXPECT_EQ(kept.size(), (size_t)kMaxSetupMessages);
    Bytes big(kMaxSetupBytes - 10, 0x01);
    big.back() = 0xF7;
    kept = SetupAt(Smf(0, 500, {Sysex(0, Bytes{0x7D, 0x01} + big) + Sysex(1, Bytes{0x7D, 0x02} + big) + On(1, 60) +
                                Off(10, 60) + End()}), 0);
    EXPECT_EQ(kept.size(), 1u);
}
