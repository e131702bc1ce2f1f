// Playback on Wine's real MCI sequencer with files the tests write.
#include "tests/rig/plugin_rig.h"

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
