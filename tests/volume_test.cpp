// Volume and pan against a substituted mixer whose synthesizer line the test shapes (Wine's
// mixer has none), and substituted MIDI outputs whose own volume takes them where the mixer has
// no such line; and once against Wine's own mixer.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

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

// The MIDI outputs the fake offers: "Synth A", "Synth B", ... each with `support` (MIDICAPS_).
struct {
    UINT count;
    DWORD support;
} outputs;

UINT WINAPI NumDevs(void) { return outputs.count; }

template <typename Record>
MMRESULT Caps(UINT_PTR device, Record* caps, UINT size)
{
    if (size != sizeof(Record))
        fake.wrong += "midiOutGetDevCaps size ";
    if (device >= outputs.count && device != (UINT_PTR)MIDI_MAPPER)
        return MMSYSERR_BADDEVICEID;
    *caps = {};
    std::string name = device == (UINT_PTR)MIDI_MAPPER ? "Mapper" : "Synth " + std::string(1, (char)('A' + device));
    std::copy(name.c_str(), name.c_str() + name.size() + 1, caps->szPname);
    caps->dwSupport = outputs.support;
    return MMSYSERR_NOERROR;
}
MMRESULT WINAPI CapsA(UINT_PTR device, LPMIDIOUTCAPSA caps, UINT size) { return Caps(device, caps, size); }
MMRESULT WINAPI CapsW(UINT_PTR device, LPMIDIOUTCAPSW caps, UINT size) { return Caps(device, caps, size); }

std::string OutputVolume(int device, DWORD left, DWORD right)
{
    char event[64];
    snprintf(event, sizeof(event), "midiOutSetVolume(%d,%08lx)", device, (unsigned long)(left | right << 16));
    return event;
}

MMRESULT WINAPI SetOutputVolume(HMIDIOUT device, DWORD volume)
{
    rig::AddEvent(OutputVolume((int)(INT_PTR)device, LOWORD(volume), HIWORD(volume)));
    return 0;
}

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
        outputs = {1, MIDICAPS_VOLUME | MIDICAPS_LRVOLUME};
        const std::pair<const char*, void*> fakes[] = {{"mixerOpen", (void*)Open},
                                                       {"mixerGetLineInfoA", (void*)LineInfo},
                                                       {"mixerGetLineControlsA", (void*)LineControls},
                                                       {"mixerSetControlDetails", (void*)SetDetails},
                                                       {"mixerClose", (void*)Close},
                                                       {"midiOutGetNumDevs", (void*)NumDevs},
                                                       {"midiOutGetDevCapsA", (void*)CapsA},
                                                       {"midiOutGetDevCapsW", (void*)CapsW},
                                                       {"midiOutSetVolume", (void*)SetOutputVolume}};
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

// Without a mixer, or without the line, the MIDI output's volume takes the levels; a line without
// a volume control takes nothing.
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
        if (failing < 2)
            expected.push_back(OutputVolume(0, 0xFFFF * (100 * 2048 / 255) >> 11, 0xFFFF * (100 * 2048 / 255) >> 11));
        EXPECT_EQ(rig::Events(), expected) << fake.fail;
    }
}

// Where the mixer has no synthesizer line (Wine's, and every one since Windows Vista): the levels
// the line would get, as the MIDI output's own volume, 0-0xFFFF a side.
TEST_F(VolumeTest, WithoutTheLineTheOutputsOwnVolumeTakesTheLevelsTheLineWouldGet)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    const std::pair<int, int> settings[] = {{255, 0}, {255, 127}, {255, -127}, {128, 64}, {40, -40}, {0, 0}, {999, -999}};
    for (auto [volume, pan] : settings) {
        fake.fail = "";
        Levels levels = Apply(volume, pan);
        ASSERT_EQ(levels.size(), 2u);
        fake.fail = "mixerGetLineInfoA";
        rig::ClearEvents();
        Apply(volume, pan);
        EXPECT_EQ(rig::Events().back(), OutputVolume(0, levels[0], levels[1])) << volume << " " << pan;
    }
}

