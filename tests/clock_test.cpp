// The position clock through the record: start, pause, resume, seeks, wrap-around and the
// end-of-file notification, with the tick count and the sequencer substituted.
#include "tests/rig/plugin_rig.h"

using rig::FakeTicks;
using rig::MciRecorder;
using rig::PluginTest;

class ClockTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        ticks = new FakeTicks(dll);
        mci = new MciRecorder(dll, false);
        mci->fake_length = 4000;
        ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
        mci->Clear();
    }
    void TearDown() override
    {
        delete mci;
        delete ticks;
        PluginTest::TearDown();
    }
    // The last PLAY command's from and to.
    std::pair<DWORD, DWORD> LastPlay()
    {
        for (auto calls = mci->Calls(); !calls.empty(); calls.pop_back())
            if (calls.back().command == MCI_PLAY)
                return {calls.back().words[1], calls.back().words[2]};
        return {~0u, ~0u};
    }
    int PlayCommands()
    {
        int n = 0;
        for (const rig::MciCall& c : mci->Calls())
            n += c.command == MCI_PLAY;
        return n;
    }
    FakeTicks* ticks = nullptr;
    MciRecorder* mci = nullptr;
};

TEST_F(ClockTest, PositionRunsFromZeroAcrossATickWrap)
{
    EXPECT_EQ(mod->GetPosition(), 0);
    ticks->Advance(1234);
    EXPECT_EQ(mod->GetPosition(), 1234);

    ticks->Set(0xFFFFFF00u);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    ticks->Advance(0x200); // the tick count wraps past 2^32
    EXPECT_EQ(mod->GetPosition(), 0x200);
}

TEST_F(ClockTest, PauseFreezesAndResumePlaysFromThePausedPosition)
{
    ticks->Advance(1500);
    mod->Pause();
    EXPECT_EQ(mod->IsPaused(), 1);
    ticks->Advance(5000);
    EXPECT_EQ(mod->GetPosition(), 1500);
    mod->Pause(); // a second pause changes nothing
    ticks->Advance(100);
    EXPECT_EQ(mod->GetPosition(), 1500);

    mod->Resume();
    EXPECT_EQ(mod->IsPaused(), 0);
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(1500), DWORD(4000)));
    EXPECT_EQ(mci->Calls().back().flags, DWORD_PTR(MCI_FROM | MCI_TO));
    EXPECT_EQ(mod->GetPosition(), 1500);
    ticks->Advance(200);
    EXPECT_EQ(mod->GetPosition(), 1700);
}

TEST_F(ClockTest, ResumeWithoutPausePlaysFromTheLastPausePosition)
{
    ticks->Advance(800);
    mod->Resume();
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(0), DWORD(4000)));
    EXPECT_EQ(mod->GetPosition(), 0);
    EXPECT_EQ(mod->IsPaused(), 0);
}

TEST_F(ClockTest, SeekWhilePlayingRestartsTheDeviceThere)
{
    ticks->Advance(300);
    mod->SetPosition(2500);
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(2500), DWORD(4000)));
    EXPECT_EQ(mod->GetPosition(), 2500);
    ticks->Advance(10);
    EXPECT_EQ(mod->GetPosition(), 2510);
}

// A seek bar dragged past either edge: the position stays within the file, and the device
// is told a point inside it.
TEST_F(ClockTest, SeeksOutsideTheFileGoToItsNearestEnd)
{
    ticks->Advance(300);
    mod->SetPosition(-1000);
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(0), DWORD(4000)));
    EXPECT_EQ(mod->GetPosition(), 0);
    mod->SetPosition(0x7FFFFFFF);
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(4000), DWORD(4000)));
    EXPECT_EQ(mod->GetPosition(), 4000);
    mod->Pause();
    mod->SetPosition(-0x7FFFFFFF - 1);
    EXPECT_EQ(mod->GetPosition(), 0);
}

TEST_F(PluginTest, BeforeAnyPlayThePositionIsZeroWhateverTheHostCalls)
{
    FakeTicks ticks(dll, 123456);
    MciRecorder mci(dll, false);
    EXPECT_EQ(mod->GetPosition(), 0);
    mod->SetPosition(0x7FFFFFFF);
    mod->Pause();
    mod->Resume();
    ticks.Advance(5000);
    EXPECT_EQ(mod->GetPosition(), 0);
    EXPECT_EQ(mod->GetLength(), 0);
    EXPECT_EQ(mod->IsPaused(), 0);
    EXPECT_TRUE(mci.Calls().empty());
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 0);
}

TEST_F(ClockTest, SeekWhilePausedMovesThePausedPositionOnly)
{
    ticks->Advance(1000);
    mod->Pause();
    mod->SetPosition(3000);
    EXPECT_EQ(PlayCommands(), 0) << "the paused device must stay paused";
    EXPECT_EQ(mod->IsPaused(), 1);
    ticks->Advance(700);
    EXPECT_EQ(mod->GetPosition(), 3000);

    mod->Resume();
    EXPECT_EQ(LastPlay(), std::make_pair(DWORD(3000), DWORD(4000)));
    EXPECT_EQ(mod->GetPosition(), 3000);
    ticks->Advance(50);
    EXPECT_EQ(mod->GetPosition(), 3050);
}

TEST_F(ClockTest, EndOfFileIsPostedOncePerPlayWhenThePositionPassesTheLength)
{
    ticks->Advance(4000);
    EXPECT_EQ(mod->GetPosition(), 4000);
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 0) << "a reading equal to the length is not the end";
    ticks->Advance(1);
    mod->GetPosition();
    mod->GetPosition();
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 1);

    mod->SetPosition(100); // a seek backwards does not re-arm it
    ticks->Advance(5000);
    mod->GetPosition();
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 1);

    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    ticks->Advance(4001);
    mod->GetPosition();
    auto messages = Messages();
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 2);
    EXPECT_EQ(messages.back().wparam, 0u);
    EXPECT_EQ(messages.back().lparam, 0);
}

TEST_F(ClockTest, ClockRunsOnAfterStopAndStillPostsTheEnd)
{
    ticks->Advance(1000);
    mod->Stop();
    ticks->Advance(3500);
    EXPECT_EQ(mod->GetPosition(), 4500);
    EXPECT_EQ(CountMessages(kEndOfFileMessage), 1);
}

TEST_F(ClockTest, StopWhilePausedKeepsThePauseFlagUntilResume)
{
    ticks->Advance(1000);
    mod->Pause();
    mod->Stop();
    EXPECT_EQ(mod->IsPaused(), 1);
    ticks->Advance(900);
    EXPECT_EQ(mod->GetPosition(), 1000);
    mod->Resume();
    EXPECT_EQ(mod->IsPaused(), 0);
}
