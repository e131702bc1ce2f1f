// Volume and pan against a substituted mixer whose synthesizer line the test shapes (Wine's
// mixer has none), and once against Wine's own mixer.
#include "tests/rig/plugin_rig.h"

#include <cstdio>
#include <memory>

using rig::MciRecorder;
using rig::PluginTest;

namespace {

const HMIXER kHandle = (HMIXER)0x4D1;
const DWORD kLineId = 0x00010004;
const DWORD kControlId = 0x77;

// The mixer the plug-in sees: one synthesizer line with a volume control.
struct FakeMixer {
    DWORD channels = 2;
    DWORD min = 0;
    DWORD max = 65535;
    MMRESULT open_result = 0, line_result = 0, controls_result = 0, set_result = 0;
    // What reached mixerSetControlDetails, copied as the system would read it.
    MIXERCONTROLDETAILS details = {};
    std::vector<DWORD> levels;
    int records_wrong = 0; // a record the plug-in passed differed from the expected one
};
FakeMixer fake;

void Check(bool ok, const char* what)
{
    if (!ok) {
        ++fake.records_wrong;
        rig::AddEvent(std::string("wrong ") + what);
    }
}

bool AllZero(const void* from, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        if (((const BYTE*)from)[i] != 0)
            return false;
    return true;
}

MMRESULT WINAPI FakeOpen(LPHMIXER handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    rig::AddEvent("mixerOpen");
    Check(handle != nullptr && id == 0 && callback == 0 && instance == 0 && flags == MIXER_OBJECTF_MIXER, "open");
    if (fake.open_result == 0)
        *handle = kHandle;
    return fake.open_result;
}

MMRESULT WINAPI FakeLineInfo(HMIXEROBJ mixer, LPMIXERLINEA line, DWORD flags)
{
    rig::AddEvent("mixerGetLineInfoA");
    Check((HMIXER)mixer == kHandle && flags == 3, "line flags");
    Check(line->cbStruct == 168 && line->dwDestination == 0 && line->dwComponentType == 0x1004, "line record");
    MIXERLINEA rest = *line;
    rest.cbStruct = rest.dwDestination = rest.dwComponentType = 0;
    Check(AllZero(&rest, sizeof(rest)), "line record zeroed");
    if (fake.line_result != 0)
        return fake.line_result;
    line->dwLineID = kLineId;
    line->cChannels = fake.channels;
    return 0;
}

MMRESULT WINAPI FakeLineControls(HMIXEROBJ mixer, LPMIXERLINECONTROLSA controls, DWORD flags)
{
    rig::AddEvent("mixerGetLineControlsA");
    Check((HMIXER)mixer == kHandle && flags == 2, "controls flags");
    Check(controls->cbStruct == 24 && controls->dwLineID == kLineId && controls->dwControlType == 0x50030001 &&
              controls->cControls == 1 && controls->cbmxctrl == 148 && controls->pamxctrl != nullptr,
          "controls record");
    if (fake.controls_result != 0)
        return fake.controls_result;
    Check(AllZero(controls->pamxctrl, 148), "control record zeroed");
    MIXERCONTROLA* control = controls->pamxctrl;
    control->cbStruct = 148;
    control->dwControlID = kControlId;
    control->dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control->Bounds.dwMinimum = fake.min;
    control->Bounds.dwMaximum = fake.max;
    return 0;
}

MMRESULT WINAPI FakeSetDetails(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    rig::AddEvent("mixerSetControlDetails");
    Check((HMIXER)mixer == kHandle && flags == 0, "details flags");
    fake.details = *details;
    fake.levels.clear();
    // Read what the system would read: cChannels values of cbDetails bytes.
    for (DWORD i = 0; i < details->cChannels; ++i)
        fake.levels.push_back(((const MIXERCONTROLDETAILS_UNSIGNED*)details->paDetails)[i].dwValue);
    return fake.set_result;
}

MMRESULT WINAPI FakeClose(HMIXER mixer)
{
    rig::AddEvent("mixerClose");
    Check(mixer == kHandle, "close handle");
    return 0;
}

using Strings = std::vector<std::string>;
const Strings kFullRound = {"mixerOpen", "mixerGetLineInfoA", "mixerGetLineControlsA", "mixerSetControlDetails",
                            "mixerClose"};

} // namespace

class VolumeTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        fake = FakeMixer();
        mci_ = std::make_unique<MciRecorder>(dll, false);
        patches_.push_back(std::make_unique<rig::ImportPatch>(dll, "winmm.dll", "mixerOpen", (void*)FakeOpen));
        patches_.push_back(std::make_unique<rig::ImportPatch>(dll, "winmm.dll", "mixerGetLineInfoA", (void*)FakeLineInfo));
        patches_.push_back(
            std::make_unique<rig::ImportPatch>(dll, "winmm.dll", "mixerGetLineControlsA", (void*)FakeLineControls));
        patches_.push_back(
            std::make_unique<rig::ImportPatch>(dll, "winmm.dll", "mixerSetControlDetails", (void*)FakeSetDetails));
        patches_.push_back(std::make_unique<rig::ImportPatch>(dll, "winmm.dll", "mixerClose", (void*)FakeClose));
    }
    void TearDown() override
    {
        EXPECT_EQ(fake.records_wrong, 0);
        patches_.clear();
        mci_.reset();
        PluginTest::TearDown();
    }
    // Events from the mixer only.
    Strings MixerEvents()
    {
        Strings out;
        for (const std::string& e : rig::Events())
            if (e.compare(0, 5, "mixer") == 0 || e.compare(0, 5, "wrong") == 0)
                out.push_back(e);
        return out;
    }
    // Applies volume and pan and returns the levels the mixer received.
    std::vector<DWORD> Apply(int v, int p)
    {
        mod->SetPan(p);
        mod->SetVolume(v);
        return fake.levels;
    }

private:
    std::unique_ptr<MciRecorder> mci_;
    std::vector<std::unique_ptr<rig::ImportPatch>> patches_;
};

using Levels = std::vector<DWORD>;

TEST_F(VolumeTest, NothingReachesTheMixerUntilPlayAppliesTheStoredValues)
{
    mod->SetVolume(300);
    mod->SetPan(-40);
    mod->SetVolume(-666);
    EXPECT_TRUE(MixerEvents().empty());

    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    // 300 waited unclamped and is applied as 255.
    EXPECT_EQ(MixerEvents(), kFullRound);
    EXPECT_EQ(fake.details.cbStruct, 24u);
    EXPECT_EQ(fake.details.dwControlID, kControlId);
    EXPECT_EQ(fake.details.cChannels, 2u);
    EXPECT_EQ(fake.details.cMultipleItems, 0u);
    EXPECT_EQ(fake.details.cbDetails, 4u);
    EXPECT_EQ(fake.levels, (Levels{65535, 44863}));

    mod->Stop();
    rig::ClearEvents();
    mod->SetVolume(10);
    mod->SetPan(10);
    EXPECT_TRUE(MixerEvents().empty());
}

TEST_F(VolumeTest, PlayBeforeAnyVolumeGoesToTheMinimum)
{
    fake.min = 40;
    fake.max = 1040;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(fake.levels, (Levels{40, 40}));
    // -666 re-applies what is stored and changes nothing.
    mod->SetVolume(255);
    mod->SetVolume(-666);
    EXPECT_EQ(fake.levels, (Levels{1040, 1040}));
    EXPECT_EQ(rig::CountEvents("mixerSetControlDetails"), 3);
}

