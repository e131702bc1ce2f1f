// The validator's host: its checks on the library's services, the download services, the
// substitute "appdata.dll" and the scratch folder.
#include "validate/host.h"

#include <mmsystem.h>
#include <urlmon.h>

#include <cstdio>
#include <cstring>

#include "tools/midi_writer.h"
#include "validate/report.h"

namespace validate {

HostWatch watch;
AppDataLog appdata_log;

// --- the sinks ---------------------------------------------------------------------------

// Reads the whole block, so that a block that is not 2304 readable bytes faults here.
static void ReadBlock(const void* samples)
{
    volatile unsigned sum = 0;
    for (int i = 0; i < 2304; i += 4)
        sum = sum + ((const unsigned char*)samples)[i];
}

// After the library has counted the call and checked its arguments.
static void WatchSink(const void* samples, int channels, int bits, int reserved)
{
    ++watch.sink_in_call;
    if (watch.stop_returned)
        ++watch.sink_after_stop;
    if (samples != nullptr && channels == 2 && bits == 16 && reserved == 0)
        ReadBlock(samples);
    int delay = watch.sink_delay_ms;
    if (delay > 0)
        Sleep(delay);
    --watch.sink_in_call;
}

static hostlib::Options HostOptions()
{
    hostlib::Options options;
    options.load_settings = false; // the checks call it, some after substituting appdata.dll
    options.hold_imports = true;
    options.download = hostlib::DownloadAnswer::kNone0;
    options.on_sink_a = WatchSink;
    options.on_sink_b = WatchSink;
    return options;
}

hostlib::Host host(HostOptions());

void ResetHostLog()
{
    host.seen.Clear();
    watch.sink_after_stop = 0;
    watch.sink_delay_ms = 0;
    watch.stop_returned = false;
    watch.download_bad = 0;
    watch.last_url.clear();
}

// --- download services -----------------------------------------------------------------

static const char kCopyPrefix[] = "http://validator.invalid/";

// Checks a request as it comes, against the URL Play was given then.
static void CheckRequest(HWND window, const char* url, const char* target, const char* status)
{
    if (window != host.window || url == nullptr || target == nullptr || status == nullptr ||
        strcmp(status, "Retrieving MIDI file") != 0 || (!watch.last_url.empty() && watch.last_url != url) ||
        target[0] == '\0')
        ++watch.download_bad;
}

static int __cdecl DownloadCopy(HWND window, const char* url, const char* target, const char* status)
{
    CheckRequest(window, url, target, status);
    if (url == nullptr || target == nullptr || strncmp(url, kCopyPrefix, sizeof(kCopyPrefix) - 1) != 0)
        return 1;
    std::string source = WorkFolder() + (url + sizeof(kCopyPrefix) - 1);
    return CopyFileA(source.c_str(), target, FALSE) ? 0 : 1;
}

static int __cdecl DownloadUrlmon(HWND window, const char* url, const char* target, const char* status)
{
    CheckRequest(window, url, target, status);
    if (url == nullptr || target == nullptr)
        return 1;
    return URLDownloadToFileA(nullptr, url, target, 0, nullptr) == S_OK ? 0 : 1;
}

static int __cdecl DownloadFail(HWND window, const char* url, const char* target, const char* status)
{
    CheckRequest(window, url, target, status);
    return 1;
}

static int __cdecl DownloadNothing(HWND window, const char* url, const char* target, const char* status)
{
    CheckRequest(window, url, target, status);
    return 0;
}

void SetDownloadService(DownloadService service)
{
    static const DownloadFn kServe[] = {nullptr, nullptr, DownloadCopy, DownloadUrlmon, DownloadFail, DownloadNothing};
    host.options.download = service == DownloadService::kAbsent0   ? hostlib::DownloadAnswer::kNone0
                            : service == DownloadService::kAbsent1 ? hostlib::DownloadAnswer::kNone1
                                                                   : hostlib::DownloadAnswer::kCustom;
    host.options.custom_download = kServe[(int)service];
}

int Downloads() { return (int)host.seen.downloads.size(); }

std::string LastDownloadTarget() { return host.seen.downloads.empty() ? "" : host.seen.downloads.back().target; }

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

bool Plugin::Load(std::string* error)
{
    host.options.plugin_path = run.plugin_path;
    if (!host.Load(error))
        return false;
    dll = host.dll;
    mod = host.mod;
    at_load = host.at_load;
    auto nt = (IMAGE_NT_HEADERS*)((BYTE*)dll + ((IMAGE_DOS_HEADER*)dll)->e_lfanew);
    last_base = (BYTE*)dll;
    last_size = nt->OptionalHeader.SizeOfImage;
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
    dll = nullptr;
    mod = nullptr;
    return host.Unload();
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

// 32nd notes: a sequencer's stop may wait for its next event (Wine's does), so with dense
// notes every Stop, Pause and seek of a playing file stays short.
std::string WriteMidi(const std::string& name, int quarters)
{
    std::string path = WorkFolder() + name;
    WriteMidiFile(path, ScaleSong(quarters, 8));
    return path;
}

} // namespace validate
