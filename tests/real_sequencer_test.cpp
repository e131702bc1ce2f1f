// Playback on Wine's real MCI sequencer with files the tests write.
#include "tests/rig/plugin_rig.h"

#include "playback/file_info.h"
#include "playback/midi_file.h"
#include "tools/midi_writer.h"

#include <cstring>
#include <memory>

using rig::PluginTest;

class RealSequencerTest : public PluginTest {};

TEST_F(RealSequencerTest, ReportsTheLengthOfTheFile)
{
    std::string path = WriteScale("four.mid", 4);
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    EXPECT_EQ(mod->GetLength(), 2000);
    EXPECT_EQ(rig::CountEvents("vis_open(0,44100)"), 1);
    mod->Stop();
}

TEST_F(RealSequencerTest, PlaysToTheEndAndPostsTheEndOnce)
{
    std::string path = WriteScale("two.mid", 2);
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    ASSERT_EQ(mod->GetLength(), 1000);
    EXPECT_EQ(PlayToEnd(5000, 50).messages, 1) << "posted once";
    EXPECT_GT(mod->GetPosition(), 1000);
    mod->Stop();
    EXPECT_EQ(rig::CountEvents("vis_close()"), 1);
}

TEST_F(RealSequencerTest, PauseSeekResumeAndStopOnTheRealDevice)
{
    std::string path = WriteScale("eight.mid", 8);
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    Sleep(100);
    mod->Pause();
    EXPECT_EQ(mod->IsPaused(), 1);
    int frozen = mod->GetPosition();
    Sleep(200);
    EXPECT_EQ(mod->GetPosition(), frozen);
    mod->SetPosition(2000);
    EXPECT_EQ(mod->GetPosition(), 2000);
    mod->Resume();
    EXPECT_EQ(mod->IsPaused(), 0);
    int resumed = mod->GetPosition();
    EXPECT_GE(resumed, 2000);
    EXPECT_LT(resumed, 2100);
    mod->SetPosition(3500);
    EXPECT_GE(mod->GetPosition(), 3500);
    mod->Stop();

    // The device is closed: the same file opens again at once.
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    EXPECT_EQ(mod->GetLength(), 4000);
    mod->Stop();
}

TEST_F(RealSequencerTest, RefusesWhatIsNotAMidiFile)
{
    std::string text = WriteBytes("notes.mid", "this is not a MIDI file\n");
    EXPECT_EQ(mod->Play(text.c_str()), 1);
    EXPECT_EQ(mod->Play((Folder() + "missing.mid").c_str()), 1);
    EXPECT_EQ(mod->Play(Folder().c_str()), 1);
    EXPECT_EQ(mod->Play(""), 1);
    EXPECT_EQ(rig::CountEvents("vis_open"), 0);
    EXPECT_EQ(mod->GetLength(), 0);

    std::string good = WriteScale("good.mid", 2);
    EXPECT_EQ(mod->Play(good.c_str()), 0);
    mod->Stop();
}

// Writes the MIDI header, one track header declaring track_length bytes and the given events,
// then makes the file size bytes long without writing them (sparse where the system can).
static std::string WriteSparse(const std::string& path, DWORD track_length, const std::string& events, LONGLONG size)
{
    std::string head = std::string("MThd\0\0\0\6\0\0\0\1\x01\xE0MTrk", 18) + char(track_length >> 24) +
                       char(track_length >> 16) + char(track_length >> 8) + char(track_length) + events;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, head.data(), (DWORD)head.size(), &written, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    return path;
}

