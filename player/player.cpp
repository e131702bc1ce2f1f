// The stand-in host player: loads the plug-in from its own folder as a media player does,
// fills the host words of its record and plays one file (or the demo tune) to the end.
// `player --info FILE...` instead lists each file's title and length, as a playlist scan does.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "module/in_module.h"
#include "player/host_download.h"
#include "playback/file_info.h"

static std::atomic<bool> interrupted{false};
static bool ended = false;
static std::atomic<long> blocks_received{0};

static void __cdecl HostAnnounceFormat(int, int, int, int) {}
static void __cdecl HostVisOpen(int, int) {}
static void __cdecl HostVisClose(void) {}
// Peak of each channel since the meter was last drawn; the sink runs on the capture thread.
static std::atomic<int> peak_left{0}, peak_right{0};

static void RaisePeak(std::atomic<int>& peak, int value)
{
    int seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
}

// Every block is 576 frames of 16-bit stereo, left first.
static void __cdecl HostPcmSinkA(const void* samples, int, int, int)
{
    ++blocks_received;
    auto frames = (const short*)samples;
    int left = 0, right = 0;
    for (int i = 0; i < 576; ++i) {
        left = std::max(left, std::abs((int)frames[2 * i]));
        right = std::max(right, std::abs((int)frames[2 * i + 1]));
    }
    RaisePeak(peak_left, left);
    RaisePeak(peak_right, right);
}
static void __cdecl HostPcmSinkB(const void*, int, int, int) {}

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == kDownloadServiceQuery && lparam == kDownloadServiceParam)
        return (LRESULT)HostDownload;
    if (message == kEndOfFileMessage) {
        ended = true;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted = true;
        return TRUE;
    }
    return FALSE;
}

static std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

static std::string Clock(int ms)
{
    if (ms < 0)
        ms = 0;
    char text[32];
    snprintf(text, sizeof(text), "%d:%02d", ms / 60000, ms / 1000 % 60);
    return text;
}

// Eight cells over the 48 dB below full scale.
static std::string MeterCells(int peak)
{
    int cells = peak > 0 ? (int)std::lround((20 * std::log10(peak / 32768.0) + 48) / 6) : 0;
    cells = std::clamp(cells, 0, 8);
    return std::string(cells, '#') + std::string(8 - cells, '-');
}

// The level meter beside the progress bar: "L[######--] R[#####---]".
static std::string LevelMeter()
{
    return "L[" + MeterCells(peak_left.exchange(0)) + "] R[" + MeterCells(peak_right.exchange(0)) + "]";
}

// Keys while playing, read on a thread of their own from the console or from a redirected
// standard input and posted to the host window; arrows are mapped onto the character keys.
constexpr UINT kKeyMessage = WM_APP;
static int host_volume = 255;
static int host_pan = 0;

static DWORD WINAPI ReadKeys(void* window)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode, n;
    if (GetConsoleMode(in, &mode)) {
        INPUT_RECORD record;
        while (ReadConsoleInputA(in, &record, 1, &n)) {
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            if (record.EventType != KEY_EVENT || !key.bKeyDown)
                continue;
            int c = key.wVirtualKeyCode == VK_UP ? '+' : key.wVirtualKeyCode == VK_DOWN ? '-'
                  : key.wVirtualKeyCode == VK_LEFT ? '<' : key.wVirtualKeyCode == VK_RIGHT ? '>'
                  : (unsigned char)key.uChar.AsciiChar;
            PostMessageA((HWND)window, kKeyMessage, c, 0);
        }
    } else {
        char c;
        while (ReadFile(in, &c, 1, &n, nullptr) && n == 1)
            PostMessageA((HWND)window, kKeyMessage, (unsigned char)c, 0);
    }
    return 0;
}

static int Clamp(int value, int low, int high)
{
    return value < low ? low : value > high ? high : value;
}

// + and - change the volume by 16, [ and ] the pan by 16, < and > seek 5 s back and forth,
// S opens the plug-in's settings.
static void HandleKey(InModule* mod, int key)
{
    if (key == '+' || key == '=' || key == '-') {
        host_volume = Clamp(host_volume + (key == '-' ? -16 : 16), 0, 255);
        mod->SetVolume(host_volume);
    } else if (key == '[' || key == ']') {
        host_pan = Clamp(host_pan + (key == '[' ? -16 : 16), -127, 127);
        mod->SetPan(host_pan);
    } else if (key == 's' || key == 'S') {
        mod->ShowSettings(nullptr); // modal; the music plays on
    } else if (key == '<' || key == '>') {
        mod->SetPosition(Clamp(mod->GetPosition() + (key == '<' ? -5000 : 5000), 0, mod->GetLength()));
    }
}

