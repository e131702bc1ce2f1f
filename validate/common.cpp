// Small helpers the groups share.
#include "validate/common.h"

#include <windows.h>

#include "validate/figures.h"

namespace validate {

std::string SettingsFolder(int sample)
{
    std::string folder = WorkFolder() + Format("appdata%d\\", sample);
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string ini = folder + "vesk.ini";
    SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    WritePrivateProfileStringA("Midi File Player", "sample", Format("%d", sample).c_str(), ini.c_str());
    return folder;
}

bool LoadWithSample(Plugin& plugin, Check& check, int sample)
{
    std::string error;
    if (!check.Expect(plugin.Load(&error), "%s", error.c_str()))
        return false;
    Features f = FeaturesOf(plugin);
    if (f.settings)
        check.Expect(plugin.RedirectAppData(AppData::kFolder, SettingsFolder(sample)),
                     "cannot substitute appdata.dll: the plug-in does not import LoadLibraryA/GetProcAddress/FreeLibrary");
    plugin.mod->LoadSettings();
    int effective = f.settings ? sample : 1; // the capture switch starts on
    return f.capture && effective != 0 && MachineHasWaveInput();
}

bool LoadCapturing(Plugin& plugin, Check& check)
{
    bool capturing = LoadWithSample(plugin, check, 1);
    if (check.failed())
        return false;
    if (!capturing)
        check.Skip("%s", SkipReasonCapture(FeaturesOf(plugin)).c_str());
    return capturing;
}

bool WaitForBlocks(int blocks, int limit_ms)
{
    DWORD start = GetTickCount();
    while (host.seen.sink_a < blocks && GetTickCount() - start < (DWORD)limit_ms) {
        host.Pump();
        Sleep(5);
    }
    return host.seen.sink_a >= blocks;
}

void StopAndMark(InModule* mod)
{
    mod->Stop();
    watch.stop_returned = true;
}

std::string SkipReasonCapture(const Features& f)
{
    if (!f.capture)
        return "the build has no soundcard capture (it does not import waveInOpen)";
    return "this machine has no wave input device for 44.1 kHz 16-bit stereo";
}

void WarmUp(const std::string& file)
{
    Plugin plugin;
    std::string error;
    if (!plugin.Load(&error))
        return;
    char title[MAX_PATH];
    int length;
    plugin.mod->Play(file.c_str());
    // The sequencer brings up a lasting thread of the multimedia library once it has played for
    // a moment; give it that moment.
    Sleep(150);
    plugin.mod->GetPosition();
    plugin.mod->Pause();
    plugin.mod->SetPosition(100);
    plugin.mod->Resume();
    plugin.mod->SetPosition(200);
    plugin.mod->SetVolume(100);
    plugin.mod->SetPan(10);
    plugin.mod->GetFileInfo(file.c_str(), title, &length);
    plugin.mod->Stop();
    plugin.Unload();
}

std::string ExpectedTitle(const std::string& name)
{
    // Forward by characters: CharPrevA rescans from the start on every call, which costs
    // seconds on a 70000-byte name.
    const char* text = name.c_str();
    const char* title = text;
    for (const char* p = text; *p != '\0';) {
        if (*p == '\\' || *p == '/')
            title = p + 1;
        const char* next = CharNextA(p);
        if (next == p)
            break;
        p = next;
    }
    return title;
}

bool IsUrl(const std::string& name)
{
    size_t colon = name.find(':');
    return colon != std::string::npos && name.compare(colon, 3, "://") == 0;
}

// --- the settings dialog, answered without a window ------------------------------------

static DialogSeen* dialog_seen = nullptr;
static int want_sample = 0, want_prompt = 0;
static HWND dialog_window = nullptr;
static HINSTANCE expected_instance = nullptr;

static BOOL WINAPI AnswerCheckDlgButton(HWND, int id, UINT state)
{
    if (id == 1000)
        dialog_seen->sample_box = state == BST_CHECKED;
    if (id == 1001)
        dialog_seen->prompt_box = state == BST_CHECKED;
    return TRUE;
}

static UINT WINAPI AnswerIsDlgButtonChecked(HWND, int id)
{
    return id == 1000 ? (want_sample ? BST_CHECKED : BST_UNCHECKED) : id == 1001 ? (want_prompt ? BST_CHECKED : BST_UNCHECKED) : 0;
}

static BOOL WINAPI AnswerEndDialog(HWND, INT_PTR)
{
    ++dialog_seen->ended;
    return TRUE;
}

static INT_PTR WINAPI AnswerDialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND, DLGPROC proc, LPARAM param)
{
    if (instance != expected_instance || name != MAKEINTRESOURCEA(101) || proc == nullptr)
        return -1;
    dialog_seen->shown = true;
    if (dialog_window == nullptr)
        dialog_window = CreateWindowA("STATIC", "MIDI settings", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    dialog_seen->sample_box = dialog_seen->prompt_box = 0;
    proc(dialog_window, WM_INITDIALOG, 0, param);
    proc(dialog_window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 1;
}

bool ConfirmSettings(Plugin& plugin, int sample, int prompt, DialogSeen* seen)
{
    *seen = DialogSeen();
    dialog_seen = seen;
    want_sample = sample;
    want_prompt = prompt;
    expected_instance = plugin.dll;
    ImportPatch box(plugin.dll, "user32.dll", "DialogBoxParamA", (void*)AnswerDialogBoxParamA);
    ImportPatch check(plugin.dll, "user32.dll", "CheckDlgButton", (void*)AnswerCheckDlgButton);
    ImportPatch is_checked(plugin.dll, "user32.dll", "IsDlgButtonChecked", (void*)AnswerIsDlgButtonChecked);
    ImportPatch end(plugin.dll, "user32.dll", "EndDialog", (void*)AnswerEndDialog);
    if (!box.ok() || !is_checked.ok() || !end.ok())
        return false;
    plugin.mod->ShowSettings(GetDesktopWindow());
    return seen->shown && seen->ended == 1;
}

bool LoadForCheck(Check& check, Plugin& plugin)
{
    std::string error;
    return check.Expect(plugin.Load(&error), "%s", error.c_str());
}

} // namespace validate
