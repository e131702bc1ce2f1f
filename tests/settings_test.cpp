// The settings store on real profile files. The folder that "appdata.dll" reports is
// redirected to each test's own folder, so no test writes the machine's settings (one only
// reads them, through the real library); the capture switch is read back through Play:
// does it open an input device?
#include "tests/rig/plugin_rig.h"

#include <cstring>

using rig::PluginTest;

namespace {

// What the folder function gives the plug-in.
enum class FolderSource { kTestFolder, kFailingCall, kNoFunction, kRealLibrary };

struct FolderCall {
    bool empty_on_entry = false;
    unsigned size = 0;
    int result = 0;
    std::string text;
};

FolderSource source = FolderSource::kTestFolder;
std::string reported_folder;
std::vector<FolderCall> folder_calls;
void* real_get_proc_address = nullptr;
void* real_folder_function = nullptr;
int devices_opened = 0;

typedef int(__cdecl* FolderFn)(char*, unsigned);

int __cdecl TestFolderFunction(char* buffer, unsigned size)
{
    FolderCall call;
    call.empty_on_entry = buffer[0] == '\0';
    call.size = size;
    if (source == FolderSource::kRealLibrary) {
        call.result = ((FolderFn)real_folder_function)(buffer, size);
    } else {
        // A failing call may still leave text behind; it must not be taken for a folder.
        strncpy(buffer, reported_folder.c_str(), size - 1);
        buffer[size - 1] = '\0';
        call.result = source == FolderSource::kFailingCall ? -1 : (int)reported_folder.size();
    }
    call.text = buffer;
    folder_calls.push_back(call);
    return call.result;
}

FARPROC WINAPI TestGetProcAddress(HMODULE module, LPCSTR name)
{
    auto real = (FARPROC(WINAPI*)(HMODULE, LPCSTR))real_get_proc_address;
    if (HIWORD(name) == 0 || strcmp(name, "GetCommonAppDataPathA") != 0)
        return real(module, name);
    if (source == FolderSource::kNoFunction)
        return nullptr;
    real_folder_function = (void*)real(module, name);
    return (FARPROC)(void*)TestFolderFunction;
}

MMRESULT WINAPI NoInputDevice(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD)
{
    ++devices_opened;
    return MMSYSERR_NODRIVER;
}

void WriteSample(const std::string& folder, const char* file, const char* value)
{
    ASSERT_TRUE(WritePrivateProfileStringA("Midi File Player", "sample", value, (folder + file).c_str()));
}

} // namespace

class SettingsTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        source = FolderSource::kTestFolder;
        folder_calls.clear();
        reported_folder = Folder().substr(0, Folder().size() - 1); // no trailing backslash
        patch = new rig::ImportPatch(dll, "kernel32.dll", "GetProcAddress", (void*)TestGetProcAddress);
        real_get_proc_address = patch->original();
    }
    void TearDown() override
    {
        delete patch;
        for (auto it = made_folders.rbegin(); it != made_folders.rend(); ++it) {
            DeleteFileA((*it + "\\vesk.ini").c_str());
            DeleteFileA((*it + "\\vesk.in").c_str());
            RemoveDirectoryA(it->c_str());
        }
        PluginTest::TearDown();
    }
    // Whether a Play now opens the input device, that is, whether capture is switched on.
    bool CaptureIsOn()
    {
        rig::MciRecorder mci(dll, false);
        rig::ImportPatch open(dll, "winmm.dll", "waveInOpen", (void*)NoInputDevice);
        int before = devices_opened;
        EXPECT_EQ(mod->Play("C:\\music\\a.mid"), 0);
        mod->Stop();
        return devices_opened > before;
    }
    // Makes a folder of exactly `length` characters inside the test folder.
    std::string MakeFolderOfLength(size_t length)
    {
        std::string path = Folder().substr(0, Folder().size() - 1);
        while (path.size() < length) {
            size_t part = std::min<size_t>(100, length - path.size() - 1);
            path += "\\" + std::string(part, 'd');
            if (CreateDirectoryA(path.c_str(), nullptr))
                made_folders.push_back(path);
            else if (GetLastError() != ERROR_ALREADY_EXISTS)
                ADD_FAILURE() << "cannot make a folder of " << path.size() << " characters";
        }
        return path;
    }

    rig::ImportPatch* patch = nullptr;
    std::vector<std::string> made_folders;
};

