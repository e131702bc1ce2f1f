// The real settings dialog and About box under the virtual display: a helper thread finds
// each by its caption once it is up, reads and clicks its controls and closes it.
#include "tests/rig/plugin_rig.h"

#include <cstdio>
#include <memory>
#include <regex>
#include <thread>

using rig::PluginTest;

namespace {

const int kSampleBox = 1000;
const int kPromptBox = 1001;

// What the helper saw of one dialog; checked on the test thread afterwards.
struct Seen {
    bool found = false;
    HWND owner = nullptr;
    LRESULT sample = -1, prompt = -1;             // box states on opening
    LRESULT sample_after = -1, prompt_after = -1; // after the clicks
    std::string text;                             // message text of a message box
};

// Waits (bounded, so a missing dialog fails rather than hangs) for a visible dialog with
// this caption: the dialog manager shows it only once WM_INITDIALOG has run.
HWND WaitForDialog(const char* caption)
{
    for (int i = 0; i < 1000; ++i) {
        HWND found = FindWindowA("#32770", caption);
        if (found != nullptr && IsWindowVisible(found))
            return found;
        Sleep(20);
    }
    return nullptr;
}

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
LRESULT Checked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0); }

// Runs `show` (which returns when its dialog closes) on this thread while `drive` works the
// dialog from a helper thread.
template <class Show, class Drive>
Seen RunDialog(const char* caption, Show show, Drive drive)
{
    Seen seen;
    std::thread helper([&] {
        HWND dialog = WaitForDialog(caption);
        if (dialog == nullptr)
            return;
        seen.found = true;
        seen.owner = GetWindow(dialog, GW_OWNER);
        drive(dialog, seen);
    });
    show();
    helper.join();
    return seen;
}

// Opens the settings, reads both boxes, clicks those named, reads again and leaves with `button`.
Seen DriveSettings(InModule* mod, HWND parent, bool click_sample, bool click_prompt, int button)
{
    return RunDialog("MIDI settings", [&] { mod->ShowSettings(parent); }, [&](HWND dialog, Seen& seen) {
        seen.sample = Checked(dialog, kSampleBox);
        seen.prompt = Checked(dialog, kPromptBox);
        if (click_sample)
            Click(dialog, kSampleBox);
        if (click_prompt)
            Click(dialog, kPromptBox);
        seen.sample_after = Checked(dialog, kSampleBox);
        seen.prompt_after = Checked(dialog, kPromptBox);
        Click(dialog, button);
    });
}

// EndDialog as the plug-in calls it, recorded and passed on.
std::vector<INT_PTR> end_results;
void* real_end_dialog = nullptr;
BOOL WINAPI RecordingEndDialog(HWND dialog, INT_PTR result)
{
    end_results.push_back(result);
    return ((BOOL(WINAPI*)(HWND, INT_PTR))real_end_dialog)(dialog, result);
}

// Profile writes as the plug-in makes them, recorded and sent to a file of the test's own.
struct ProfileWrite {
    std::string section, key, value;
};
std::vector<ProfileWrite> profile_writes;
std::string profile_file;
void* real_write_profile = nullptr;
BOOL WINAPI RedirectedWriteProfile(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR)
{
    profile_writes.push_back({section ? section : "(null)", key ? key : "(null)", value ? value : "(null)"});
    return ((BOOL(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPCSTR))real_write_profile)(section, key, value, profile_file.c_str());
}

class DialogTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        // A hidden top-level window stands for the host's main window as the dialogs' owner.
        parent = CreateWindowA("STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
        end_results.clear();
        profile_writes.clear();
        profile_file = Folder() + "vesk.ini";
    }
    void TearDown() override
    {
        DestroyWindow(parent);
        PluginTest::TearDown();
    }
    // Whether the settings store in this build writes the profile file at all.
    bool StoreWrites() { return rig::Imports(dll, "kernel32.dll", "WritePrivateProfileStringA"); }

    HWND parent = nullptr;
};

} // namespace

