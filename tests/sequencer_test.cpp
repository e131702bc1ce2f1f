// The exact MCI commands the plug-in sends and the host services it calls, with the
// sequencer substituted so that failures can be injected.
#include "tests/rig/plugin_rig.h"

#include <string>

#include "tools/midi_writer.h"

using rig::MciRecorder;
using rig::PluginTest;

using Calls = std::vector<rig::MciCall>;

static std::vector<std::string> Names(const Calls& calls)
{
    std::vector<std::string> names;
    for (const rig::MciCall& c : calls)
        names.push_back(rig::MciName(c.command));
    return names;
}

using Strings = std::vector<std::string>;

TEST_F(PluginTest, PlayOpensSetsMillisecondsAsksTheLengthAndStarts)
{
    MciRecorder mci(dll, false);
    mci.fake_length = 12345;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);

    Calls calls = mci.Calls();
    ASSERT_EQ(Names(calls), (Strings{"OPEN", "SET", "STATUS", "PLAY"}));
    EXPECT_EQ(calls[0].device, 0u);
    EXPECT_EQ(calls[0].flags, DWORD_PTR(0x3202));
    EXPECT_EQ(calls[0].words[2], DWORD(MCI_DEVTYPE_SEQUENCER));
    EXPECT_EQ(calls[0].element, "C:\\music\\a.mid");
    EXPECT_EQ(calls[1].device, 7u);
    EXPECT_EQ(calls[1].flags, DWORD_PTR(0x402));
    EXPECT_EQ(calls[1].words[1], DWORD(MCI_FORMAT_MILLISECONDS));
    EXPECT_EQ(calls[2].flags, DWORD_PTR(0x102));
    EXPECT_EQ(calls[2].words[2], DWORD(MCI_STATUS_LENGTH));
    EXPECT_EQ(calls[3].device, 7u);
    EXPECT_EQ(calls[3].flags, DWORD_PTR(0));
    EXPECT_EQ(calls[3].words[1], 0u);
    EXPECT_EQ(calls[3].words[2], 0u);
    EXPECT_EQ(mod->GetLength(), 12345);
    EXPECT_EQ(rig::Events(), (Strings{"mci OPEN 0x3202", "mci SET 0x402", "mci STATUS 0x102", "mci PLAY 0x0",
                                      "announce_format(0,44,2,1)", "vis_open(0,44100)"}));
    EXPECT_EQ(CountMessages(kDownloadServiceQuery), 0) << "a local path needs no download service";
}

TEST_F(PluginTest, RefusedFileStartsNothingAndKeepsTheEarlierLength)
{
    MciRecorder mci(dll, false);
    mci.fake_length = 3000;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    mod->Stop();
    rig::ClearEvents();
    mci.Clear();

    mci.Fail(MCI_OPEN, MCIERR_FILE_NOT_FOUND);
    EXPECT_EQ(mod->Play("C:\\music\\missing.mid"), 1);
    EXPECT_EQ(Names(mci.Calls()), (Strings{"OPEN"}));
    EXPECT_EQ(rig::CountEvents("announce_format"), 0);
    EXPECT_EQ(rig::CountEvents("vis_open"), 0);
    EXPECT_EQ(mod->GetLength(), 3000);
}

TEST_F(PluginTest, FailedLengthQueryStillPlaysAndEndsAtOnce)
{
    rig::FakeTicks ticks(dll);
    MciRecorder mci(dll, false);
    mci.Fail(MCI_STATUS, MCIERR_UNSUPPORTED_FUNCTION);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(mod->GetLength(), 0);
    EXPECT_EQ(rig::CountEvents("vis_open"), 1);
    mod->GetPosition();
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 0);
    ticks.Advance(1);
    mod->GetPosition();
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 1);
}