TEST_F(SettingsTest, TheSampleKeySwitchesCaptureAndAMissingFileKeepsTheCurrentValue)
{
    EXPECT_TRUE(CaptureIsOn()) << "capture is on before any settings are read";
    mod->LoadSettings();
    EXPECT_TRUE(CaptureIsOn()) << "no file yet";

    WriteSample(Folder(), "vesk.ini", "0");
    mod->LoadSettings();
    EXPECT_FALSE(CaptureIsOn());

    // A second load must find the same file, not one with the name appended twice.
    WriteSample(Folder(), "vesk.ini", "7");
    mod->LoadSettings();
    EXPECT_TRUE(CaptureIsOn()) << "any value but 0 is on";

    WriteSample(Folder(), "vesk.ini", "0");
    mod->LoadSettings();
    ASSERT_TRUE(DeleteFileA((Folder() + "vesk.ini").c_str()));
    WritePrivateProfileStringA("Some Other Player", "sample", "1", (Folder() + "vesk.ini").c_str());
    mod->LoadSettings();
    EXPECT_FALSE(CaptureIsOn()) << "a file without the key keeps the value last read";

    ASSERT_EQ(folder_calls.size(), 5u);
    for (const FolderCall& call : folder_calls) {
        EXPECT_TRUE(call.empty_on_entry);
        EXPECT_EQ(call.size, 260u);
    }
}

// The passes of a file's loop: a whole number read beside "sample", clamped to 0-16; missing or
// unreadable is 2 (not the value last read, and not GetPrivateProfileInt's 0 for "abc", which
// would turn loops off). Read from the variable the plug-in plays by (the link map finds it).
TEST_F(SettingsTest, TheLoopsKeyIsReadBesideTheSampleKeyClampedAndTwoWhenUnreadable)
{
    auto loops = (int*)rig::PluginVariable(dll, "config_loops");
    ASSERT_NE(loops, nullptr) << "no config_loops in the link map";
    EXPECT_EQ(*loops, 2) << "before any settings are read";
    mod->LoadSettings();
    EXPECT_EQ(*loops, 2) << "no file";
    std::string file = Folder() + "vesk.ini";
    const struct {
        const char* text;
        int loops;
    } cases[] = {{"0", 0},   {"1", 1},   {"5", 5},    {"16", 16}, {"17", 16}, {"99999999999999", 16},
                 {"-3", 0},  {" 7 ", 7}, {"+4", 4},   {"007", 7}, {"", 2},    {"two", 2},
                 {"3x", 2},  {"-", 2},   {"4 5", 2}, {"0", 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WritePrivateProfileStringA("Midi File Player", "loops", c.text, file.c_str()));
        *loops = -99;
        mod->LoadSettings();
        EXPECT_EQ(*loops, c.loops) << "loops=" << c.text;
    }
    // The key removed after 0 was read: 2 again. The sample key beside it is read as before.
    ASSERT_TRUE(WritePrivateProfileStringA("Midi File Player", "loops", nullptr, file.c_str()));
    WriteSample(Folder(), "vesk.ini", "0");
    mod->LoadSettings();
    EXPECT_EQ(*loops, 2);
    EXPECT_FALSE(CaptureIsOn());
    // In another section it is not ours.
    ASSERT_TRUE(WritePrivateProfileStringA("Some Other Player", "loops", "0", file.c_str()));
    mod->LoadSettings();
    EXPECT_EQ(*loops, 2);
}

