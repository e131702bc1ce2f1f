// Streamed files: URLs retrieved from the loopback web server through the player's download
// service, temporary files, and the save prompt (substituted, and once Wine's real dialog).
#include "tests/rig/plugin_rig.h"

#include <commdlg.h>
#include <dlgs.h>

#include <set>

#include "hostlib/download.h"
#include "tools/midi_writer.h"

struct DownloadCall {
    HWND window;
    std::string url, target, status;
};
static std::vector<DownloadCall> downloads;

static int __cdecl RecordingDownload(HWND window, const char* url, const char* target, const char* status)
{
    downloads.push_back({window, url, target, status});
    return hostlib::Download(window, url, target, status);
}

// The substituted save dialog: checks the record, keeps the proposal, answers `choose`
// (empty: the user cancels).
static std::string proposed, choose;
static HWND owner;

static BOOL WINAPI FakeGetSaveFileNameA(OPENFILENAMEA* d)
{
    EXPECT_EQ(d->lStructSize, sizeof(OPENFILENAME_NT4A)); // 76 bytes in the 32-bit form
    EXPECT_EQ(d->hwndOwner, owner);
    EXPECT_EQ(d->hInstance, nullptr);
    EXPECT_EQ(std::string(d->lpstrFilter, 15), std::string("All files\0*.*\0\0", 15));
    EXPECT_EQ(d->lpstrCustomFilter, nullptr);
    EXPECT_EQ(d->nMaxCustFilter + d->nFilterIndex + d->nMaxFileTitle, 0u);
    EXPECT_EQ(d->nMaxFile, 259u);
    EXPECT_EQ(d->lpstrFileTitle, nullptr);
    EXPECT_EQ(d->lpstrInitialDir, nullptr);
    EXPECT_STREQ(d->lpstrTitle, "Save MIDI");
    EXPECT_EQ(d->Flags, DWORD(0x80006));
    EXPECT_STREQ(d->lpstrDefExt, "mid");
    EXPECT_EQ(d->lCustData, 0);
    EXPECT_EQ(d->lpfnHook, nullptr);
    EXPECT_EQ(d->lpTemplateName, nullptr);
    proposed = d->lpstrFile;
    return !choose.empty() && lstrcpynA(d->lpstrFile, choose.c_str(), d->nMaxFile) != nullptr;
}

static bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

static std::string TempFolder()
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    return folder;
}

// The plug-in's temporary files ("mid*.tmp") now in the temporary folder.
static std::set<std::string> TempFiles()
{
    std::set<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((TempFolder() + "mid*.tmp").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
        files.insert(found.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return files;
}

class StreamingTest : public rig::PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        const char* port = getenv("TEST_HTTP_PORT");
        const char* root = getenv("TEST_HTTP_ROOT");
        if (port == nullptr || root == nullptr)
            GTEST_SKIP() << "no loopback web server: run through tools/test.sh";
        base_url = std::string("http://127.0.0.1:") + port + "/";
        www = std::string("Z:") + root + "/"; // Wine's drive Z: is the Unix root
        for (char& c : www)
            c = c == '/' ? '\\' : c;
        downloads.clear();
        proposed = choose = "";
        owner = window;
        rig::download_service_answer = (LRESULT)RecordingDownload;
        prompt_to_save = (int*)rig::PluginVariable(dll, "prompt_to_save");
        ASSERT_NE(prompt_to_save, nullptr);
        temp_before = TempFiles();
    }

    void TearDown() override
    {
        if (!www.empty())
            EXPECT_EQ(TempFiles(), temp_before) << "a temporary file was left behind";
        for (const std::string& name : served)
            DeleteFileA((www + name).c_str());
        PluginTest::TearDown();
    }

    // Puts a file on the web server; returns its name there.
    std::string Serve(const std::string& name, const std::string& bytes)
    {
        served.push_back(std::to_string(GetCurrentProcessId()) + "_" + name);
        FILE* f = fopen((www + served.back()).c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return served.back();
    }
    std::string ServeScale(const std::string& name)
    {
        std::vector<uint8_t> bytes = EncodeMidi(ScaleSong(2));
        return Serve(name, std::string(bytes.begin(), bytes.end()));
    }

    std::string base_url, www;
    std::vector<std::string> served;
    std::set<std::string> temp_before;
    int* prompt_to_save = nullptr;
};

TEST_F(StreamingTest, UrlIsDownloadedIntoATemporaryFilePlayedAndDeletedAtStop)
{
    std::string url = base_url + ServeScale("tune.mid") + "?take=1&name=a%20b";
    ASSERT_EQ(mod->Play(url.c_str()), 0);
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].window, window);
    EXPECT_EQ(downloads[0].url, url);
    EXPECT_EQ(downloads[0].status, "Retrieving MIDI file");
    EXPECT_EQ(downloads[0].target.rfind(TempFolder() + "mid", 0), 0u) << downloads[0].target;
    EXPECT_EQ(mod->GetLength(), 1000) << "the real sequencer plays the downloaded copy";
    EXPECT_TRUE(Exists(downloads[0].target));
    mod->Stop();
    EXPECT_FALSE(Exists(downloads[0].target));
}

