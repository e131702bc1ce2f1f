// File information: titles (also under code page 932), lengths from a device of its own
// beside the playing one, and guard pages behind the title buffer and the names passed in.
#include "tests/rig/plugin_rig.h"

#include <cstring>

#include "playback/file_info.h"

using rig::MciRecorder;
using rig::PluginTest;
using Strings = std::vector<std::string>;

// `size` bytes that end where a PAGE_NOACCESS page begins: a write or read past them faults.
class Guarded {
public:
    explicit Guarded(size_t size)
    {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        size_t page = system.dwPageSize;
        size_t usable = (size + page - 1) / page * page;
        base_ = (char*)VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old;
        VirtualProtect(base_ + usable, page, PAGE_NOACCESS, &old);
        data = base_ + usable - size;
        memset(data, 'x', size);
    }
    // A text whose terminator is the last byte before the guard page.
    explicit Guarded(const std::string& text) : Guarded(text.size() + 1) { memcpy(data, text.c_str(), text.size() + 1); }
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    char* data;

private:
    char* base_;
};

static std::vector<std::string> Names(const std::vector<rig::MciCall>& calls)
{
    std::vector<std::string> names;
    for (const rig::MciCall& c : calls)
        names.push_back(rig::MciName(c.command));
    return names;
}

static std::string Title(InModule* mod, const std::string& name)
{
    Guarded title(kTitleCapacity);
    Guarded text(name);
    mod->GetFileInfo(text.data, title.data, nullptr);
    return title.data;
}

TEST_F(PluginTest, TitleIsTheNameWithoutItsFolderAndNeedsNoDevice)
{
    MciRecorder mci(dll, false);
    EXPECT_EQ(Title(mod, "C:\\music\\song.mid"), "song.mid");
    EXPECT_EQ(Title(mod, "http://example.com/midi/tune.mid"), "tune.mid");
    EXPECT_EQ(Title(mod, "C:/music\\mixed/last.MID"), "last.MID");
    EXPECT_EQ(Title(mod, "bare.mid"), "bare.mid");
    EXPECT_EQ(Title(mod, "C:\\music\\"), "");
    EXPECT_EQ(Title(mod, "\\"), "");
    EXPECT_EQ(Title(mod, "x"), "x");

    char title[8] = "keep";
    int length = 7;
    mod->GetFileInfo(nullptr, title, &length);
    EXPECT_STREQ(title, "keep");
    EXPECT_EQ(length, 7);
    mod->GetFileInfo("C:\\music\\song.mid", nullptr, nullptr);
    mod->GetFileInfo("", nullptr, nullptr);
    EXPECT_TRUE(mci.Calls().empty()) << "no length asked, no device opened";
}