TEST_F(SettingsTest, AFolderThatCannotBeHadLeavesTheSwitchAlone)
{
    WriteSample(Folder(), "vesk.ini", "0");
    source = FolderSource::kNoFunction;
    mod->LoadSettings();
    EXPECT_TRUE(CaptureIsOn());
    source = FolderSource::kFailingCall; // leaves the test folder in the buffer, yet fails
    mod->LoadSettings();
    EXPECT_TRUE(CaptureIsOn());
    EXPECT_EQ(folder_calls.size(), 1u);
}

TEST_F(SettingsTest, AFolderTooLongForTheFileNameIsRefusedNotCut)
{
    // 250 characters and "\vesk.ini" fill the 260-byte path exactly.
    std::string fits = MakeFolderOfLength(250);
    WriteSample(fits, "\\vesk.ini", "0");
    reported_folder = fits;
    mod->LoadSettings();
    EXPECT_FALSE(CaptureIsOn());

    // One more and the name would be cut to "\vesk.in", which must not be read instead.
    WriteSample(fits, "\\vesk.ini", "1");
    mod->LoadSettings();
    ASSERT_TRUE(CaptureIsOn());
    std::string too_long = MakeFolderOfLength(251);
    WriteSample(too_long, "\\vesk.in", "0");
    reported_folder = too_long;
    mod->LoadSettings();
    EXPECT_TRUE(CaptureIsOn());
}

// The input device named beside the switch: read as it stands, cut to a wave device's name
// (31 characters) rather than written past, and kept when the key goes.
TEST_F(SettingsTest, TheSampleDeviceKeyIsReadCutToADeviceNameAndKept)
{
    auto device = (const char*)rig::PluginVariable(dll, "config_sample_device");
    ASSERT_NE(device, nullptr);
    std::string file = Folder() + "vesk.ini";
    WritePrivateProfileStringA("Midi File Player", "sample_device", "Monitor of HDMI", file.c_str());
    mod->LoadSettings();
    EXPECT_STREQ(device, "Monitor of HDMI");
    WritePrivateProfileStringA("Midi File Player", "sample_device", "Monitor of Built-in Audio Analog Stereo", file.c_str());
    mod->LoadSettings();
    EXPECT_STREQ(device, "Monitor of Built-in Audio Analo");
    WritePrivateProfileStringA("Midi File Player", "sample_device", nullptr, file.c_str());
    mod->LoadSettings();
    EXPECT_STREQ(device, "Monitor of Built-in Audio Analo");
}

TEST_F(SettingsTest, ThePlugInFindsTheStandInLibraryBesideTheProgram)
{
    source = FolderSource::kRealLibrary;
    mod->LoadSettings();
    ASSERT_EQ(folder_calls.size(), 1u);
    char expected[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramData", expected, sizeof(expected));
    EXPECT_GE(folder_calls[0].result, 0);
    EXPECT_STRCASEEQ(folder_calls[0].text.c_str(), expected);
}

TEST(AppDataLibrary, ReportsTheCommonFolderAndRefusesABufferTooSmall)
{
    HMODULE library = LoadLibraryA((rig::ProgramFolder() + "appdata.dll").c_str());
    ASSERT_NE(library, nullptr);
    auto folder = (FolderFn)(void*)GetProcAddress(library, "GetCommonAppDataPathA");
    ASSERT_NE(folder, nullptr);

    char path[MAX_PATH];
    int length = folder(path, sizeof(path));
    char expected[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramData", expected, sizeof(expected));
    EXPECT_EQ(length, (int)strlen(expected));
    EXPECT_STRCASEEQ(path, expected);
    EXPECT_NE(GetFileAttributesA(path) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // The buffer ends where an inaccessible page begins: a write past it faults.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    auto pages = (char*)VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old);
    char* tight = pages + system.dwPageSize - length;
    tight[0] = 'x';
    EXPECT_LT(folder(tight, length), 0) << "no room for the terminator";
    EXPECT_EQ(tight[0], '\0');
    EXPECT_LT(folder(tight, 0), 0);
    EXPECT_LT(folder(nullptr, 260), 0);
    VirtualFree(pages, 0, MEM_RELEASE);
    FreeLibrary(library);
}