TEST_F(StreamingTest, UnavailableUrlsReturnMinusOneAndLeaveNoFile)
{
    std::string tune = ServeScale("whole.mid");
    // Not found, refused (nothing serves port 1), and a body cut short.
    for (std::string url : {base_url + "missing.mid", std::string("http://127.0.0.1:1/a.mid"), base_url + "short/" + tune}) {
        downloads.clear();
        EXPECT_EQ(mod->Play(url.c_str()), -1) << url;
        ASSERT_EQ(downloads.size(), 1u);
        EXPECT_FALSE(Exists(downloads[0].target)) << url;
    }
    // No download service: nothing is created.
    for (LRESULT answer : {0, 1}) {
        rig::download_service_answer = answer;
        EXPECT_EQ(mod->Play((base_url + tune).c_str()), -1);
    }
    EXPECT_EQ(downloads.size(), 1u);
    EXPECT_EQ(rig::CountEvents("vis_open"), 0);
    mod->Stop();
}

TEST_F(StreamingTest, RefusedDownloadStaysUntilStopOrTheNextPlay)
{
    std::string text = base_url + Serve("notes.mid", "this is not a MIDI file\n");
    EXPECT_EQ(mod->Play(text.c_str()), 1);
    EXPECT_TRUE(Exists(downloads.back().target));
    mod->Stop();
    EXPECT_FALSE(Exists(downloads.back().target));

    // With no Stop in between, the next Play removes the forgotten temporary copy.
    EXPECT_EQ(mod->Play(text.c_str()), 1);
    EXPECT_EQ(mod->Play(WriteScale("local.mid", 2).c_str()), 0);
    EXPECT_FALSE(Exists(downloads.back().target));
    mod->Stop();
}

TEST_F(StreamingTest, OnlyAColonFollowedByTwoSlashesMakesAUrl)
{
    rig::MciRecorder mci(dll, false);
    rig::download_service_answer = 0;
    for (const char* local : {"C:\\music\\a.mid", "a.mid", "C:/music/a.mid", "C:\\x://a.mid"})
        EXPECT_EQ(mod->Play(local), 0) << local;
    EXPECT_EQ(CountMessages(kDownloadServiceQuery), 0);
    for (const char* url : {"ftp://host/a.mid", "x://", "C://music/a.mid"})
        EXPECT_EQ(mod->Play(url), -1) << url;
    EXPECT_EQ(CountMessages(kDownloadServiceQuery), 3);
    mod->Stop();
}

TEST_F(StreamingTest, TemporaryFileThatCannotBeCreatedRefusesThePlay)
{
    std::string url = base_url + ServeScale("tune.mid");
    char saved[MAX_PATH];
    DWORD had = GetEnvironmentVariableA("TMP", saved, sizeof(saved));
    for (std::string tmp : {Folder() + "no\\such\\folder", std::string(300, 'x')}) {
        SetEnvironmentVariableA("TMP", tmp.c_str());
        EXPECT_EQ(mod->Play(url.c_str()), -1);
    }
    SetEnvironmentVariableA("TMP", had ? saved : nullptr);
    EXPECT_TRUE(downloads.empty()) << "downloaded into " << downloads[0].target;
}

