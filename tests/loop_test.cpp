// Loop marks heard through the plug-in: the songs of tools/loop_songs.h (written at build time
// into loops\ beside this program), one per convention, played on Wine's sequencer to the
// logging MIDI output driver (synth/, MIDI_LOG_FILE) as music_test plays its files. What each
// must sound like is worked out here from the song's own definition, apart from the plug-in's
// code: the intro, each pass of the loop body one body later than the last, then the tail, or
// for a loop that runs to the song's end or forever one more pass that fades out.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "playback/midi_file.h"
#include "playback/sequencer_copy.h"
#include "synth/log_reader.h"
#include "tools/loop_songs.h"

using heard::Line;
using heard::NowUs;
using rig::PluginTest;

namespace {

using Notes = std::vector<std::pair<double, int>>; // (ms, key), in time order

// The ms of a tick through the song's own tempo events (500000 us a quarter until the first).
double MsAt(const MidiSong& song, int tick)
{
    std::vector<std::pair<int, double>> tempo = {{0, 500000}};
    for (const MidiOtherEvent& e : song.others)
        if (e.bytes.size() == 6 && e.bytes[0] == 0xFF && e.bytes[1] == 0x51)
            tempo.push_back({e.tick, double(e.bytes[3] << 16 | e.bytes[4] << 8 | e.bytes[5])});
    std::stable_sort(tempo.begin(), tempo.end(), [](auto& a, auto& b) { return a.first < b.first; });
    double ms = 0;
    for (size_t i = 0; i < tempo.size() && tempo[i].first < tick; ++i) {
        int to = i + 1 < tempo.size() ? std::min(tempo[i + 1].first, tick) : tick;
        ms += (to - tempo[i].first) * tempo[i].second / 1000.0 / song.ticks_per_quarter;
    }
    return ms;
}

// A convention's song (each loops from kLoopStart to kLoopEnd): the passes at the default
// setting, and whether its last pass fades out (a loop to the song's end, or marked forever).
struct Case {
    const char* file;
    MidiLoopConvention convention;
    int passes;
    bool fades;
};

const Case kCases[] = {{"markers.mid", kMidiLoopMarkers, 2, false},
                       {"controller111.mid", kMidiLoopController111, 2, true},
                       {"controllers110.mid", kMidiLoopControllers110, 2, false},
                       {"emidi_track.mid", kMidiLoopEmidiTrack, 2, true},
                       {"emidi_song.mid", kMidiLoopEmidiSong, 3, false}};

MidiSong SongOf(const std::string& file)
{
    for (const loop_songs::Song& s : loop_songs::All())
        if (s.name == file)
            return s.song;
    ADD_FAILURE() << "no song " << file;
    return {};
}

// What the unrolled piece must sound like.
struct Unrolled {
    Notes notes;
    double start = 0, body = 0;
    int length = 0;
};

Unrolled Unroll(const Case& c)
{
    MidiSong song = SongOf(c.file);
    Unrolled u;
    u.start = MsAt(song, loop_songs::kLoopStart);
    double end = MsAt(song, loop_songs::kLoopEnd);
    u.body = end - u.start;
    double fade = std::min(8000.0, u.body);
    for (const MidiNote& n : song.notes) {
        double at = MsAt(song, n.start_ticks);
        if (at < u.start) {
            u.notes.push_back({at, n.pitch});
        } else if (at < end) {
            for (int p = 0; p < c.passes; ++p)
                u.notes.push_back({at + p * u.body, n.pitch});
            if (c.fades && at - u.start < fade)
                u.notes.push_back({at + c.passes * u.body, n.pitch});
        } else if (!c.fades) {
            u.notes.push_back({at + (c.passes - 1) * u.body, n.pitch});
        }
    }
    std::stable_sort(u.notes.begin(), u.notes.end(), [](auto& a, auto& b) { return a.first < b.first; });
    double fade_from = u.start + c.passes * u.body;
    u.length = (int)std::lround(c.fades ? fade_from + fade : MsAt(song, song.end_ticks) + (c.passes - 1) * u.body);
    return u;
}

int Channel(const Line& l) { return l.first & 0x0F; }
int Value(const Line& l) { return l.first >> 16 & 0x7F; }
bool IsControl(const Line& l, int controller) { return heard::IsChannelMessage(l, 0xB0) && heard::Key(l) == controller; }

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The plug-in's own reading of a file (pure code, as the plug-in has it), and the copy it must
// hand the sequencer for `passes` (0: as written).
struct Read {
    std::string bytes;
    std::unique_ptr<MidiReading> midi = std::make_unique<MidiReading>();
    explicit Read(const std::string& path) : bytes(FileBytes(path))
    {
        ReadMidi((const uint8_t*)bytes.data(), (uint32_t)bytes.size(), midi.get());
    }
    std::string Copy(int passes) const
    {
        std::string out(kMaxSequencerCopyBytes, '\0');
        out.resize(WriteSequencerCopy(*midi, passes, (uint8_t*)&out[0], (uint32_t)out.size()));
        return out;
    }
};

// What Wine's sequencer is reading now: the memory file the plug-in lends it, opened here
// through the I/O procedure the plug-in installed in this process.
std::string LentCopy()
{
    HMMIO file = mmioOpenA((LPSTR) "playing.TQSP+", nullptr, MMIO_READ);
    if (file == nullptr)
        return "";
    std::string bytes(kMaxSequencerCopyBytes, '\0');
    LONG got = mmioRead(file, &bytes[0], (LONG)bytes.size());
    mmioClose(file, 0);
    bytes.resize(got > 0 ? got : 0);
    return bytes;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// At least `min_due` notes due, every one heard and none added; when `in_time`, in time with
// the clock: nine notes in ten within 40 ms of the median offset, none past 150 ms (a machine
// shared with other work delays a note now and then). The median itself is the sequencer's lag
// at its start, 3-130 ms after Play (docs/wine-sequencer.md): within 150 ms.
void ExpectHeard(const heard::Timing& t, const std::string& what, int min_due, bool in_time = true)
{
    printf("%s: %d notes due, %d lost, %d added; offset against the clock: median %+.1f ms, farthest from it "
           "%.1f ms\n",
           what.c_str(), t.due, t.lost, t.added, t.median, t.worst);
    EXPECT_GE(t.due, min_due) << what;
    EXPECT_EQ(t.lost, 0) << what;
    EXPECT_EQ(t.added, 0) << what;
    if (!in_time)
        return;
    std::vector<double> distances;
    for (double o : t.offsets)
        distances.push_back(std::fabs(o - t.median));
    std::sort(distances.begin(), distances.end());
    ASSERT_FALSE(distances.empty()) << what;
    EXPECT_LE(distances[distances.size() * 9 / 10], 40) << what;
    EXPECT_LE(t.worst, 150) << what;
    EXPECT_LE(std::fabs(t.median), 150) << what;
}

class LoopTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        log_ = Folder() + "heard.log";
        SetEnvironmentVariableA("MIDI_LOG_FILE", log_.c_str());
        loops_ = (int*)rig::PluginVariable(dll, "config_loops");
        ASSERT_NE(loops_, nullptr) << "no config_loops in the link map";
    }
    void TearDown() override
    {
        PluginTest::TearDown();
        SetEnvironmentVariableA("MIDI_LOG_FILE", nullptr);
    }
    // When the plug-in's clock was at 0, from a reading of it: Play starts the clock before it
    // starts the capture, which can take a while on a busy machine.
    LONGLONG ClockZero() { return NowUs() - mod->GetPosition() * 1000LL; }
    int InfoLength(const std::string& path)
    {
        int ms = 0;
        mod->GetFileInfo(path.c_str(), nullptr, &ms);
        return ms;
    }
    static std::string Song(const char* file) { return rig::ProgramFolder() + "loops\\" + file; }
    std::vector<Line> Heard() { return heard::Read(log_); }