// The file is checked as far as its header declares tracks. A declared track that runs past the
// end (with bad events inside, Wine's sequencer never returns from MCI_OPEN) or past the size
// bound (Wine's would read a 2 GB track for minutes) is refused before the device sees it;
// whatever follows the declared tracks is ignored, as the sequencer ignores it.
TEST_F(RealSequencerTest, ChecksTheDeclaredTracksOnlyAndRefusesOversizedOnesAtOnce)
{
    static const unsigned char kDamaged[] = {
        'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0xC1, 0x00, 0x00, 0x2B,
        0x00, 0xC0, 0x00, 0x00, 0x90, 0x3C, 0x5A, 0x83, 0x60, 0x80, 0x3C, 0x00, 0x00, 0x90, 0x3E, 0x5A, 0x83,
        0x60, 0x80, 0x3E, 0x00, 0x00, 0x90, 0x40, 0x5A, 0x5C, 0x60, 0x80, 0xE3, 0x00, 0x92, 0x90, 0x41, 0x5A,
        0x83, 0x60, 0x80, 0x41, 0x00, 0x00, 0xFF, 0x2F, 0x00};
    std::string damaged = WriteBytes("damaged.mid", std::string((const char*)kDamaged, sizeof(kDamaged)));
    EXPECT_EQ(mod->Play(damaged.c_str()), 1);

    std::vector<uint8_t> whole = EncodeMidi(ScaleSong(4));
    std::string cut = WriteBytes("cut.mid", std::string(whole.begin(), whole.end() - 10));
    EXPECT_EQ(mod->Play(cut.c_str()), 1);
    std::string two = std::string(whole.begin(), whole.end());
    two[11] = 2; // a second track declared, none there
    EXPECT_EQ(mod->Play(WriteBytes("one of two.mid", two).c_str()), 1);

    // A track that spans a sparse 2 GB file, and one just past the bound.
    const LONGLONG two_gb = 0x7FFFFFFF;
    std::vector<std::string> oversized = {
        WriteSparse(Folder() + "huge.mid", DWORD(two_gb - 22), "", two_gb),
        WriteSparse(Folder() + "over.mid", kMaxMidiFileBytes - 21, "", kMaxMidiFileBytes + 1)};
    for (const std::string& path : oversized) {
        DWORD start = GetTickCount();
        int length = 0;
        mod->GetFileInfo(path.c_str(), nullptr, &length);
        EXPECT_EQ(length, kUnknownLength) << path;
        EXPECT_EQ(mod->Play(path.c_str()), 1) << path;
        EXPECT_LT(GetTickCount() - start, 10000u) << "the sequencer read it";
    }
    EXPECT_EQ(rig::CountEvents("vis_open"), 0);

    // After the declared track: bytes that form no chunk, a chunk claiming more than the file
    // holds, or 2 GB of nothing.
    std::string track(whole.begin(), whole.end());
    std::string track_bytes = track.substr(14 + 8);
    for (const std::string& path :
         {WriteBytes("text.mid", track + "\r\n(c) 1997 somebody"), WriteBytes("chunk.mid", track + "XFKM\xFF\xFF\xFF\xFF"),
          WriteSparse(Folder() + "tail.mid", (DWORD)track_bytes.size(), track_bytes, two_gb)}) {
        int length = 0;
        mod->GetFileInfo(path.c_str(), nullptr, &length);
        EXPECT_EQ(length, 2000) << path;
        ASSERT_EQ(mod->Play(path.c_str()), 0) << path;
        EXPECT_EQ(mod->GetLength(), 2000);
        mod->Stop();
    }
}

// Wine's sequencer sleeps until its next event is due, and its stop (Pause, Stop, a seek) waited
// that long on the host's thread; it plays a copy of the file that wakes it every few
// milliseconds. So a rest of minutes plays and stops at once, as does a conductor track whose
// end comes minutes after its last tempo change. A file holding a number longer than the
// format's four bytes is refused, and one whose events wait days, whose copy would be too large, by
// file information too.
TEST_F(RealSequencerTest, LongRestsPlayAndStopAtOnceWhileDamageIsRefused)
{
    MidiSong rest = ScaleSong(2); // 480 ticks a quarter at 120 bpm: 960 ticks a second
    rest.notes.push_back({125 * 960, 480, 0, 67, 90});
    MidiSong days = rest;
    days.notes.back().start_ticks = 3 * 86400 * 960;
    std::vector<uint8_t> overlong = EncodeMidi(ScaleSong(2));
    overlong.insert(overlong.begin() + 22, {0x80, 0x80, 0x80, 0x80});
    overlong[21] += 4;
    // Format 1: a conductor track ending after three minutes of scale on the second track.
    std::vector<uint8_t> played = EncodeMidi(ScaleSong(360));
    played[9] = 1;
    played[11] = 2;
    const uint8_t conductor[] = {'M', 'T', 'r', 'k', 0, 0, 0, 13, 0, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20,
                                 0x8A, 0xC6, 0x00, 0xFF, 0x2F, 0}; // end at 172800 ticks
    played.insert(played.begin() + 14, conductor, conductor + sizeof(conductor));

    struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int length;
        int play;
    } cases[] = {{"rest.mid", EncodeMidi(rest), 125500, 0},
                 {"days.mid", EncodeMidi(days), kUnknownLength, 1},
                 {"overlong.mid", overlong, kUnknownLength, 1},
                 {"conductor.mid", played, 180000, 0}};
    for (const auto& c : cases) {
        std::string path = WriteBytes(c.name, std::string(c.bytes.begin(), c.bytes.end()));
        int length = 0;
        mod->GetFileInfo(path.c_str(), nullptr, &length);
        EXPECT_EQ(length, c.length) << c.name;
        EXPECT_EQ(mod->Play(path.c_str()), c.play) << c.name;
        if (c.play != 0 || midiOutGetNumDevs() == 0) {
            mod->Stop();
            continue;
        }
        // In the rest after the first second, where the sequencer waits for a note minutes
        // away (the bound is generous: the stop used to wait for that note).
        Sleep(1500);
        DWORD before = GetTickCount();
        mod->SetPosition(2000);
        mod->Pause();
        mod->Resume();
        mod->Stop();
        EXPECT_LT(GetTickCount() - before, 500u) << c.name << ": a seek, a pause, a resume and a stop in a long rest";
    }
}

