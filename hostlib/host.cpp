// The host around the plug-in: loading, the recording services, the host window.
#include "hostlib/host.h"

#include <cstdio>
#include <cstring>

#include "hostlib/download.h"

namespace hostlib {

// The loaded Host the services and the window report to; null between loads.
static Host* current = nullptr;
// The block pcm_sink_a had last, for pcm_sink_b to be checked against.
static std::atomic<const void*> last_block{nullptr};
// Between vis_close and the next vis_open no block should arrive.
static std::atomic<bool> vis_closed{false};

std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

void Seen::Clear()
{
    announce = announce_bad = vis_open = vis_open_bad = vis_close = 0;
    sink_a = sink_b = sink_bad = sink_unpaired = sink_after_close = 0;
    eof_posts = eof_bad = service_queries = 0;
    messages.clear();
    downloads.clear();
}

// --- services --------------------------------------------------------------------------

static void Tell(const char* format, int a = 0, int b = 0, int c = 0, int d = 0)
{
    if (current == nullptr || !current->options.on_call)
        return;
    char text[96];
    snprintf(text, sizeof(text), format, a, b, c, d);
    current->options.on_call(text);
}

static void __cdecl AnnounceFormat(int a, int b, int c, int d)
{
    if (current == nullptr)
        return;
    ++current->seen.announce;
    if (a != 0 || b != 44 || c != 2 || d != 1)
        ++current->seen.announce_bad;
    Tell("announce_format(%d,%d,%d,%d)", a, b, c, d);
}

static void __cdecl VisOpen(int a, int b)
{
    if (current == nullptr)
        return;
    ++current->seen.vis_open;
    if (a != 0 || b != 44100)
        ++current->seen.vis_open_bad;
    vis_closed = false;
    Tell("vis_open(%d,%d)", a, b);
}

static void __cdecl VisClose(void)
{
    if (current == nullptr)
        return;
    ++current->seen.vis_close;
    vis_closed = true;
    Tell("vis_close()");
}

static void SinkSeen(const void* samples, int channels, int bits, int reserved)
{
    if (samples == nullptr || channels != 2 || bits != 16 || reserved != 0)
        ++current->seen.sink_bad;
    if (vis_closed)
        ++current->seen.sink_after_close;
}

static void __cdecl SinkA(const void* samples, int channels, int bits, int reserved)
{
    if (current == nullptr)
        return;
    SinkSeen(samples, channels, bits, reserved);
    last_block = samples;
    ++current->seen.sink_a;
    if (current->options.on_sink_a)
        current->options.on_sink_a(samples, channels, bits, reserved);
}

static void __cdecl SinkB(const void* samples, int channels, int bits, int reserved)
{
    if (current == nullptr)
        return;
    SinkSeen(samples, channels, bits, reserved);
    if (samples != last_block || current->seen.sink_b >= current->seen.sink_a)
        ++current->seen.sink_unpaired;
    ++current->seen.sink_b;
    if (current->options.on_sink_b)
        current->options.on_sink_b(samples, channels, bits, reserved);
}

// What the query hands out: every request is recorded, then served as the options say.
static int __cdecl RecordedDownload(HWND window, const char* url, const char* target, const char* status)
{
    if (current == nullptr)
        return 1;
    DownloadFn serve = current->options.download == DownloadAnswer::kCustom ? current->options.custom_download : Download;
    int result = serve != nullptr ? serve(window, url, target, status) : 1;
    current->seen.downloads.push_back({window, url ? url : "", target ? target : "", status ? status : "", result});
    return result;
}

// --- the host window -------------------------------------------------------------------

LRESULT Host::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled)
{
    *handled = message >= WM_USER;
    if (!*handled)
        return 0;
    seen.messages.push_back({message, wparam, lparam});
    if (message == kDownloadServiceQuery && wparam == 0 && lparam == kDownloadServiceParam) {
        ++seen.service_queries;
        if (options.on_download_query)
            return options.on_download_query();
        switch (options.download) {
        case DownloadAnswer::kNone0: return 0;
        case DownloadAnswer::kNone1: return 1;
        default: return (LRESULT)RecordedDownload;
        }
    }
    if (message == kEndOfFileMessage) {
        ++seen.eof_posts;
        if (wparam != 0 || lparam != 0)
            ++seen.eof_bad;
        if (options.on_end_of_file)
            options.on_end_of_file();
        return 0;
    }
    if (options.on_message)
        return options.on_message(message, wparam, lparam);
    *handled = false;
    return 0;
}

