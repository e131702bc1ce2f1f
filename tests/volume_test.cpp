// Volume and pan against a substituted mixer whose synthesizer line the test shapes (Wine's
// mixer has none), and once against Wine's own mixer.
#include "tests/rig/plugin_rig.h"

#include <memory>

using rig::PluginTest;
using Strings = std::vector<std::string>;
using Levels = std::vector<DWORD>;

namespace {

const HMIXER kHandle = (HMIXER)0x4D1;
// The line and control the fake reports; `wrong` names every record that differed from the
// one expected, `fail` makes the call of that name fail.
struct {
    DWORD channels, min, max;
    std::string fail, wrong;
    MIXERCONTROLDETAILS details;
    Levels levels;
} fake;

MMRESULT Enter(const char* name, bool record_ok)
{
    rig::AddEvent(name);
    if (!record_ok)
        fake.wrong += std::string(name) + " ";
    return fake.fail == name ? MMSYSERR_ERROR : 0;
}

MMRESULT WINAPI Open(LPHMIXER h, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    *h = kHandle;
    return Enter("mixerOpen", id == 0 && callback == 0 && instance == 0 && flags == 0);
}

MMRESULT WINAPI LineInfo(HMIXEROBJ m, LPMIXERLINEA line, DWORD flags)
{
    MIXERLINEA expected = {};
    expected.cbStruct = sizeof(MIXERLINEA); // 168 in the 32-bit form
    expected.dwComponentType = 0x1004;
    bool ok = (HMIXER)m == kHandle && flags == 3 && memcmp(line, &expected, sizeof(expected)) == 0;
    line->dwLineID = 0x10004;
    line->cChannels = fake.channels;
    return Enter("mixerGetLineInfoA", ok);
}

MMRESULT WINAPI LineControls(HMIXEROBJ m, LPMIXERLINECONTROLSA c, DWORD flags)
{
    MIXERCONTROLA zero = {};
    bool ok = (HMIXER)m == kHandle && flags == 2 && c->cbStruct == sizeof(MIXERLINECONTROLSA) && c->dwLineID == 0x10004 &&
              c->dwControlType == 0x50030001 && c->cControls == 1 && c->cbmxctrl == 148 &&
              memcmp(c->pamxctrl, &zero, sizeof(zero)) == 0;
    c->pamxctrl->dwControlID = 0x77;
    c->pamxctrl->Bounds.dwMinimum = fake.min;
    c->pamxctrl->Bounds.dwMaximum = fake.max;
    return Enter("mixerGetLineControlsA", ok);
}

MMRESULT WINAPI SetDetails(HMIXEROBJ m, LPMIXERCONTROLDETAILS d, DWORD flags)
{
    fake.details = *d;
    // Read what the system reads: cChannels values.
    auto values = (const MIXERCONTROLDETAILS_UNSIGNED*)d->paDetails;
    fake.levels.clear();
    for (DWORD i = 0; i < d->cChannels; ++i)
        fake.levels.push_back(values[i].dwValue);
    return Enter("mixerSetControlDetails", (HMIXER)m == kHandle && flags == 0 && d->cbStruct == sizeof(MIXERCONTROLDETAILS) &&
                                               d->dwControlID == 0x77 && d->cMultipleItems == 0 && d->cbDetails == 4);
}

MMRESULT WINAPI Close(HMIXER m) { return Enter("mixerClose", m == kHandle); }

const Strings kRound = {"mixerOpen", "mixerGetLineInfoA", "mixerGetLineControlsA", "mixerSetControlDetails",
                        "mixerClose"};

} // namespace

class VolumeTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        mci_ = std::make_unique<rig::MciRecorder>(dll, false);
        fake = {2, 0, 65535, "", "", {}, {}};
        const std::pair<const char*, void*> fakes[] = {{"mixerOpen", (void*)Open},
                                                       {"mixerGetLineInfoA", (void*)LineInfo},
                                                       {"mixerGetLineControlsA", (void*)LineControls},
                                                       {"mixerSetControlDetails", (void*)SetDetails},
                                                       {"mixerClose", (void*)Close}};
        for (auto [name, function] : fakes)
            patches_.push_back(std::make_unique<rig::ImportPatch>(dll, "winmm.dll", name, function));
    }
    void TearDown() override
    {
        EXPECT_EQ(fake.wrong, "");
        patches_.clear();
        mci_.reset();
        PluginTest::TearDown();
    }
    Levels Apply(int volume, int pan)
    {
        mod->SetPan(pan);
        mod->SetVolume(volume);
        return fake.levels;
    }

private:
    std::unique_ptr<rig::MciRecorder> mci_;
    std::vector<std::unique_ptr<rig::ImportPatch>> patches_;
};