TEST_F(StreamingTest, SavePromptKeepsTheChosenFileOrFallsBackToATemporaryOne)
{
    rig::ImportPatch patch(dll, "comdlg32.dll", "GetSaveFileNameA", (void*)FakeGetSaveFileNameA);
    *prompt_to_save = 1;
    std::string name = ServeScale("song.mid");
    choose = Folder() + "kept.mid";
    ASSERT_EQ(mod->Play((base_url + name).c_str()), 0);
    EXPECT_EQ(proposed, name);
    EXPECT_EQ(downloads.back().target, choose);
    mod->Stop();
    EXPECT_TRUE(Exists(choose));

    choose = "";
    ASSERT_EQ(mod->Play((base_url + name).c_str()), 0);
    EXPECT_EQ(downloads.back().target.rfind(TempFolder() + "mid", 0), 0u);
    mod->Stop();

    // A URL ending in "/" proposes an empty name (its folder listing is no MIDI file); a last
    // segment of 259 characters is proposed whole, a longer one not at all.
    EXPECT_EQ(mod->Play(base_url.c_str()), 1);
    EXPECT_EQ(proposed, "");
    mod->Stop();
    for (size_t length : {259u, 260u}) {
        mod->Play((base_url + std::string(length, 'n')).c_str());
        EXPECT_EQ(proposed, length == 259 ? std::string(259, 'n') : "");
    }
}

// The user at Wine's own save dialog: reads the proposal, types a path and accepts.
static std::string seen_proposal, typed_path;

static DWORD WINAPI TypeIntoSaveDialog(void*)
{
    HWND dialog = nullptr;
    for (int i = 0; i < 600 && dialog == nullptr; ++i, Sleep(50))
        dialog = FindWindowA(nullptr, "Save MIDI");
    Sleep(300);
    // The file-name box is a combo box (Wine nests it in a ComboBoxEx); type into its edit.
    HWND edit = dialog ? GetDlgItem(dialog, cmb13) : nullptr;
    for (char kind[16]; edit != nullptr && (GetClassNameA(edit, kind, sizeof(kind)), lstrcmpiA(kind, "Edit") != 0);)
        edit = GetWindow(edit, GW_CHILD);
    if (edit == nullptr)
        return 1;
    char text[MAX_PATH] = "";
    GetWindowTextA(edit, text, sizeof(text));
    seen_proposal = text;
    SendMessageA(edit, WM_SETTEXT, 0, (LPARAM) "");
    for (char c : typed_path)
        SendMessageA(edit, WM_CHAR, (BYTE)c, 1);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return 0;
}

TEST_F(StreamingTest, RealSaveDialogTakesATypedName)
{
    if (getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "the save dialog needs a display";
    *prompt_to_save = 1;
    typed_path = Folder() + "typed.mid";
    HANDLE user = CreateThread(nullptr, 0, TypeIntoSaveDialog, nullptr, 0, nullptr);
    std::string name = ServeScale("typed_song.mid");
    EXPECT_EQ(mod->Play((base_url + name).c_str()), 0);
    EXPECT_EQ(WaitForSingleObject(user, 30000), WAIT_OBJECT_0);
    CloseHandle(user);
    EXPECT_EQ(seen_proposal, name);
    mod->Stop();
    EXPECT_TRUE(Exists(typed_path));
}

TEST_F(StreamingTest, PlayerPlaysAUrlAndShowsTheDownload)
{
    std::string player = "\"" + rig::ProgramFolder() + "player.exe\" --console ";
    std::string url = base_url + ServeScale("player.mid");
    std::string output;
    EXPECT_EQ(rig::RunProgram(player + url, &output, 30000), 0) << output;
    EXPECT_NE(output.find("Retrieving MIDI file: " + url), std::string::npos) << output;
    EXPECT_NE(output.find("bytes (100%)"), std::string::npos) << output;
    EXPECT_NE(output.find("End of file."), std::string::npos) << output;

    EXPECT_EQ(rig::RunProgram(player + base_url + "missing.mid", &output, 30000), 2) << output;
    EXPECT_NE(output.find("the server answered 404"), std::string::npos) << output;
}