// Until the host gives a volume the output's is left as it is (volume 0, which the mixer line
// gets then, would silence the music for a host that never sets one); from then on it is set
// while a file plays, and again at every Play. A mono output gets the unpanned level in both
// words (it reads the low one); one without a volume, nothing.
TEST_F(VolumeTest, TheOutputsVolumeIsLeftAloneUntilTheHostGivesOneAndSetAgainAtEveryPlay)
{
    fake.fail = "mixerGetLineInfoA";
    mod->SetPan(-40);
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    mod->SetPan(20);
    EXPECT_EQ(rig::CountEvents("midiOutSetVolume"), 0);
    mod->SetVolume(255);
    EXPECT_EQ(rig::Events().back(), OutputVolume(0, 0xFFFF * ((127 - 20) * 2048 / 127) >> 11, 0xFFFF));
    mod->Stop();
    rig::ClearEvents();
    mod->SetVolume(128);
    EXPECT_EQ(rig::CountEvents("midiOutSetVolume"), 0) << "nothing while stopped";
    outputs.support = MIDICAPS_VOLUME;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    Strings events = rig::Events();
    auto set = std::find(events.begin(), events.end(), OutputVolume(0, 0xFFFF * 1028 >> 11, 0xFFFF * 1028 >> 11));
    ASSERT_NE(set, events.end());
    EXPECT_GT(set, std::find(events.begin(), events.end(), "mci PLAY 0x0")) << "once the device plays";
    mod->Stop();
    outputs.support = MIDICAPS_STREAM;
    rig::ClearEvents();
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    mod->SetVolume(200);
    EXPECT_EQ(rig::CountEvents("midiOutSetVolume"), 0);
}

// The output the sequencer plays to: the only one; among several, the one the MIDI mapper's
// settings name, as Wine's mapper reads them (Wine's mapper itself drops the volume).
class OutputChoice : public VolumeTest {
protected:
    void SetUp() override
    {
        VolumeTest::SetUp();
        fake.fail = "mixerGetLineInfoA";
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap",
                                  0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  0);
    }
    void TearDown() override
    {
        Clear();
        RegCloseKey(key_);
        VolumeTest::TearDown();
    }
    void Clear()
    {
        for (const char* name : {"szPname", "UseScheme", "CurrentScheme", "CurrentInstrument"})
            RegDeleteValueA(key_, name);
    }
    void Name(const char* value, const char* name) { RegSetValueExA(key_, value, 0, REG_SZ, (const BYTE*)name, strlen(name) + 1); }
    // The device the volume goes to at a Play.
    int Device()
    {
        mod->Stop();
        EXPECT_EQ(mod->Play("C:\\music\\a.mid"), 0);
        mod->SetVolume(255);
        int device = -2;
        sscanf(rig::Events().back().c_str(), "midiOutSetVolume(%d,", &device);
        return device;
    }

    HKEY key_ = nullptr;
};

TEST_F(OutputChoice, TheOnlyOutputOrTheOneTheMappersSettingsName)
{
    Name("szPname", "Synth C");
    outputs.count = 1;
    EXPECT_EQ(Device(), 0) << "the only output";
    outputs.count = 3;
    EXPECT_EQ(Device(), 2) << "szPname by name";
    Name("szPname", "#1");
    EXPECT_EQ(Device(), 1) << "szPname as #n";
    Name("szPname", "Synth Q");
    EXPECT_EQ(Device(), 0) << "a name no output has: the first";
    Clear();
    EXPECT_EQ(Device(), 0) << "no setting: the first";
    Name("CurrentInstrument", "Synth B");
    EXPECT_EQ(Device(), 1) << "CurrentInstrument";
    DWORD on = 1;
    RegSetValueExA(key_, "UseScheme", 0, REG_DWORD, (const BYTE*)&on, sizeof(on));
    EXPECT_EQ(Device(), 1) << "a scheme without its name: CurrentInstrument";
    Name("CurrentScheme", "Two ports");
    EXPECT_EQ(Device(), -1) << "a scheme: the mapper";
    Name("szPname", "Synth C");
    EXPECT_EQ(Device(), 2) << "szPname first";
    outputs.count = 0;
    EXPECT_EQ(Device(), -1) << "no output: the mapper";
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