TEST_F(PluginTest, LengthOfAnotherFileComesFromADeviceOfItsOwn)
{
    MciRecorder mci(dll, false);
    ASSERT_EQ(mod->Play("C:\\music\\playing.mid"), 0); // device 7, 4000 ms
    mci.Clear();
    mci.next_device = 9;
    mci.fake_length = 2500;

    char title[kTitleCapacity];
    int length = 0;
    mod->GetFileInfo("C:\\music\\other.mid", title, &length);
    EXPECT_EQ(length, 2500);
    EXPECT_STREQ(title, "other.mid");
    auto calls = mci.Calls();
    ASSERT_EQ(Names(calls), (Strings{"OPEN", "SET", "STATUS", "CLOSE"}));
    EXPECT_EQ(calls[0].device, 0u);
    EXPECT_EQ(calls[0].flags, DWORD_PTR(0x3202));
    EXPECT_EQ(calls[0].words[2], DWORD(MCI_DEVTYPE_SEQUENCER));
    EXPECT_EQ(calls[0].element, "C:\\music\\other.mid");
    EXPECT_EQ(calls[1].flags, DWORD_PTR(0x402));
    EXPECT_EQ(calls[1].words[1], DWORD(MCI_FORMAT_MILLISECONDS));
    EXPECT_EQ(calls[2].flags, DWORD_PTR(0x102));
    EXPECT_EQ(calls[2].words[2], DWORD(MCI_STATUS_LENGTH));
    EXPECT_EQ(calls[3].flags, DWORD_PTR(MCI_WAIT));
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(calls[i].device, 9u) << i;

    // The playing file keeps its length, title and device.
    mod->GetFileInfo("", title, &length);
    EXPECT_EQ(length, 4000);
    EXPECT_STREQ(title, "playing.mid");
    EXPECT_EQ(mod->GetLength(), 4000);
    mci.Clear();
    mod->Pause();
    ASSERT_EQ(mci.Calls().size(), 1u);
    EXPECT_EQ(mci.Calls()[0].device, 7u);

    // A failing time format is ignored; a failing length query reports -1000 and still
    // closes; a refused open sends nothing more.
    mci.Fail(MCI_SET, MCIERR_UNSUPPORTED_FUNCTION);
    mod->GetFileInfo("C:\\music\\other.mid", nullptr, &length);
    EXPECT_EQ(length, 2500);
    mci.Fail(MCI_STATUS, MCIERR_UNSUPPORTED_FUNCTION);
    mci.Clear();
    mod->GetFileInfo("C:\\music\\other.mid", nullptr, &length);
    EXPECT_EQ(length, kUnknownLength);
    EXPECT_EQ(Names(mci.Calls()), (Strings{"OPEN", "SET", "STATUS", "CLOSE"}));
    mci.Fail(MCI_OPEN, MCIERR_FILE_NOT_FOUND);
    mci.Clear();
    mod->GetFileInfo("C:\\music\\gone.mid", title, &length);
    EXPECT_EQ(length, kUnknownLength);
    EXPECT_STREQ(title, "gone.mid");
    EXPECT_EQ(Names(mci.Calls()), (Strings{"OPEN"}));
}

TEST_F(PluginTest, RealSequencerAnswersForOtherFilesWhileOnePlays)
{
    std::string playing = WriteScale("long.mid", 40); // 20 s: still playing at the end
    std::string other = WriteScale("three.mid", 6);
    std::string text = WriteBytes("notes.mid", "not a MIDI file\n");
    MciRecorder mci(dll, true);
    ASSERT_EQ(mod->Play(playing.c_str()), 0);
    MCIDEVICEID device = mci.Calls()[1].device;
    mci.Clear();

    char title[kTitleCapacity];
    int length = 0;
    mod->GetFileInfo(other.c_str(), title, &length);
    EXPECT_EQ(length, 3000);
    EXPECT_STREQ(title, "three.mid");
    auto calls = mci.Calls();
    ASSERT_EQ(Names(calls), (Strings{"OPEN", "SET", "STATUS", "CLOSE"}));
    for (int i : {1, 2, 3})
        EXPECT_NE(calls[i].device, device) << i;

    // MCI would refuse the playing file under its own name (it is the open device's alias):
    // its known length is reported instead, whatever the case of the name.
    mci.Clear();
    std::string upper = playing;
    CharUpperA(upper.data());
    for (const std::string& name : {playing, upper}) {
        mod->GetFileInfo(name.c_str(), title, &length);
        EXPECT_EQ(length, 20000) << name;
    }
    EXPECT_TRUE(mci.Calls().empty());

    for (const std::string& bad : {text, Folder() + "missing.mid", std::string("http://127.0.0.1:9/songs/tune.mid")}) {
        mci.Clear();
        mod->GetFileInfo(bad.c_str(), title, &length);
        EXPECT_EQ(length, kUnknownLength) << bad;
        EXPECT_EQ(Names(mci.Calls()), (Strings{"OPEN"})) << bad;
    }
    EXPECT_STREQ(title, "tune.mid");

    mod->GetFileInfo("", title, &length);
    EXPECT_EQ(length, 20000);
    EXPECT_STREQ(title, "long.mid");
    EXPECT_EQ(mod->GetLength(), 20000);
    // The playing device is still open and playing.
    MCI_STATUS_PARMS status = {};
    status.dwItem = MCI_STATUS_MODE;
    EXPECT_EQ(mciSendCommandA(device, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status), 0u);
    EXPECT_EQ(status.dwReturn, DWORD_PTR(MCI_MODE_PLAY));
    mod->Stop();
}