TEST_F(DialogTest, OpensShowingTheSettingsAndCancelChangesNothing)
{
    rig::ImportPatch end_dialog(dll, "user32.dll", "EndDialog", (void*)RecordingEndDialog);
    real_end_dialog = end_dialog.original();
    std::unique_ptr<rig::ImportPatch> writes;
    if (StoreWrites()) {
        writes = std::make_unique<rig::ImportPatch>(dll, "kernel32.dll", "WritePrivateProfileStringA",
                                                    (void*)RedirectedWriteProfile);
        real_write_profile = writes->original();
    }

    // A fresh module: capture on, save prompt off.
    Seen first = DriveSettings(mod, parent, true, true, IDCANCEL);
    ASSERT_TRUE(first.found) << "no dialog titled \"MIDI settings\" appeared";
    EXPECT_EQ(first.owner, parent);
    EXPECT_EQ(first.sample, BST_CHECKED);
    EXPECT_EQ(first.prompt, BST_UNCHECKED);
    EXPECT_EQ(first.sample_after, BST_UNCHECKED); // the boxes did take the clicks
    EXPECT_EQ(first.prompt_after, BST_CHECKED);

    // Opening again shows the settings as they were, and the file was not touched.
    Seen again = DriveSettings(mod, parent, false, false, IDCANCEL);
    ASSERT_TRUE(again.found);
    EXPECT_EQ(again.sample, BST_CHECKED);
    EXPECT_EQ(again.prompt, BST_UNCHECKED);
    EXPECT_TRUE(profile_writes.empty());
    EXPECT_EQ(GetFileAttributesA(profile_file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(end_results, (std::vector<INT_PTR>{1, 1}));
}

TEST_F(DialogTest, OkTakesBothBoxesForTheRestOfTheModulesLife)
{
    rig::ImportPatch end_dialog(dll, "user32.dll", "EndDialog", (void*)RecordingEndDialog);
    real_end_dialog = end_dialog.original();

    Seen changed = DriveSettings(mod, parent, true, true, IDOK);
    ASSERT_TRUE(changed.found);
    Seen reopened = DriveSettings(mod, parent, true, true, IDOK);
    ASSERT_TRUE(reopened.found);
    EXPECT_EQ(reopened.sample, BST_UNCHECKED);
    EXPECT_EQ(reopened.prompt, BST_CHECKED);
    Seen back = DriveSettings(mod, parent, false, false, IDCANCEL);
    EXPECT_EQ(back.sample, BST_CHECKED);
    EXPECT_EQ(back.prompt, BST_UNCHECKED);
    EXPECT_EQ(end_results, (std::vector<INT_PTR>{1, 1, 1}));
}

TEST_F(DialogTest, OkWritesTheCaptureSwitchAndNothingForThePrompt)
{
    if (!StoreWrites())
        GTEST_SKIP() << "this build's settings store does not write the settings file yet";
    rig::ImportPatch writes(dll, "kernel32.dll", "WritePrivateProfileStringA", (void*)RedirectedWriteProfile);
    real_write_profile = writes.original();
    mod->LoadSettings(); // the store writes to the file that loading located

    Seen seen = DriveSettings(mod, parent, true, true, IDOK);
    ASSERT_TRUE(seen.found);
    const char* want = seen.sample_after == BST_CHECKED ? "1" : "0";
    ASSERT_EQ(profile_writes.size(), 1u);
    EXPECT_EQ(profile_writes[0].section, "Midi File Player");
    EXPECT_EQ(profile_writes[0].key, "sample");
    EXPECT_EQ(profile_writes[0].value, want);

    char value[16] = "";
    GetPrivateProfileStringA("Midi File Player", "sample", "", value, sizeof(value), profile_file.c_str());
    EXPECT_STREQ(value, want);
    char keys[256] = "";
    DWORD n = GetPrivateProfileStringA("Midi File Player", nullptr, "", keys, sizeof(keys), profile_file.c_str());
    EXPECT_EQ(std::string(keys, n), std::string("sample\0", 7)) << "the save prompt must not be stored";
}

TEST_F(DialogTest, AboutShowsDescriptionNoticeAndBuildStamp)
{
    Seen seen = RunDialog("About", [&] { mod->ShowAbout(parent); }, [](HWND box, Seen& seen) {
        char text[512] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof(text)); // a message box's text
        seen.text = text;
        Click(box, GetDlgItem(box, IDOK) != nullptr ? IDOK : IDCANCEL);
    });
    ASSERT_TRUE(seen.found) << "no message box titled \"About\" appeared";
    EXPECT_EQ(seen.owner, parent);
    std::regex three_lines("Tessarin MIDI plug-in v0\\.60 \\(x86\\)\n"
                           "Copyright \\(c\\) [^\n]+\n"
                           "Built on (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([1-9]|[12][0-9]|3[01]) "
                           "[0-9]{4} at ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]");
    EXPECT_TRUE(std::regex_match(seen.text, three_lines)) << seen.text;
}

TEST_F(DialogTest, PlayerShowsTheDialogsFromItsCommandLine)
{
    for (const char* which : {"--settings", "--about"}) {
        bool settings = which[2] == 's';
        int code = -1;
        std::string output;
        Seen seen = RunDialog(
            settings ? "MIDI settings" : "About",
            [&] { code = rig::RunProgram("\"" + rig::ProgramFolder() + "player.exe\" " + which, &output, 60000); },
            [&](HWND dialog, Seen&) { Click(dialog, settings ? IDCANCEL : IDOK); });
        EXPECT_TRUE(seen.found) << which << ": " << output;
        EXPECT_EQ(code, 0) << which << ": " << output;
    }
}