// Pause stops the device (a paused sequencer may spin and keep a note sounding), with no
// MCI_PAUSE nor MCI_RESUME under Wine, whose pause writes to an output its player thread may
// have closed; Resume and seeks play to the file's own length, not to what the device reported.
TEST_F(PluginTest, PauseStopsTheDeviceAndPlaysResumeToTheFilesOwnLength)
{
    MidiSong slow = ScaleSong(8);
    slow.tempo_us_per_quarter = 1000000; // 60 bpm: 8000 ms, where a 120-bpm reading gives 4000
    std::string path = Folder() + "slow.mid";
    ASSERT_TRUE(WriteMidiFile(path, slow));
    MciRecorder mci(dll, false);
    mci.fake_length = 4000;
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    EXPECT_EQ(mod->GetLength(), 8000);
    mci.Clear();
    mod->Pause();
    mod->Resume();
    mod->SetPosition(1234);
    mod->Stop();
    Calls calls = mci.Calls();
    ASSERT_EQ(Names(calls), (Strings{"STOP", "PLAY", "PLAY", "STOP", "CLOSE"}));
    for (const rig::MciCall& c : calls)
        EXPECT_EQ(c.device, 7u) << rig::MciName(c.command);
    for (size_t i : {0, 3, 4})
        EXPECT_EQ(calls[i].flags, DWORD_PTR(MCI_WAIT)) << i;
    EXPECT_EQ(calls[1].flags, DWORD_PTR(MCI_FROM | MCI_TO));
    EXPECT_EQ(calls[2].words[1], 1234u);
    EXPECT_EQ(calls[1].words[2], 8000u);
    EXPECT_EQ(calls[2].words[2], 8000u);
    EXPECT_EQ(rig::Events().back(), "vis_close()");
}

TEST_F(PluginTest, StopWithNothingOpenNeverReachesAnEarlierDevice)
{
    MciRecorder mci(dll, false);
    mod->Stop();
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    mod->Stop();
    mci.Clear();
    mod->Stop(); // the system may have given device 7 to someone else by now
    mod->Pause();
    mod->Resume();
    mod->SetPosition(1000);
    EXPECT_TRUE(mci.Calls().empty());
    EXPECT_EQ(rig::CountEvents("vis_close"), 3);
}

TEST_F(PluginTest, PlayWhileAFileIsOpenStopsTheEarlierFileFirst)
{
    MciRecorder mci(dll, false);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    mci.next_device = 8;
    mci.Clear();
    rig::ClearEvents();
    ASSERT_EQ(mod->Play("C:\\music\\b.mid"), 0);
    EXPECT_EQ(rig::Events(), (Strings{"mci STOP 0x2", "mci CLOSE 0x2", "vis_close()", "mci OPEN 0x3202",
                                      "mci SET 0x402", "mci STATUS 0x102", "mci PLAY 0x0",
                                      "announce_format(0,44,2,1)", "vis_open(0,44100)"}));
    EXPECT_EQ(mci.Calls()[0].device, 7u);
    EXPECT_EQ(mci.Calls()[1].device, 7u);
}

TEST_F(PluginTest, NamesThatDoNotFitAreRefusedWithoutTouchingTheDevice)
{
    MciRecorder mci(dll, false);
    std::string longest = "C:\\" + std::string(1020, 'a'); // 1023 bytes: fits with its NUL
    ASSERT_EQ(longest.size(), 1023u);
    EXPECT_EQ(mod->Play(longest.c_str()), 0);
    ASSERT_EQ(mci.Calls().size(), 4u);
    EXPECT_EQ(mci.Calls()[0].element, longest);
    mod->Stop();
    mci.Clear();

    for (size_t size : {size_t(1024), size_t(70000)}) {
        std::string name = "C:\\" + std::string(size - 3, 'b');
        EXPECT_EQ(mod->Play(name.c_str()), 1) << size;
    }
    EXPECT_TRUE(mci.Calls().empty());
    EXPECT_EQ(mod->Play(nullptr), 1);
    EXPECT_TRUE(mci.Calls().empty());
}