static LRESULT CALLBACK LibraryWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    bool handled = false;
    LRESULT answer = current != nullptr ? current->HandleMessage(message, wparam, lparam, &handled) : 0;
    if (handled || message >= WM_USER)
        return answer;
    return DefWindowProcA(window, message, wparam, lparam);
}

// One message-only window for the life of the process: it needs no display, and a window made
// and destroyed for every load would move the handle counts a host's checks look at.
static HWND LibraryWindow()
{
    static HWND window = nullptr;
    if (window == nullptr) {
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = LibraryWindowProc;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "HostLibraryWindow";
        RegisterClassA(&window_class);
        window = CreateWindowA("HostLibraryWindow", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               window_class.hInstance, nullptr);
    }
    return window;
}

void Host::Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Host::Wait(DWORD ms)
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
    Pump();
}

// --- loading ---------------------------------------------------------------------------

// Loads, once per process, every library the plug-in imports. Without that, each unload of
// the plug-in unloads the ones only it used (the common dialogs, say), and Wine loses a few
// handles each time one is unloaded.
static void HoldImports(HMODULE module)
{
    static bool held = false;
    if (held)
        return;
    held = true;
    auto base = (BYTE*)module;
    auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (auto d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name != 0; ++d)
        LoadLibraryA((const char*)(base + d->Name));
}

Host::Host(Options options_in) : options(std::move(options_in)) {}

Host::~Host()
{
    if (mod != nullptr)
        mod->Stop(); // a capture thread must not outlive the module's code
    Unload();
}

static bool Fail(std::string* error, const std::string& why)
{
    if (error != nullptr)
        *error = why;
    return false;
}

bool Host::Load(std::string* error)
{
    if (dll != nullptr)
        return Fail(error, "the plug-in is already loaded");
    std::string path = options.plugin_path.empty() ? ProgramFolder() + "midi_plugin.dll" : options.plugin_path;
    dll = LoadLibraryA(path.c_str());
    if (dll == nullptr)
        return Fail(error, "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")");
    if (options.hold_imports)
        HoldImports(dll);
    auto get = (GetInModuleFn)(void*) GetProcAddress(dll, kGetInModuleExport);
    if (get == nullptr) {
        FreeLibrary(dll);
        dll = nullptr;
        return Fail(error, path + " does not export kestroGetInModule2");
    }
    mod = get();
    at_load = *mod;
    seen.Clear();
    last_block = nullptr;
    vis_closed = false;
    current = this;
    window = options.window != nullptr ? options.window : LibraryWindow();

    mod->main_window = window;
    mod->module_instance = dll;
    mod->announce_format = AnnounceFormat;
    mod->vis_open = VisOpen;
    mod->vis_close = VisClose;
    mod->pcm_sink_a = SinkA;
    mod->pcm_sink_b = SinkB;
    if (options.load_settings)
        mod->LoadSettings();
    return true;
}

bool Host::Unload()
{
    if (current == this)
        current = nullptr;
    if (dll == nullptr)
        return true;
    HMODULE base = dll;
    FreeLibrary(dll);
    dll = nullptr;
    mod = nullptr;
    HMODULE still = nullptr;
    bool mapped = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                     (LPCSTR)base, &still);
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(base, &info, sizeof(info));
    return !mapped && (info.State == MEM_FREE || info.AllocationBase != (void*)base);
}

} // namespace hostlib