    std::string log_;
    int* loops_ = nullptr;
};

class Convention : public LoopTest, public ::testing::WithParamInterface<Case> {};

// The loop's start sounds again at each jump, in time with the plug-in's clock; nothing sounds
// on past a jump; a fade falls to silence; the lengths are the played piece's, the end is
// posted there, and Wine's sequencer reads exactly the unrolled copy.
TEST_P(Convention, PlaysItsLoopInTimeAndEndsAtThePlayedLength)
{
    const Case& c = GetParam();
    std::string path = Song(c.file);
    Read read(path);
    ASSERT_EQ(read.midi->loop.convention, c.convention) << "the reader's finding";
    Unrolled u = Unroll(c);

    EXPECT_EQ(InfoLength(path), u.length) << "file information before the play";
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    LONGLONG started = ClockZero();
    EXPECT_EQ(mod->GetLength(), u.length);
    EXPECT_EQ(InfoLength(""), u.length) << "file information on the playing file";
    EXPECT_EQ(InfoLength(Song("markers.mid")), Unroll(kCases[0]).length) << "file information on another file";
    LoopPlan plan = PlanSequencerCopy(*read.midi, c.passes, kMaxSequencerCopyBytes);
    EXPECT_EQ(plan.passes, c.passes);
    std::string lent = LentCopy();
    EXPECT_EQ(lent.size(), plan.size);
    EXPECT_TRUE(lent == read.Copy(c.passes)) << "the sequencer reads the unrolled copy";

    Ending ending = PlayToEnd(u.length + 1500);
    int until = mod->GetPosition();
    mod->Stop();
    std::vector<Line> heard = Heard();
    heard::Timing t = heard::Match(heard, play, started, 0, std::min(until, u.length + 100), u.notes);
    ExpectHeard(t, std::string(c.file) + ", " + std::to_string(u.length) + " ms played", (int)u.notes.size() - 2);

    // The loop's first note once a pass (the fading one too), against the first pass's.
    int key = loop_songs::kFirstKey + (int)std::lround(u.start / loop_songs::kNoteMs);
    std::vector<LONGLONG> starts;
    for (const Line& l : heard::NoteOns(heard))
        if (heard::Key(l) == key)
            starts.push_back(l.us);
    ASSERT_EQ(starts.size(), (size_t)(c.passes + c.fades)) << "the loop's first note, once a pass";
    for (size_t k = 1; k < starts.size(); ++k)
        printf("  pass %zu: key %d heard %.1f ms after the first pass's, due %.1f ms after\n", k + 1, key,
               (starts[k] - starts[0]) / 1000.0, k * u.body);

    // At each jump, before the loop's first note sounds again: no note sounding, no pedal down.
    std::map<int, int> sounding, pedal; // channel << 8 | key -> notes on; channel -> pedal's value
    auto at_least = [](const std::map<int, int>& m, int least) {
        return std::count_if(m.begin(), m.end(), [&](auto& e) { return e.second >= least; });
    };
    size_t pass = 0;
    for (const Line& l : heard) {
        if (heard::IsNoteOn(l) && heard::Key(l) == key && pass++ > 0) {
            EXPECT_EQ(at_least(sounding, 1), 0) << "notes sound on past jump " << pass - 1;
            EXPECT_EQ(at_least(pedal, 64), 0) << "a pedal held past jump " << pass - 1;
        }
        if (heard::IsNoteOn(l))
            ++sounding[Channel(l) << 8 | heard::Key(l)];
        else if (heard::IsNoteOff(l))
            sounding[Channel(l) << 8 | heard::Key(l)] = 0;
        else if (heard::Silences(l))
            sounding.clear();
        else if (IsControl(l, 64))
            pedal[Channel(l)] = Value(l);
    }

    // The fade: channel 0's volume from the last pass's first note on, falling to 0, up to the
    // sound's cut at the end (after which the channel gets its volume back).
    if (c.fades) {
        std::vector<std::pair<double, int>> volumes; // (ms in the piece, value)
        for (const Line& l : heard) {
            if (l.us < starts.back() - 5000 || Channel(l) != 0)
                continue;
            if (IsControl(l, 120))
                break;
            if (IsControl(l, 7))
                volumes.push_back({(l.us - starts[0]) / 1000.0 + u.start, Value(l)});
        }
        ASSERT_GE(volumes.size(), 4u) << "no fade";
        printf("  fade: %zu volume changes on channel 0:", volumes.size());
        for (size_t i = 0; i < volumes.size(); i += std::max<size_t>(1, volumes.size() / 12))
            printf(" %d at %.0f ms;", volumes[i].second, volumes[i].first);
        printf(" last %d at %.0f ms\n", volumes.back().second, volumes.back().first);
        for (size_t i = 1; i < volumes.size(); ++i)
            EXPECT_LE(volumes[i].second, volumes[i - 1].second) << "the fade rose at " << volumes[i].first << " ms";
        EXPECT_EQ(volumes.back().second, 0) << "the fade ends in silence";
        EXPECT_GT(volumes.back().first, u.length - 400);
    }

    // The end, posted once, when the position passed the played length.
    printf("  end posted after position %d ms (first read past the length: %d ms) for a length of %d ms\n",
           ending.posted_after, ending.first_past, u.length);
    EXPECT_EQ(ending.messages, 1);
    EXPECT_GT(ending.first_past, u.length);
    EXPECT_LE(ending.first_past, u.length + 100);
    EXPECT_LE(ending.posted_after, u.length);
    EXPECT_GE(ending.posted_after, u.length - 100);
}