// One line per file: its title and length as the plug-in reports them.
static void ShowInfo(InModule* mod, int count, char** files)
{
    for (int i = 0; i < count; ++i) {
        char title[kTitleCapacity];
        int length = 0;
        mod->GetFileInfo(files[i], title, &length);
        if (length == kUnknownLength)
            printf("%s\tunknown\n", title);
        else
            printf("%s\t%d:%02d.%03d\n", title, length / 60000, length / 1000 % 60, length % 1000);
    }
}

static void ShowProgress(const char* title, int position, int length)
{
    const int width = 30;
    int filled = length > 0 ? (int)((long long)width * (position < length ? position : length) / length) : 0;
    if (filled < 0)
        filled = 0;
    std::string bar(filled, '#');
    bar.append(width - filled, '-');
    printf("\r%s [%s] %s / %s %s vol %d pan %+d ", title, bar.c_str(), Clock(position).c_str(),
           Clock(length).c_str(), LevelMeter().c_str(), host_volume, host_pan);
    fflush(stdout);
}

int main(int argc, char** argv)
{
    std::string folder = ProgramFolder();
    std::string file = argc > 1 ? argv[1] : folder + "demo.mid";

    HMODULE plugin = LoadLibraryA((folder + "midi_plugin.dll").c_str());
    if (plugin == nullptr) {
        fprintf(stderr, "error: cannot load %smidi_plugin.dll\n", folder.c_str());
        return 3;
    }
    auto get_module = (InModule * (__cdecl*)(void))(void*) GetProcAddress(plugin, "kestroGetInModule2");
    if (get_module == nullptr) {
        fprintf(stderr, "error: midi_plugin.dll does not export kestroGetInModule2\n");
        return 3;
    }
    InModule* mod = get_module();

    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = HostWindowProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "StandInHostPlayer";
    RegisterClassA(&window_class);
    HWND window = CreateWindowA("StandInHostPlayer", "player", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                window_class.hInstance, nullptr);

    mod->main_window = window;
    mod->module_instance = plugin;
    mod->announce_format = HostAnnounceFormat;
    mod->vis_open = HostVisOpen;
    mod->vis_close = HostVisClose;
    mod->pcm_sink_a = HostPcmSinkA;
    mod->pcm_sink_b = HostPcmSinkB;
    mod->LoadSettings();

    if (argc > 1 && strcmp(argv[1], "--info") == 0) {
        ShowInfo(mod, argc - 2, argv + 2);
        DestroyWindow(window);
        FreeLibrary(plugin);
        return 0;
    }
    // --settings and --about show the plug-in's dialogs and leave.
    bool settings = argc > 1 && strcmp(argv[1], "--settings") == 0;
    if (settings || (argc > 1 && strcmp(argv[1], "--about") == 0)) {
        if (settings)
            mod->ShowSettings(nullptr);
        else
            mod->ShowAbout(nullptr);
        DestroyWindow(window);
        FreeLibrary(plugin);
        return 0;
    }

    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    // Stored now, applied by Play when the file starts.
    mod->SetVolume(host_volume);
    mod->SetPan(host_pan);
    CloseHandle(CreateThread(nullptr, 0, ReadKeys, window, 0, nullptr));

    int result = mod->Play(file.c_str());
    if (result != 0) {
        if (result == 1)
            fprintf(stderr, "error: the sequencer refused %s\n", file.c_str());
        else
            fprintf(stderr, "error: could not retrieve %s\n", file.c_str());
        mod->Stop();
        FreeLibrary(plugin);
        return result == 1 ? 1 : 2;
    }

    const char* title = file.c_str() + file.find_last_of("\\/") + 1;
    printf("keys: + - (or up, down) volume, [ ] pan, < > (or left, right) seek 5 s, S settings\n");
    DWORD last_shown = 0;
    while (!ended && !interrupted) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == kKeyMessage) {
                HandleKey(mod, (int)msg.wParam);
                last_shown = 0;
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        // The plug-in posts the end-of-file message from GetPosition, so ask often.
        int position = mod->GetPosition();
        if (GetTickCount() - last_shown >= 250) {
            ShowProgress(title, position, mod->GetLength());
            last_shown = GetTickCount();
        }
    }
    ShowProgress(title, ended ? mod->GetLength() : mod->GetPosition(), mod->GetLength());
    printf("\n%s\n", ended ? "End of file." : "Stopped.");

    mod->Stop();
    DestroyWindow(window);
    FreeLibrary(plugin);
    return ended ? 0 : 130;
}