TEST_F(VolumeTest, AppliedOnlyWhilePlayingAndAgainAtEveryPlay)
{
    fake.min = 40;
    mod->SetPan(-40);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    // Nothing before Play; one round once the device plays, before the host is told.
    Strings events = {"mci OPEN 0x3202", "mci SET 0x402", "mci STATUS 0x102", "mci PLAY 0x0"};
    events.insert(events.end(), kRound.begin(), kRound.end());
    events.insert(events.end(), {"announce_format(0,44,2,1)", "vis_open(0,44100)"});
    EXPECT_EQ(rig::Events(), events);
    EXPECT_EQ(fake.levels, (Levels{40, 40})) << "no volume set yet: the minimum";
    mod->Stop();
    rig::ClearEvents();
    mod->SetVolume(300);
    mod->SetVolume(-666);
    EXPECT_EQ(rig::CountEvents("mixer"), 0);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    // 300 waited unclamped and is applied as 255; pan -40 lowers the right level only.
    EXPECT_EQ(fake.levels, (Levels{65535, 40 + ((65535 - 40) * ((127 - 40) * 2048 / 127) >> 11)}));
    EXPECT_EQ(Apply(-666, -40), fake.levels) << "-666 changes nothing";
}

TEST_F(VolumeTest, LevelsFollowTheBoundsAndTheLinesChannels)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    struct Case {
        DWORD channels, min, max;
        int volume, pan;
        Levels levels;
    } cases[] = {
        {2, 0, 255, 128, 0, {127, 127}}, {2, 0, 255, 255, 64, {126, 255}}, {2, 0, 255, 255, -64, {255, 126}},
        {2, 0, 65535, 255, 127, {0, 65535}}, {2, 0, 65535, 255, -127, {65535, 0}}, {2, 0, 65535, 0, 0, {0, 0}},
        {2, 0, 65535, 999, 999, {0, 65535}}, {2, 0, 65535, -5, -999, {0, 0}}, {2, 1000, 3000, 255, 0, {3000, 3000}},
        // A range wider than 2^21 does not wrap.
        {2, 0, 0xFFFFFFFF, 255, 0, {0xFFFFFFFF, 0xFFFFFFFF}},
        // One channel: only the left level. More: even ones follow left, odd ones right.
        {1, 0, 255, 255, 64, {126}}, {1, 0, 255, 255, -64, {255}},
        {6, 0, 255, 255, 64, {126, 255, 126, 255, 126, 255}},
        {8, 0, 255, 255, -64, {255, 126, 255, 126, 255, 126, 255, 126}},
        // Beyond eight: one uniform, unpanned level.
        {9, 0, 255, 128, 100, {127}}, {0xFFFFFFFF, 0, 255, 128, 100, {127}},
    };
    for (const Case& c : cases) {
        fake.channels = c.channels, fake.min = c.min, fake.max = c.max;
        EXPECT_EQ(Apply(c.volume, c.pan), c.levels) << c.channels << " " << c.max << " " << c.volume << " " << c.pan;
    }
}

TEST_F(VolumeTest, TheMixerIsClosedOnEveryPathThatOpenedIt)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    for (size_t failing = 0; failing < 4; ++failing) {
        fake.fail = kRound[failing];
        rig::ClearEvents();
        mod->SetVolume(100); // only mixer calls from here
        Strings expected(kRound.begin(), kRound.begin() + failing + 1);
        if (failing > 0)
            expected.push_back("mixerClose");
        EXPECT_EQ(rig::Events(), expected) << fake.fail;
    }
}

// Wine's mixer has no synthesizer line: the application ends there, with the mixer closed.
static int opened, closed;
static void *real_open, *real_close;
static MMRESULT WINAPI CountOpen(LPHMIXER h, UINT id, DWORD_PTR cb, DWORD_PTR instance, DWORD flags)
{
    MMRESULT result = ((decltype(&mixerOpen))real_open)(h, id, cb, instance, flags);
    opened += result == 0;
    return result;
}
static MMRESULT WINAPI CountClose(HMIXER h) { return ++closed, ((decltype(&mixerClose))real_close)(h); }

TEST_F(PluginTest, WinesOwnMixerIsOpenedAndClosedAgain)
{
    std::string path = WriteScale("two.mid", 2);
    rig::ImportPatch open(dll, "winmm.dll", "mixerOpen", (void*)CountOpen);
    rig::ImportPatch close(dll, "winmm.dll", "mixerClose", (void*)CountClose);
    real_open = open.original(), real_close = close.original();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    mod->SetPan(-30);
    mod->Stop();
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(closed, 2);
}