INSTANTIATE_TEST_SUITE_P(LoopSongs, Convention, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

// A seek into the second pass plays what is there, in time; a seek into the fade sets the
// volume the fade has reached there.
TEST_F(LoopTest, ASeekIntoTheSecondPassOrTheFadePlaysWhatIsThere)
{
    const std::pair<const Case&, int> seeks[] = {{kCases[0], 2900}, {kCases[1], 4750}};
    for (auto& [c, point] : seeks) {
        Unrolled u = Unroll(c);
        ASSERT_EQ(mod->Play(Song(c.file).c_str()), 0);
        PlayToEnd(400);
        LONGLONG seek = NowUs();
        mod->SetPosition(point);
        LONGLONG sought = NowUs();
        int from = mod->GetPosition();
        PlayToEnd(u.length - point + 300);
        int until = mod->GetPosition();
        mod->Stop();
        std::vector<Line> heard = Heard();
        std::vector<Line> after = heard::NoteOns(heard, seek);
        ASSERT_FALSE(after.empty());
        char what[128];
        snprintf(what, sizeof(what), "%s, seek to %d ms (first key %d %.0f ms after it)", c.file, point,
                 heard::Key(after[0]), (after[0].us - seek) / 1000.0);
        ExpectHeard(heard::Match(heard, seek, sought, from, std::min(until, u.length), u.notes), what, 3);
        if (c.fades) {
            // The volume in force on channel 0 when the first note after the seek sounds.
            int volume = -1;
            printf("  channel 0's volume changes after the seek, before its first note:");
            for (const Line& l : heard) {
                if (l.us < seek)
                    continue;
                if (heard::IsNoteOn(l))
                    break;
                if (IsControl(l, 7) && Channel(l) == 0)
                    printf(" %d", volume = Value(l));
            }
            printf("\n");
            EXPECT_GT(volume, 0);
            EXPECT_LT(volume, 100);
        }
        DeleteFileA(log_.c_str()); // the next file starts on a clean log
    }
}

// A file without marks, one with ambiguous marks, and one with a loop under loops = 0 all play
// as written: the copy is byte for byte the one without a loop, the length the file's.
TEST_F(LoopTest, FilesWithoutAUsableLoopOrWithLoopsOffPlayAsWritten)
{
    const std::pair<const char*, int> cases[] = {{"plain.mid", 2}, {"two_starts.mid", 2}, {"markers.mid", 0}};
    for (auto [file, loops] : cases) {
        *loops_ = loops;
        std::string path = Song(file);
        EXPECT_EQ(InfoLength(path), loop_songs::kSongEnd) << file;
        LONGLONG play = NowUs();
        ASSERT_EQ(mod->Play(path.c_str()), 0) << file;
        LONGLONG started = ClockZero();
        EXPECT_EQ(mod->GetLength(), loop_songs::kSongEnd) << file;
        std::string lent = LentCopy();
        EXPECT_FALSE(lent.empty());
        EXPECT_TRUE(lent == Read(path).Copy(0)) << file << ": not the copy as written";
        if (loops != 0) {
            mod->Stop();
            continue;
        }
        Ending ending = PlayToEnd(loop_songs::kSongEnd + 1000);
        mod->Stop();
        Notes notes;
        for (const MidiNote& n : SongOf(file).notes)
            notes.push_back({(double)n.start_ticks, n.pitch});
        std::sort(notes.begin(), notes.end());
        heard::Timing t = heard::Match(Heard(), play, started, 0, loop_songs::kSongEnd, notes);
        ExpectHeard(t, std::string(file) + " at loops=0, end posted after " + std::to_string(ending.posted_after) + " ms",
                    0, false);
        EXPECT_EQ(ending.messages, 1);
        EXPECT_LE(ending.first_past, loop_songs::kSongEnd + 100);
    }
}

// The file's count wins over the setting; the setting gives the passes where the file gives none,
// and the length follows.
TEST_F(LoopTest, TheLengthFollowsTheSettingAndTheFilesOwnCount)
{
    const struct {
        int loops;
        const char* file;
        int length;
    } cases[] = {{1, "markers.mid", 1000 + 1500 + 500},   {16, "markers.mid", 1000 + 16 * 1500 + 500},
                 {5, "controller111.mid", 1000 + 6 * 1500}, {1, "emidi_song.mid", 1000 + 3 * 1250 + 500},
                 {16, "emidi_song.mid", 1000 + 3 * 1250 + 500}, {0, "emidi_song.mid", 2750}};
    for (const auto& c : cases) {
        *loops_ = c.loops;
        EXPECT_EQ(InfoLength(Song(c.file)), c.length) << c.file << " at loops=" << c.loops;
    }
}

std::string TempFolder()
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    return folder;
}