TEST_F(VolumeTest, LevelsFollowTheControlBounds)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    fake.max = 255;
    EXPECT_EQ(Apply(128, 0), (Levels{127, 127}));
    EXPECT_EQ(Apply(255, 64), (Levels{126, 255}));
    EXPECT_EQ(Apply(255, -64), (Levels{255, 126}));
    fake.max = 65535;
    EXPECT_EQ(Apply(255, 0), (Levels{65535, 65535}));
    EXPECT_EQ(Apply(0, 0), (Levels{0, 0}));
    EXPECT_EQ(Apply(255, 127), (Levels{0, 65535}));
    EXPECT_EQ(Apply(255, -127), (Levels{65535, 0}));
    // Out-of-range values are clamped.
    EXPECT_EQ(Apply(1000, 900), (Levels{0, 65535}));
    EXPECT_EQ(Apply(-5, -900), (Levels{0, 0}));
    fake.min = 1000;
    fake.max = 3000;
    EXPECT_EQ(Apply(255, 0), (Levels{3000, 3000}));
    EXPECT_EQ(Apply(0, 0), (Levels{1000, 1000}));
    // A range wider than 2^21 does not wrap.
    fake.min = 0;
    fake.max = 0xFFFFFFFF;
    EXPECT_EQ(Apply(255, 0), (Levels{0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(Apply(128, 0), (Levels{1028u * 0xFFFFFFFFull >> 11, 1028u * 0xFFFFFFFFull >> 11}));
}

TEST_F(VolumeTest, LinesOfOneTwoAndMoreChannels)
{
    fake.max = 255;
    fake.channels = 1;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    // One channel: only the left level counts.
    EXPECT_EQ(Apply(255, 64), (Levels{126}));
    EXPECT_EQ(Apply(255, -64), (Levels{255}));
    EXPECT_EQ(fake.details.cChannels, 1u);

    fake.channels = 6;
    EXPECT_EQ(Apply(255, 64), (Levels{126, 255, 126, 255, 126, 255}));
    fake.channels = 8;
    EXPECT_EQ(Apply(255, -64), (Levels{255, 126, 255, 126, 255, 126, 255, 126}));
    // More channels than the levels the plug-in holds: one uniform, unpanned level.
    for (DWORD channels : {DWORD(9), DWORD(64), DWORD(0xFFFFFFFF)}) {
        fake.channels = channels;
        EXPECT_EQ(Apply(128, 100), (Levels{127})) << channels;
        EXPECT_EQ(fake.details.cChannels, 1u);
    }
}

TEST_F(VolumeTest, TheMixerIsClosedOnEveryPathThatOpenedIt)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    fake.open_result = MMSYSERR_BADDEVICEID;
    rig::ClearEvents();
    mod->SetVolume(100);
    EXPECT_EQ(MixerEvents(), (Strings{"mixerOpen"}));
    fake.open_result = 0;

    fake.line_result = MIXERR_INVALLINE;
    rig::ClearEvents();
    mod->SetVolume(100);
    EXPECT_EQ(MixerEvents(), (Strings{"mixerOpen", "mixerGetLineInfoA", "mixerClose"}));
    fake.line_result = 0;

    fake.controls_result = MIXERR_INVALCONTROL;
    rig::ClearEvents();
    mod->SetPan(5);
    EXPECT_EQ(MixerEvents(), (Strings{"mixerOpen", "mixerGetLineInfoA", "mixerGetLineControlsA", "mixerClose"}));
    fake.controls_result = 0;

    fake.set_result = MMSYSERR_INVALPARAM;
    rig::ClearEvents();
    mod->SetPan(5);
    EXPECT_EQ(MixerEvents(), kFullRound);
}

// Wine's mixer (through PulseAudio) has no synthesizer line: the application ends there,
// quietly, with the mixer closed again.
static int real_opens = 0, real_closes = 0;
static void* real_open = nullptr;
static void* real_close = nullptr;
static MMRESULT WINAPI CountingOpen(LPHMIXER h, UINT id, DWORD_PTR cb, DWORD_PTR inst, DWORD flags)
{
    MMRESULT result = ((decltype(&mixerOpen))real_open)(h, id, cb, inst, flags);
    real_opens += result == 0;
    return result;
}
static MMRESULT WINAPI CountingClose(HMIXER h)
{
    ++real_closes;
    return ((decltype(&mixerClose))real_close)(h);
}

TEST_F(PluginTest, OnWinesMixerTheVolumeEndsQuietlyWithTheMixerClosed)
{
    std::string path = WriteScale("two.mid", 2);
    rig::ImportPatch open(dll, "winmm.dll", "mixerOpen", (void*)CountingOpen);
    rig::ImportPatch close(dll, "winmm.dll", "mixerClose", (void*)CountingClose);
    real_open = open.original();
    real_close = close.original();
    ASSERT_EQ(mod->Play(path.c_str()), 0);
    mod->SetVolume(200);
    mod->SetPan(-30);
    mod->Stop();
    EXPECT_EQ(real_opens, real_closes);
}