TEST_F(PluginTest, LongTitlesAreCutAtTheCapacityWithNothingWrittenPastIt)
{
    for (size_t size : {size_t(258), size_t(259), size_t(260), size_t(5000)}) {
        std::string title = Title(mod, "C:\\music\\" + std::string(size, 't'));
        EXPECT_EQ(title, std::string(size < kTitleCapacity ? size : kTitleCapacity - 1, 't')) << size;
    }
}

TEST_F(PluginTest, TitleOfTheCurrentFileStaysBoundedWhateverNamePlayReceived)
{
    MciRecorder mci(dll, false);
    Guarded title(kTitleCapacity);
    int length = 0;

    std::string fits = "C:\\" + std::string(1023 - 12, 'd') + "\\song.mid";
    ASSERT_EQ(fits.size(), 1023u);
    ASSERT_EQ(mod->Play(Guarded(fits).data), 0);
    mod->GetFileInfo("", title.data, &length);
    EXPECT_STREQ(title.data, "song.mid");
    EXPECT_EQ(length, 4000);
    mod->Stop();

    // Names of 1023, 1024 and several thousand bytes without a separator after the drive:
    // the title is at most the capacity, whatever current_path kept.
    for (size_t size : {size_t(1023), size_t(1024), size_t(6000)}) {
        std::string name = "C:\\" + std::string(size - 3, 'n');
        mod->Play(Guarded(name).data);
        mod->GetFileInfo("", title.data, &length);
        EXPECT_EQ(std::string(title.data), std::string(kTitleCapacity - 1, 'n')) << size;
        mod->Stop();
    }
}

// Under code page 932 (run with LC_ALL=ja_JP.UTF-8, see tests/CMakeLists.txt) the walk
// goes by Shift-JIS characters: 0x95 0x5C and 0x83 0x5C are single characters whose second
// byte is a backslash.
class Cp932 : public PluginTest {
protected:
    void SetUp() override
    {
        char wanted[32] = "";
        GetEnvironmentVariableA("LC_ALL", wanted, sizeof(wanted));
        if (GetACP() != 932) {
            if (strncmp(wanted, "ja_JP", 5) == 0)
                FAIL() << "LC_ALL=" << wanted << " but the code page is " << GetACP();
            GTEST_SKIP() << "needs code page 932";
        }
        PluginTest::SetUp();
    }
};

TEST_F(Cp932, TrailBytesThatLookLikeBackslashesDoNotSplitTheTitle)
{
    EXPECT_EQ(Title(mod, "C:\\\x95\x5C\\\x95\x5C\x83\x5C.mid"), "\x95\x5C\x83\x5C.mid");
    EXPECT_EQ(Title(mod, "C:\\music\\\x83\x5C"), "\x83\x5C");
    EXPECT_EQ(Title(mod, "\x95\x5C"), "\x95\x5C");
    EXPECT_EQ(Title(mod, "C:\\\x95\x5C\\"), "");
    EXPECT_EQ(Title(mod, "http://example.jp/\x95\x5C/\x83\x5C\x95\x5C.mid"), "\x83\x5C\x95\x5C.mid");
}

TEST_F(Cp932, ALongTitleIsCutBetweenCharacters)
{
    std::string chars;
    for (int i = 0; i < 200; ++i)
        chars += "\x95\x5C";
    // "ab" and 128 characters fill 258 bytes; the 129th would need bytes 259 and 260.
    EXPECT_EQ(Title(mod, "C:\\ab" + chars), "ab" + chars.substr(0, 256));
    EXPECT_EQ(Title(mod, "C:\\a" + chars), "a" + chars.substr(0, 258));
}
