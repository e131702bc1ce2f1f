// Loops: which marks the reader takes for a loop and which make a file play as written, and the
// unrolled copy (passes, the jump back, the fade, the plan) against answers worked out by hand
// or from mido's times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

#include "playback/sysex_setup.h"
#include "tests/native/midi_builders.h"

namespace {

Bytes Cc(uint32_t delta, int controller, int value, int channel = 0)
{
    return Var(delta) + Bytes{uint8_t(0xB0 | channel), uint8_t(controller), uint8_t(value)};
}
Bytes Marker(uint32_t delta, const std::string& text)
{
    return Var(delta) + Bytes{0xFF, 0x06, uint8_t(text.size())} + Bytes(text.begin(), text.end());
}
Bytes Program(uint32_t delta, int program) { return Var(delta) + Bytes{0xC0, uint8_t(program)}; }
Bytes Bend(uint32_t delta, int value) { return Var(delta) + Bytes{0xE0, uint8_t(value & 0x7F), uint8_t(value >> 7)}; }

// Division 500 without a tempo: a tick is a ms. Notes at 0 (intro), 1000 and 2000 (the loop's
// body, marked from 1000 to 3000 by what at_start and at_end put there, at delta 0) and 3000
// (the tail); the end at 4000.
Bytes Song(const Bytes& at_start, const Bytes& at_end, const Bytes& more_tracks = {})
{
    Bytes track = On(0, 50) + Off(500, 50) + Text(500) + at_start + On(0, 60) + Off(500, 60) + On(500, 62) + Off(500, 62) +
            Text(500) + at_end + On(0, 64) + Off(500, 64) + End(500);
    std::vector<Bytes> tracks = {track};
    if (!more_tracks.empty())
        tracks.push_back(more_tracks);
    return Smf(1, 500, tracks);
}

// The channel messages and sysex of a copy by their time.
std::map<uint32_t, std::vector<Bytes>> Played(const Bytes& copy)
{
    std::map<uint32_t, std::vector<Bytes>> played;
    for (const MidiEvent& e : Events(copy))
        if (e.status != kMidiMeta)
            played[e.tick].push_back(Bytes{e.status} + Bytes(e.data, e.data + e.length));
    return played;
}

std::vector<uint32_t> NoteOns(const Bytes& copy)
{
    std::vector<uint32_t> notes;
    for (const auto& [ms, messages] : Played(copy))
        for (const Bytes& m : messages)
            if ((m[0] & 0xF0) == 0x90 && m[2] != 0)
                notes.push_back(ms);
    return notes;
}

// The copy of the plan for `asked` passes, checked against the plan: its size and its end.
Bytes Unrolled(const MidiReading& reading, int asked, uint32_t capacity = kMaxSequencerCopyBytes)
{
    LoopPlan plan = PlanSequencerCopy(reading, asked, capacity);
    Bytes copy = Copy(reading, capacity, plan.passes);
    EXPECT_FALSE(copy.empty());
    if (plan.passes > 0 && !copy.empty()) {
        EXPECT_EQ(plan.size, copy.size());
        EXPECT_EQ((int)Events(copy).back().tick, plan.length_ms);
    }
    return copy;
}

TEST(Loop, EachConventionFound)
{
    const Bytes emidi_designation = Cc(0, 110, 1) + Cc(0, 111, 2);
    struct { const char* why; Bytes file; MidiLoopConvention convention; uint32_t start, end; int count, to_end; } cases[] = {
        {"markers", Song(Marker(0, "loopStart"), Marker(0, "loopEnd")), kMidiLoopMarkers, 1000, 3000, kLoopCountNotGiven, 0},
        {"markers in capitals with underscores, '#' and a count",
         Song(Marker(0, "LOOP_START=3"), Marker(0, "#LOOP_END")), kMidiLoopMarkers, 1000, 3000, 3, 0},
        {"a start marker alone: to the song's end", Song(Marker(0, "loopstart"), {}), kMidiLoopMarkers, 1000, 4000,
         kLoopCountNotGiven, 1},
        {"controller 111 alone: to the song's end", Song(Cc(0, 111, 0), {}), kMidiLoopController111, 1000, 4000,
         kLoopCountNotGiven, 1},
        {"controllers 110 and 111", Song(Cc(0, 110, 0), Cc(0, 111, 0)), kMidiLoopControllers110, 1000, 3000,
         kLoopCountNotGiven, 0},
        {"EMIDI per track, in both tracks, forever",
         Song(Cc(0, 116, 0), Cc(0, 117, 127), Cc(1000, 116, 0, 1) + Cc(2000, 117, 127, 1) + End()),
         kMidiLoopEmidiTrack, 1000, 3000, 0, 0},
        {"EMIDI song-wide, 4 passes, beside EMIDI's own 110 and 111",
         Song(Cc(0, 118, 4), Cc(0, 119, 127), emidi_designation + End()), kMidiLoopEmidiSong, 1000, 3000, 4, 0},
        {"markers and controller 111 that agree", Song(Marker(0, "loopStart") + Cc(0, 111, 0), Bytes{}),
         kMidiLoopMarkers, 1000, 4000, kLoopCountNotGiven, 1},
        {"nothing starts after the loop's end: it runs to the song's end",
         Smf(0, 500, {On(0, 60) + Marker(1000, "loopStart") + Off(0, 60) + Marker(2000, "loopEnd") + Cc(10, 7, 0) + End(990)}),
         kMidiLoopMarkers, 1000, 3000, kLoopCountNotGiven, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto reading = Read(c.file);
        const MidiLoop& l = reading->loop;
        EXPECT_EQ(std::make_tuple(l.convention, l.start_tick, l.end_tick, l.start_ms, l.end_ms, l.count, l.runs_to_end),
                  std::make_tuple(c.convention, c.start, c.end, int(c.start), int(c.end), c.count, c.to_end));
    }
}

TEST(Loop, AmbiguousMarksPlayAsWritten)
{
    struct { const char* why; Bytes file; } cases[] = {
        {"two starts", Song(Marker(0, "loopStart"), Marker(0, "loopStart"))},
        {"two ends", Song(Marker(0, "loopStart"), Marker(0, "loopEnd") + Marker(10, "loopEnd"))},
        {"the end before the start", Song(Marker(0, "loopEnd"), Marker(0, "loopStart"))},
        {"an end without a start", Song(Marker(0, "loopEnd"), {})},
        {"markers and controllers 110/111 that disagree", Song(Marker(0, "loopStart") + Cc(0, 110, 0), Cc(0, 111, 0))},
        {"controller 110 without 111", Song(Cc(0, 110, 0), {})},
        {"EMIDI per track at different ticks", Song(Cc(0, 116, 0), Cc(0, 117, 127), Cc(1500, 116, 0, 1) + End())},
        {"40 ms long", Song(Marker(0, "loopStart"), {}) + Bytes{}},
        {"the start at the song's end", Song({}, {}, Cc(4000, 111, 0) + End())},
        {"a damaged file", Bytes{}},
    };
    cases[7].file = Smf(0, 500, {On(0, 60) + Marker(100, "loopStart") + Marker(40, "loopEnd") + Off(1000, 60) + End()});
    Bytes damaged = Song(Marker(0, "loopStart"), Marker(0, "loopEnd"));
    cases[9].file = Smf(0, 500, {Bytes(damaged.begin() + 22, damaged.end() - 4) + Bytes{0x83}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto reading = Read(c.file);
        ASSERT_TRUE(reading->timed);
        EXPECT_EQ(reading->loop.convention, kMidiLoopNone);
        LoopPlan plan = PlanSequencerCopy(*reading, 2, kMaxSequencerCopyBytes);
        EXPECT_EQ(plan.passes, 0);
        EXPECT_EQ(plan.length_ms, reading->length_ms);
        EXPECT_EQ(Copy(*reading, kMaxSequencerCopyBytes, 2), Copy(*reading));
    }
}

TEST(Loop, PassesForFileAndUser)
{
    auto loop = [](int count) { return MidiLoop{kMidiLoopMarkers, 0, 100, 0, 100, count, 0}; };
    EXPECT_EQ(LoopPassesFor(MidiLoop{}, 2), 0);
    EXPECT_EQ(LoopPassesFor(loop(kLoopCountNotGiven), 0), 0) << "0: every file as written";
    EXPECT_EQ(LoopPassesFor(loop(5), 0), 0);
    EXPECT_EQ(LoopPassesFor(loop(kLoopCountNotGiven), 3), 3);
    EXPECT_EQ(LoopPassesFor(loop(kLoopCountNotGiven), 99), kMaxLoopPasses);
    EXPECT_EQ(LoopPassesFor(loop(5), 2), 5) << "the file's count";
    EXPECT_EQ(LoopPassesFor(loop(0), 3), 3) << "forever: the user's";
    EXPECT_EQ(LoopPassesFor(loop(127), 2), kMaxLoopPasses);
}

// Tempo changes before and inside the loop (division 96): every note at mido's time rounded,
// each pass of the body the loop's length later; the loop's length is from mido's times of
// notes at its start and at its end.
TEST(Loop, AcrossTempoChangesAsMidoTimesThem)
{
    Bytes track = Tempo(0, 612345) + On(0, 50) + Off(50, 50) + Tempo(51, 433333) + Marker(7, "loopStart") +
                  On(0, 60) + Off(33, 60) + Tempo(30, 1500000) + On(29, 61) + Off(17, 61) + Tempo(90, 250000) +
                  On(41, 62) + Off(70, 62) + Marker(19, "loopEnd") + On(0, 70) + Off(61, 70) + End(97);
    Bytes file = Smf(0, 96, {track});
    auto reading = Read(file);
    ASSERT_EQ(reading->loop.convention, kMidiLoopMarkers);
    std::vector<double> mido = Mido(file).notes_ms; // 50, 60 (start), 61, 62, 70 (end)
    ASSERT_EQ(mido.size(), 5u);
    std::vector<int> at;
    for (double ms : mido)
        at.push_back(int(std::lround(ms)));
    int body = at[4] - at[1];
    EXPECT_EQ(reading->loop.start_ms, at[1]);
    EXPECT_EQ(reading->loop.end_ms, at[4]);
    std::vector<uint32_t> expected = {uint32_t(at[0])};
    for (int pass = 0; pass < 3; ++pass)
        for (int i = 1; i <= 3; ++i)
            expected.push_back(at[i] + pass * body);
    expected.push_back(at[4] + 2 * body);
    EXPECT_EQ(NoteOns(Unrolled(*reading, 3)), expected);
}

// A note and the sustain pedal held across the loop's end, a program, controllers and the
// pitch bend changed in the loop: at each jump the notes end, the pedal is released and what
// differs from the loop's start is set back; what the file never set before the loop goes
// back to its General MIDI value where it has one.
TEST(Loop, JumpEndsNotesAndRestoresTheStart)
{
    Bytes track = Program(0, 5) + Cc(0, 10, 30) + On(500, 40) + Marker(500, "loopStart") + On(0, 60) + Program(500, 9) +
                  Cc(100, 64, 127) + On(400, 62) + Cc(100, 10, 100) + Bend(100, 10000) + Cc(0, 20, 5) +
                  Cc(0, 11, 80) + Marker(800, "loopEnd") + On(0, 64) + Off(500, 40) + End(500);
    Bytes file = Smf(0, 500, {track});
    auto reading = Read(file);
    ASSERT_EQ(reading->loop.end_tick, 3000u);
    auto at = Played(Unrolled(*reading, 3));
    const std::vector<Bytes> expected = {{0x80, 40, 0}, {0x80, 60, 0}, {0x80, 62, 0}, {0xB0, 64, 0}, {0xB0, 10, 30},
                                         {0xB0, 11, 127}, {0xC0, 5}, {0xE0, 0, 64}, {0x90, 60, 64}};
    EXPECT_EQ(at[3000], expected) << "the first jump";
    EXPECT_EQ(at[5000], expected) << "the second: the same, so that each pass adds the same bytes";
    EXPECT_EQ(at[7000], (std::vector<Bytes>{{0x90, 64, 64}})) << "the tail: no jump";
    EXPECT_EQ(at[7500], (std::vector<Bytes>{{0x80, 40, 0}}));
}

// A loop to the song's end: one pass, then one more that fades over the loop's length (2 s,
// shorter than 8 s), the file's own volume change in it (to 50 at 4000 ms, halfway) scaled.
TEST(Loop, LastPassFadesOutWithTheFilesOwnVolume)
{
    Bytes track = Cc(0, 7, 100) + On(0, 50) + On(0, 51, 3) + Cc(1000, 111, 0) + On(0, 60) + Off(500, 60) + Cc(500, 7, 50) +
                  On(0, 62) + End(1000);
    Bytes file = Smf(0, 500, {track});
    auto reading = Read(file);
    ASSERT_EQ(reading->loop.convention, kMidiLoopController111);
    Bytes copy = Unrolled(*reading, 1);
    EXPECT_EQ(PlanSequencerCopy(*reading, 1, kMaxSequencerCopyBytes).length_ms, 5000);
    std::map<int, std::vector<std::pair<uint32_t, int>>> volume; // by channel, up to the sound cut
    std::set<int> cut;
    auto played = Played(copy);
    for (const auto& [ms, messages] : played)
        for (const Bytes& m : messages) {
            EXPECT_FALSE((m[0] & 0xF0) == 0xB0 && m[1] == 111) << "a loop mark sent";
            if ((m[0] & 0xF0) == 0xB0 && m[1] == 120)
                cut.insert(m[0] & 0x0F);
            if ((m[0] & 0xF0) == 0xB0 && m[1] == 7 && ms >= 3000 && !cut.count(m[0] & 0x0F))
                volume[m[0] & 0x0F].push_back({ms, m[2]});
        }
    ASSERT_EQ(volume.size(), 2u) << "the two channels played";
    for (auto& [channel, steps] : volume) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(steps.back(), std::make_pair(5000u, 0));
        for (size_t i = 1; i < steps.size(); ++i)
            EXPECT_LE(steps[i].second, steps[i - 1].second) << "at " << steps[i].first;
    }
    // Channel 0: set back to 100 at the jump, falling by 5 every 100 ms, then the file's 50 at
    // half volume.
    EXPECT_EQ(volume[0][0], std::make_pair(3000u, 100));
    EXPECT_EQ(volume[0][1], std::make_pair(3100u, 95));
    auto file_own = std::find(volume[0].begin(), volume[0].end(), std::make_pair(4000u, 25));
    ASSERT_NE(file_own, volume[0].end());
    EXPECT_EQ(file_own[1], std::make_pair(4100u, 23));
    EXPECT_EQ(volume[3][0], std::make_pair(3100u, 95)) << "a channel that never set its volume: from 100";
    // The fading pass's notes are played, and none sounds at the end.
    EXPECT_EQ(NoteOns(copy), (std::vector<uint32_t>{0, 0, 1000, 2000, 3000, 4000}));
    EXPECT_EQ(played.rbegin()->first, 5000u);
    // The sound cut and each channel's own volume given back, for whatever plays next.
    EXPECT_EQ(played.rbegin()->second, (std::vector<Bytes>{{0xB0, 7, 0}, {0xB3, 7, 0}, {0x80, 62, 0}, {0xB0, 120, 0},
                                                           {0xB0, 7, 50}, {0xB3, 120, 0}, {0xB3, 7, 100}}));
}

// Forever, and longer than 8 s: the fade is 8 s; the tail is never played.
TEST(Loop, ForeverFadesOverEightSeconds)
{
    Bytes file = Smf(0, 500, {Cc(0, 116, 0) + On(0, 60) + Off(9000, 60) + Cc(1000, 117, 127) + On(0, 70) + End(500)});
    auto reading = Read(file);
    ASSERT_EQ(reading->loop.count, 0);
    ASSERT_EQ(reading->loop.runs_to_end, 0);
    LoopPlan plan = PlanSequencerCopy(*reading, 2, kMaxSequencerCopyBytes);
    EXPECT_EQ(plan.passes, 2);
    EXPECT_EQ(plan.length_ms, 2 * 10000 + kLoopFadeMs);
    EXPECT_EQ(NoteOns(Unrolled(*reading, 2)), (std::vector<uint32_t>{0, 10000, 20000}));
}

// Fewer passes where the asked ones would not fit, down to one; as written where not even
// one does; the plan's size is the copy's.
TEST(Loop, PassesKeepToTheBound)
{
    Bytes file = Song(Marker(0, "loopStart"), Marker(0, "loopEnd"));
    auto reading = Read(file);
    LoopPlan two = PlanSequencerCopy(*reading, 2, kMaxSequencerCopyBytes),
             three = PlanSequencerCopy(*reading, 3, kMaxSequencerCopyBytes);
    ASSERT_EQ(three.passes, 3);
    EXPECT_EQ(three.length_ms, 4000 + 2 * 2000);
    EXPECT_EQ(PlanSequencerCopy(*reading, 3, three.size - 1).passes, 2);
    EXPECT_EQ(PlanSequencerCopy(*reading, 3, three.size - 1).size, two.size);
    uint32_t one = PlanSequencerCopy(*reading, 1, kMaxSequencerCopyBytes).size;
    EXPECT_EQ(PlanSequencerCopy(*reading, 16, one).passes, 1);
    LoopPlan none = PlanSequencerCopy(*reading, 2, one - 1);
    EXPECT_EQ(none.passes, 0);
    EXPECT_EQ(none.length_ms, 4000);
    Unrolled(*reading, 3, three.size);
}

// The files without marks: their copies byte for byte as the writer gave them before loops
// (size and FNV-1a hash), whatever is asked.
TEST(Loop, FilesWithoutMarksCopiedAsBefore)
{
    const std::map<std::string, std::pair<size_t, uint64_t>> before = {
        {"5432gone_redfarn.mid", {24027, 0xde7fada80c2f9cc7}}, {"bach-prelude-c-major-bwv846.mid", {72199, 0x37e3de6d429c819e}},
        {"chuggachugga.mid", {32455, 0x9488b3246c636b6c}},     {"coconut_run2.mid", {22140, 0xfc3c7e5ec274ff8d}},
        {"fanfare.mid", {525, 0x2c961d4499d31049}},            {"fur-elise.mid", {43923, 0x47a3dc71508e5322}},
        {"gs-setup-song.mid", {14008, 0x72a17b081e8b3bdd}},    {"midnight_snow_run.mid", {48794, 0x22542ccf95974400}},
        {"peacherine-rag.mid", {39105, 0x39f84ae9e089b65a}},   {"satie-gymnopedie-no1.mid", {30801, 0xb06c83ede00f7032}},
        {"ttsong_iii_imuh3.mid", {29749, 0x4abd42fdbd8bcf1e}},
    };
    for (const auto& [name, expected] : before) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(MIDI_DATA) + "/" + name, std::ios::binary);
        Bytes file(std::istreambuf_iterator<char>(in), {});
        auto reading = Read(file);
        EXPECT_EQ(reading->loop.convention, kMidiLoopNone);
        Bytes copy = Unrolled(*reading, 2);
        uint64_t hash = 1469598103934665603ull;
        for (uint8_t byte : copy)
            hash = (hash ^ byte) * 1099511628211ull;
        EXPECT_EQ(std::make_pair(copy.size(), hash), expected);
    }
}

// The sysex set-up at a point of the second pass is what the unrolled piece sent before it:
// the loop's own message, though the tail's (30) comes before that point in the file's time.
TEST(Loop, SysexSetupFollowsThePasses)
{
    auto volume = [](uint8_t v) { return Var(0) + Bytes{0xF0, 7, 0x7F, 0x7F, 0x04, 0x01, 0x00, v, 0xF7}; };
    Bytes copy = Unrolled(*Read(Song(volume(20) + Marker(0, "loopStart"), volume(30) + Marker(0, "loopEnd"))), 2);
    auto setup = [&](int ms) {
        SysexSetup found;
        CollectSysexSetup(copy.data(), (uint32_t)copy.size(), ms, &found);
        return found.count == 1 ? found.data[0][5] : -1;
    };
    EXPECT_EQ(setup(1500), 20);
    EXPECT_EQ(setup(3500), 20) << "the second pass";
    EXPECT_EQ(setup(5500), 30) << "the tail";
}

} // namespace