// The piece a process with this id writes first.
std::string FirstPiece(DWORD process)
{
    char name[64];
    snprintf(name, sizeof(name), "tqs%lx-0.mid", process);
    return TempFolder() + name;
}

// The pieces of this process in the temporary folder.
std::vector<std::string> Pieces()
{
    char pattern[64];
    snprintf(pattern, sizeof(pattern), "tqs%lx-*.mid", GetCurrentProcessId());
    std::vector<std::string> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((TempFolder() + pattern).c_str(), &data);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &data))
        found.push_back(TempFolder() + data.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return found;
}

// With Wine hidden from it, the plug-in takes Wine's sequencer for Windows', which opens files
// only by name.
class WindowsPath : public LoopTest {
protected:
    void SetUp() override
    {
        LoopTest::SetUp();
        hide_ = std::make_unique<rig::HideWine>(dll);
    }
    void TearDown() override
    {
        hide_.reset();
        LoopTest::TearDown();
    }
    std::unique_ptr<rig::HideWine> hide_;
};

// A file with a loop reaches the sequencer as the unrolled piece in a temporary file, opened by
// name and deleted at Stop; a file without one goes by its own name, as always.
TEST_F(WindowsPath, AFileWithALoopPlaysFromATemporaryPieceDeletedAtStop)
{
    std::string path = Song("markers.mid");
    Unrolled u = Unroll(kCases[0]);
    rig::MciRecorder mci(dll, true);
    LONGLONG play = NowUs();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    LONGLONG started = ClockZero();
    std::vector<rig::MciCall> calls = mci.Calls();
    ASSERT_FALSE(calls.empty());
    std::string piece = calls[0].element;
    EXPECT_EQ(piece.compare(0, TempFolder().size(), TempFolder()), 0) << piece;
    EXPECT_EQ(Pieces(), std::vector<std::string>{piece});
    EXPECT_TRUE(FileBytes(piece) == Read(path).Copy(2)) << "the piece is the unrolled copy";
    EXPECT_EQ(mod->GetLength(), u.length);
    EXPECT_TRUE(LentCopy().empty()) << "nothing lent from memory";
    PlayToEnd(3300); // through the second pass's first notes
    int until = mod->GetPosition();
    mod->Stop();
    EXPECT_FALSE(Exists(piece)) << "left after Stop";
    ExpectHeard(heard::Match(Heard(), play, started, 0, until, u.notes), "from " + piece, 12, false);

    mci.Clear();
    std::string plain = Song("plain.mid");
    ASSERT_EQ(mod->Play(plain.c_str()), 0);
    ASSERT_FALSE(mci.Calls().empty());
    EXPECT_EQ(mci.Calls()[0].element, plain) << "a file without a loop goes by its name";
    EXPECT_TRUE(Pieces().empty());
    mod->Stop();
}

