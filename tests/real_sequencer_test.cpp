// Playback on Wine's real MCI sequencer with files the tests write.
#include "tests/rig/plugin_rig.h"

#include "tools/midi_writer.h"

using rig::PluginTest;

// Waits, pumping messages, until the plug-in posts the end of the file or `limit_ms` pass.
static bool WaitForEnd(PluginTest* test, InModule* mod, DWORD limit_ms, int (*count)(PluginTest*))
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < limit_ms) {
        mod->GetPosition();
        if (count(test) > 0)
            return true;
        Sleep(20);
    }
    return false;
}

class RealSequencerTest : public PluginTest {
public:
    int Ends() { return CountMessages(kEndOfFileMessage); }
};

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
    bool ended = WaitForEnd(this, mod, 5000, [](PluginTest* t) { return ((RealSequencerTest*)t)->Ends(); });
    EXPECT_TRUE(ended);
    EXPECT_GT(mod->GetPosition(), 1000);
    Sleep(50);
    mod->GetPosition();
    EXPECT_EQ(Ends(), 1);
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

// A file whose track claims to run past its end, with bad events inside, is one on which Wine's
// sequencer never returns from MCI_OPEN: the plug-in must refuse it, and any cut-short file,
// before the device sees it, while whole files (with or without trailing padding) still play.
TEST_F(RealSequencerTest, RefusesAFileWhoseTrackRunsPastItsEnd)
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
    EXPECT_EQ(rig::CountEvents("vis_open"), 0);

    std::string padded = WriteBytes("padded.mid", std::string(whole.begin(), whole.end()) + std::string(8, '\0'));
    ASSERT_EQ(mod->Play(padded.c_str()), 0);
    EXPECT_EQ(mod->GetLength(), 2000);
    mod->Stop();
}
