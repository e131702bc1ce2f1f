// The validator's host: plug-in loading, recording host services, the host window, the
// download services, import patching and the substitute "appdata.dll".
#include "validate/host.h"

#include <mmsystem.h>
#include <urlmon.h>

#include <cstdio>
#include <cstring>

#include "tools/midi_writer.h"
#include "validate/report.h"

namespace validate {

HostLog host;
AppDataLog appdata_log;
DownloadService download_service = DownloadService::kAbsent0;

void ResetHostLog()
{
    host.announce = host.announce_bad = host.vis_open = host.vis_open_bad = host.vis_close = 0;
    host.sink_a = host.sink_b = host.sink_bad = host.sink_unpaired = 0;
    host.sink_after_close = host.sink_after_stop = 0;
    host.sink_delay_ms = 0;
    host.stop_returned = false;
    host.closed = false;
    host.eof_posts = host.eof_bad = host.service_queries = host.downloads = host.download_bad = 0;
    host.last_download_target.clear();
    host.last_url.clear();
}

// --- host services ---------------------------------------------------------------------

static void __cdecl HostAnnounceFormat(int a, int b, int c, int d)
{
    ++host.announce;
    if (a != 0 || b != 44 || c != 2 || d != 1)
        ++host.announce_bad;
}

static void __cdecl HostVisOpen(int a, int b)
{
    ++host.vis_open;
    if (a != 0 || b != 44100)
        ++host.vis_open_bad;
    host.closed = false;
}

static void __cdecl HostVisClose(void)
{
    ++host.vis_close;
    host.closed = true;
}

static const void* volatile last_block = nullptr;

// Reads the whole block, so that a block that is not 2304 readable bytes faults here.
static void ReadBlock(const void* samples)
{
    volatile unsigned sum = 0;
    for (int i = 0; i < 2304; i += 4)
        sum = sum + ((const unsigned char*)samples)[i];
}

static void SinkEntry(const void* samples, int channels, int bits, int reserved)
{
    if (host.stop_returned)
        ++host.sink_after_stop;
    if (host.closed)
        ++host.sink_after_close;
    if (samples == nullptr || channels != 2 || bits != 16 || reserved != 0)
        ++host.sink_bad;
    else
        ReadBlock(samples);
    int delay = host.sink_delay_ms;
    if (delay > 0)
        Sleep(delay);
}

static void __cdecl HostPcmSinkA(const void* samples, int channels, int bits, int reserved)
{
    ++host.sink_in_call;
    SinkEntry(samples, channels, bits, reserved);
    last_block = samples;
    ++host.sink_a;
    --host.sink_in_call;
}

static void __cdecl HostPcmSinkB(const void* samples, int channels, int bits, int reserved)
{
    ++host.sink_in_call;
    SinkEntry(samples, channels, bits, reserved);
    if (samples != last_block || host.sink_b >= host.sink_a)
        ++host.sink_unpaired;
    ++host.sink_b;
    --host.sink_in_call;
}

// --- download services -----------------------------------------------------------------

static HWND host_window = nullptr;
static const char kCopyPrefix[] = "http://validator.invalid/";

static void RecordDownload(HWND window, const char* url, const char* target, const char* status)
{
    ++host.downloads;
    if (window != host_window || url == nullptr || target == nullptr || status == nullptr ||
        strcmp(status, "Retrieving MIDI file") != 0 || (!host.last_url.empty() && host.last_url != url) ||
        target[0] == '\0')
        ++host.download_bad;
    host.last_download_target = target != nullptr ? target : "";
}

static int __cdecl DownloadCopy(HWND window, const char* url, const char* target, const char* status)
{
    RecordDownload(window, url, target, status);
    if (url == nullptr || target == nullptr || strncmp(url, kCopyPrefix, sizeof(kCopyPrefix) - 1) != 0)
        return 1;
    std::string source = WorkFolder() + (url + sizeof(kCopyPrefix) - 1);
    return CopyFileA(source.c_str(), target, FALSE) ? 0 : 1;
}

static int __cdecl DownloadUrlmon(HWND window, const char* url, const char* target, const char* status)
{
    RecordDownload(window, url, target, status);
    if (url == nullptr || target == nullptr)
        return 1;
    return URLDownloadToFileA(nullptr, url, target, 0, nullptr) == S_OK ? 0 : 1;
}

static int __cdecl DownloadFail(HWND window, const char* url, const char* target, const char* status)
{
    RecordDownload(window, url, target, status);
    return 1;
}

static int __cdecl DownloadNothing(HWND window, const char* url, const char* target, const char* status)
{
    RecordDownload(window, url, target, status);
    return 0;
}

static LRESULT ServiceAnswer()
{
    switch (download_service) {
    case DownloadService::kAbsent0: return 0;
    case DownloadService::kAbsent1: return 1;
    case DownloadService::kCopy: return (LRESULT)DownloadCopy;
    case DownloadService::kUrlmon: return (LRESULT)DownloadUrlmon;
    case DownloadService::kFail: return (LRESULT)DownloadFail;
    case DownloadService::kNothing: return (LRESULT)DownloadNothing;
    }
    return 0;
}

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == kEndOfFileMessage) {
        ++host.eof_posts;
        if (wparam != 0 || lparam != 0)
            ++host.eof_bad;
        return 0;
    }
    if (message == kDownloadServiceQuery && wparam == 0 && lparam == kDownloadServiceParam) {
        ++host.service_queries;
        return ServiceAnswer();
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static HWND HostWindow()
{
    if (host_window == nullptr) {
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = HostWindowProc;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "ValidatorHostWindow";
        RegisterClassA(&window_class);
        host_window = CreateWindowA("ValidatorHostWindow", "validate", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    window_class.hInstance, nullptr);
    }
    return host_window;
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

// --- the substitute appdata.dll --------------------------------------------------------

static AppData appdata_mode = AppData::kReal;
static std::string appdata_folder;
static void* real_load_library = nullptr;
static void* real_get_proc = nullptr;
static void* real_free_library = nullptr;
static void* real_profile_int = nullptr;
static void* real_profile_write = nullptr;

static HMODULE AppDataHandle() { return GetModuleHandleA(nullptr); }

static bool IsAppDataName(const char* name)
{
    const char* base = name;
    for (const char* p = name; *p; ++p)
        if (*p == '\\' || *p == '/')
            base = p + 1;
    return _stricmp(base, "appdata.dll") == 0 || _stricmp(base, "appdata") == 0;
}

static int __cdecl SubstituteAppDataPath(char* buffer, int size)
{
    ++appdata_log.calls;
    if (buffer == nullptr || size != MAX_PATH)
        ++appdata_log.bad_size;
    if (buffer == nullptr || size <= 0)
        return -1;
    buffer[0] = '\0';
    if (appdata_mode == AppData::kFailing)
        return -1;
    std::string folder = appdata_folder;
    if (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    if ((int)folder.size() >= size)
        return -1;
    memcpy(buffer, folder.c_str(), folder.size() + 1);
    return (int)folder.size();
}

static HMODULE WINAPI SubstituteLoadLibraryA(LPCSTR name)
{
    if (name != nullptr && IsAppDataName(name)) {
        ++appdata_log.loads;
        if (appdata_mode == AppData::kMissing) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return AppDataHandle();
    }
    return ((HMODULE(WINAPI*)(LPCSTR))real_load_library)(name);
}

static FARPROC WINAPI SubstituteGetProcAddress(HMODULE module, LPCSTR name)
{
    if (module == AppDataHandle()) {
        if (HIWORD((ULONG_PTR)name) != 0 && strcmp(name, "GetCommonAppDataPathA") == 0 &&
            appdata_mode != AppData::kNoFunction)
            return (FARPROC)(void*)SubstituteAppDataPath;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return ((FARPROC(WINAPI*)(HMODULE, LPCSTR))real_get_proc)(module, name);
}

static BOOL WINAPI SubstituteFreeLibrary(HMODULE module)
{
    if (module == AppDataHandle()) {
        ++appdata_log.frees;
        return TRUE;
    }
    return ((BOOL(WINAPI*)(HMODULE))real_free_library)(module);
}

static UINT WINAPI RecordingProfileInt(LPCSTR section, LPCSTR key, INT fallback, LPCSTR file)
{
    appdata_log.profile_paths.push_back(file != nullptr ? file : "(null)");
    return ((UINT(WINAPI*)(LPCSTR, LPCSTR, INT, LPCSTR))real_profile_int)(section, key, fallback, file);
}

static BOOL WINAPI RecordingProfileWrite(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    appdata_log.profile_paths.push_back(file != nullptr ? file : "(null)");
    return ((BOOL(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPCSTR))real_profile_write)(section, key, value, file);
}

// --- the plug-in -----------------------------------------------------------------------

static BYTE* last_base = nullptr;
static DWORD last_size = 0;

bool InLastPluginRange(void* address)
{
    return last_base != nullptr && (BYTE*)address >= last_base && (BYTE*)address < last_base + last_size;
}

Plugin::~Plugin()
{
    if (dll != nullptr)
        Unload();
}

// A host process has the common system libraries loaded for good. Without that, each unload
// of the plug-in unloads the ones only it used (the common dialogs, say), and some platforms
// (Wine) lose a few handles each time one is unloaded: that is not the plug-in's doing, so
// the validator holds every library the plug-in imports, as a host would.
static void HoldImportedLibraries(HMODULE module)
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

bool Plugin::Load(std::string* error)
{
    dll = LoadLibraryA(run.plugin_path.c_str());
    if (dll == nullptr) {
        *error = Format("LoadLibrary(%s) failed with error %lu", run.plugin_path.c_str(), GetLastError());
        return false;
    }
    HoldImportedLibraries(dll);
    auto get = (InModule * (__cdecl*)(void))(void*) GetProcAddress(dll, "kestroGetInModule2");
    if (get == nullptr) {
        *error = "the DLL does not export kestroGetInModule2";
        FreeLibrary(dll);
        dll = nullptr;
        return false;
    }
    mod = get();
    at_load = *mod;
    auto nt = (IMAGE_NT_HEADERS*)((BYTE*)dll + ((IMAGE_DOS_HEADER*)dll)->e_lfanew);
    last_base = (BYTE*)dll;
    last_size = nt->OptionalHeader.SizeOfImage;

    mod->main_window = HostWindow();
    mod->module_instance = dll;
    mod->announce_format = HostAnnounceFormat;
    mod->vis_open = HostVisOpen;
    mod->vis_close = HostVisClose;
    mod->pcm_sink_a = HostPcmSinkA;
    mod->pcm_sink_b = HostPcmSinkB;
    return true;
}

bool Plugin::RedirectAppData(AppData mode, const std::string& folder)
{
    appdata_mode = mode;
    appdata_folder = folder;
    appdata_log = AppDataLog();
    if (mode == AppData::kReal)
        return true;
    load_library_.Set(dll, "kernel32.dll", "LoadLibraryA", (void*)SubstituteLoadLibraryA);
    get_proc_.Set(dll, "kernel32.dll", "GetProcAddress", (void*)SubstituteGetProcAddress);
    free_library_.Set(dll, "kernel32.dll", "FreeLibrary", (void*)SubstituteFreeLibrary);
    profile_int_.Set(dll, "kernel32.dll", "GetPrivateProfileIntA", (void*)RecordingProfileInt);
    profile_write_.Set(dll, "kernel32.dll", "WritePrivateProfileStringA", (void*)RecordingProfileWrite);
    real_load_library = load_library_.original();
    real_get_proc = get_proc_.original();
    real_free_library = free_library_.original();
    real_profile_int = profile_int_.original();
    real_profile_write = profile_write_.original();
    return load_library_.ok() && get_proc_.ok() && free_library_.ok();
}

bool Plugin::Unload()
{
    if (dll == nullptr)
        return true;
    profile_write_.Restore();
    profile_int_.Restore();
    free_library_.Restore();
    get_proc_.Restore();
    load_library_.Restore();
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

bool Plugin::Imports(const char* dll_name, const char* function) const
{
    return ::Imports(dll, dll_name, function);
}

Features FeaturesOf(const Plugin& plugin)
{
    Features f;
    f.file_info = plugin.Imports("user32.dll", "CharNextA");
    f.mixer = plugin.Imports("winmm.dll", "mixerOpen");
    f.capture = plugin.Imports("winmm.dll", "waveInOpen");
    f.settings = plugin.Imports("kernel32.dll", "GetPrivateProfileIntA");
    f.streaming = plugin.Imports("kernel32.dll", "GetTempFileNameA");
    f.dialog = plugin.Imports("user32.dll", "DialogBoxParamA");
    return f;
}

// --- files -----------------------------------------------------------------------------

static std::string work_folder;

static std::string WorkFolderOf(DWORD process_id)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    return Format("%svalidate%lu\\", temp, process_id);
}

const std::string& WorkFolder()
{
    if (work_folder.empty()) {
        work_folder = WorkFolderOf(GetCurrentProcessId());
        CreateDirectoryA(work_folder.c_str(), nullptr);
    }
    return work_folder;
}

static void RemoveTree(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = folder + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + "\\");
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

void RemoveWorkFolderOf(DWORD process_id)
{
    std::string folder = WorkFolderOf(process_id);
    if (GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        RemoveTree(folder);
}

void RemoveWorkFolder()
{
    if (!work_folder.empty())
        RemoveTree(work_folder);
    work_folder.clear();
}

std::string WriteFile(const std::string& name, const std::string& bytes)
{
    std::string path = WorkFolder() + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    return path;
}

std::string WriteMidi(const std::string& name, int quarters)
{
    std::string path = WorkFolder() + name;
    WriteMidiFile(path, ScaleSong(quarters));
    return path;
}

} // namespace validate