// Only Wine's sequencer is handed the copy; any other gets the file itself, as the plug-in
// finds out from the system (ntdll's wine_get_version, here hidden from it).
TEST_F(RealSequencerTest, OnlyWinesSequencerIsHandedTheCopy)
{
    // Each side on a fresh load, which asks the system afresh.
    for (bool wine : {true, false}) {
        if (!wine) {
            TearDown();
            SetUp();
        }
        std::string path = WriteScale("scale.mid", 4);
        rig::MciRecorder mci(dll, true);
        std::unique_ptr<rig::HideWine> hide;
        if (!wine)
            hide = std::make_unique<rig::HideWine>(dll);
        ASSERT_EQ(mod->Play(path.c_str()), 0);
        EXPECT_EQ(mod->GetLength(), 2000);
        mod->Stop();
        std::vector<rig::MciCall> calls = mci.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].command, (UINT)MCI_OPEN);
        EXPECT_EQ(calls[0].element == path, !wine) << "opened " << calls[0].element;
    }
}

static double ProcessorMilliseconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) { return (double)((ULONGLONG)t.dwHighDateTime << 32 | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

// A paused sequencer must not spin (Wine's ran a core flat out for as long as the pause lasted):
// the process's processor time over two seconds of pause stays far below two seconds. The bound
// is generous; it catches spinning, not slowness. Without a MIDI output device the sequencer
// plays nothing, and so could not spin either.
TEST_F(RealSequencerTest, APauseLetsTheProcessorRest)
{
    if (midiOutGetNumDevs() == 0)
        GTEST_SKIP() << "no MIDI output device";
    std::string path = WriteScale("long.mid", 40);
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    Sleep(700);
    mod->Pause();
    int paused_at = mod->GetPosition();
    double before = ProcessorMilliseconds();
    Sleep(2000);
    double used = ProcessorMilliseconds() - before;
    EXPECT_LT(used, 500.0) << "processor time in a 2000 ms pause";
    EXPECT_EQ(mod->GetPosition(), paused_at);
    mod->Resume();
    EXPECT_GE(mod->GetPosition(), paused_at - 300);
    mod->Stop();
}

// Wine's close does not wait for a player thread that has marked its device stopped at the end
// of a piece, so the sequencer's driver must not be unloaded by the close: the plug-in keeps it
// loaded from its first open until the plug-in itself is unloaded.
TEST(SequencerDriver, StaysLoadedFromTheFirstOpenUntilThePluginIsUnloaded)
{
    std::string piece = rig::ProgramFolder() + "short.mid";
    hostlib::Host host;
    ASSERT_TRUE(host.Load());
    ASSERT_EQ(host.mod->Play(piece.c_str()), 0);
    Sleep(500); // to its end
    host.mod->Stop();
    EXPECT_NE(GetModuleHandleA("mciseq.dll"), nullptr) << "unloaded by the close";
    EXPECT_TRUE(host.Unload());
    EXPECT_EQ(GetModuleHandleA("mciseq.dll"), nullptr) << "still loaded after the plug-in";
}