// No piece is left behind: not by a Play the sequencer refuses, nor a Play without Stop, nor an
// unload without Stop; and the pieces a process that has ended left are deleted.
TEST_F(WindowsPath, NoPieceIsLeftBehind)
{
    // Pieces of a process that has ended and of one that still runs.
    STARTUPINFOA startup = {sizeof(startup)};
    PROCESS_INFORMATION ended = {}, running = {};
    std::string command = "cmd.exe /c exit";
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &ended));
    WaitForSingleObject(ended.hProcess, 10000);
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &running));
    std::string old = FirstPiece(ended.dwProcessId), live = FirstPiece(running.dwProcessId);
    for (const std::string& p : {old, live}) {
        FILE* f = fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    std::string path = Song("markers.mid");
    // Capture off: its thread would keep the module loaded through an unload without Stop.
    auto sample = (int*)rig::PluginVariable(dll, "config_sample");
    ASSERT_NE(sample, nullptr);
    *sample = 0;
    {
        rig::MciRecorder mci(dll, false);
        mci.Fail(MCI_OPEN, MCIERR_DEVICE_OPEN);
        EXPECT_EQ(mod->Play(path.c_str()), 1);
        EXPECT_TRUE(Pieces().empty()) << "left by a refused Play";
        EXPECT_FALSE(Exists(old)) << "the piece of an ended process";
        EXPECT_TRUE(Exists(live)) << "the piece of a running process";
    }
    TerminateProcess(running.hProcess, 0);
    for (HANDLE h : {ended.hProcess, ended.hThread, running.hProcess, running.hThread})
        CloseHandle(h);
    DeleteFileA(live.c_str());
    {
        rig::MciRecorder mci(dll, false);
        ASSERT_EQ(mod->Play(path.c_str()), 0);
        std::vector<std::string> first = Pieces();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(mod->Play(path.c_str()), 0);
        std::vector<std::string> second = Pieces();
        ASSERT_EQ(second.size(), 1u) << "a Play without Stop";
        EXPECT_NE(second[0], first[0]);
        EXPECT_FALSE(Exists(first[0]));
    }
    // Unloaded while the piece is open (on a device that only the recorder knew): the unload
    // deletes it. TearDown without the module record unloads without a Stop.
    std::vector<std::string> open = Pieces();
    ASSERT_EQ(open.size(), 1u);
    mod = nullptr;
    TearDown();
    EXPECT_FALSE(Exists(open[0])) << "left by an unload without Stop";
    SetUp();
}

} // namespace
