// Process figures. The handle count comes from the system handle table (the process's own
// count is not kept by every platform this runs on), else from probing handle values.
#include "validate/figures.h"

#include <windows.h>
#include <tlhelp32.h>
#include <mmsystem.h>

#include <cstdlib>

#include <vector>

#include "validate/host.h"
#include "validate/report.h"

namespace validate {

struct HandleEntry {
    ULONG process_id;
    UCHAR type;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

static int CountHandlesFromTable()
{
    typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    static auto query = (QueryFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == nullptr)
        return -1;
    static std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        LONG status = query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), &needed);
        if (status == 0) {
            ULONG count = *(ULONG*)buffer.data();
            auto entries = (HandleEntry*)(buffer.data() + sizeof(ULONG));
            int n = 0;
            for (ULONG i = 0; i < count; ++i)
                n += entries[i].process_id == GetCurrentProcessId();
            return n;
        }
        buffer.resize(buffer.size() * 2);
    }
    return -1;
}

static int CountHandlesByProbing()
{
    int n = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags;
        n += GetHandleInformation((HANDLE)value, &flags) != 0;
    }
    return n;
}

int CountHandles()
{
    int n = CountHandlesFromTable();
    return n > 0 ? n : CountHandlesByProbing();
}

static std::vector<unsigned long> ThreadIds()
{
    std::vector<unsigned long> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId())
                ids.push_back(entry.th32ThreadID);
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return ids;
}

int CountThreads()
{
    return (int)ThreadIds().size();
}

// Where a thread started (its Win32 start address); null when the system does not tell.
static void* StartAddress(unsigned long id)
{
    typedef LONG(WINAPI * QueryFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static auto query = (QueryFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread");
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
    void* start = nullptr;
    if (thread != nullptr && query != nullptr)
        query(thread, 9 /* ThreadQuerySetWin32StartAddress */, &start, sizeof(start), nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
    return start;
}

// The module a thread started in, from its start address.
static std::string ThreadOrigin(unsigned long id)
{
    void* start = StartAddress(id);
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (start != nullptr && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                               (LPCSTR)start, &module)) {
        GetModuleFileNameA(module, name, sizeof(name));
        std::string text = name;
        return Format("%s+0x%lx", text.substr(text.find_last_of("\\/") + 1).c_str(),
                      (unsigned long)((BYTE*)start - (BYTE*)module));
    } else if (start != nullptr && InLastPluginRange(start)) {
        return "the unloaded plug-in";
    }
    std::string text = name;
    return text.substr(text.find_last_of("\\/") + 1);
}

// --- the multimedia library's device thread -------------------------------------------------

// The multimedia library runs one device thread for the wave devices and mixers. While a device
// is open it stays; with none open (no sound server: nothing opens) each later failing open may
// end it or start it again (seen under Wine: about one call in twenty ends it, nearly every
// call while it is gone starts it). So whether it is counted is chance, not the plug-in's doing:
// every measurement first brings it up, as the plug-in's own calls would.
static HWAVEOUT audio_output = nullptr;
static void* device_thread_start = nullptr;

static const WAVEFORMATEX kCaptureFormat = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

// Asks for a wave input device as the plug-in does, and closes it at once when one opens.
static void AskForWaveInput()
{
    HWAVEIN device = nullptr;
    if (waveInOpen(&device, WAVE_MAPPER, &kCaptureFormat, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR)
        waveInClose(device);
}

// The device thread's ID, or 0 when it does not run.
static unsigned long DeviceThread()
{
    for (unsigned long id : ThreadIds())
        if (StartAddress(id) == device_thread_start)
            return id;
    return 0;
}

void SteadyAudioLibrary()
{
    if (audio_output == nullptr && waveOutOpen(&audio_output, WAVE_MAPPER, &kCaptureFormat, 0, 0, CALLBACK_NULL) != 0)
        audio_output = nullptr;
    HMODULE library = GetModuleHandleA("winmm.dll");
    for (int attempt = 0; attempt < 20 && device_thread_start == nullptr; ++attempt) {
        for (unsigned long id : ThreadIds()) {
            void* start = StartAddress(id);
            HMODULE module = nullptr;
            if (start != nullptr &&
                GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   (LPCSTR)start, &module) &&
                module == library)
                device_thread_start = start;
        }
        if (device_thread_start == nullptr)
            AskForWaveInput();
    }
}

// A device thread that a call has just ended may still be listed a moment: it is taken as up
// when two listings 20 ms apart show the same one.
static void BringUpDeviceThread()
{
    if (device_thread_start == nullptr)
        return;
    for (int attempt = 0; attempt < 20; ++attempt) {
        unsigned long id = DeviceThread();
        if (id != 0) {
            Sleep(20);
            if (DeviceThread() == id)
                return;
        }
        AskForWaveInput();
    }
}

bool MachineHasWaveInput()
{
    static int known = -1;
    if (known < 0) {
        HWAVEIN device = nullptr;
        known = waveInOpen(&device, WAVE_MAPPER, &kCaptureFormat, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR;
        if (known)
            waveInClose(device);
    }
    return known == 1;
}

// --- files -----------------------------------------------------------------------------------

static int CountFiles(const std::string& pattern)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int n = 0;
    do {
        n += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return n;
}

int CountTempFiles()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    return CountFiles(std::string(temp) + "mid*.tmp");
}

Figures Measure()
{
    BringUpDeviceThread();
    std::vector<unsigned long> ids = ThreadIds();
    char devices[32] = "";
    if (mciSendStringA("sysinfo all quantity open", devices, sizeof(devices), nullptr) != 0)
        devices[0] = '\0';
    return {CountHandles(), (int)ids.size(), CountTempFiles(), CountFiles(WorkFolder() + "*"), atoi(devices), ids};
}

Figures MeasureSettled(const Figures& baseline, int settle_ms)
{
    Figures now = Measure();
    DWORD start = GetTickCount();
    while ((now.handles > baseline.handles || now.threads > baseline.threads) &&
           GetTickCount() - start < (DWORD)settle_ms) {
        Sleep(20);
        now = Measure();
    }
    return now;
}

std::string Describe(const Figures& before, const Figures& after)
{
    std::string text = Format("handles %d -> %d, threads %d -> %d, temporary files %d -> %d", before.handles,
                              after.handles, before.threads, after.threads, before.temp_files, after.temp_files);
    if (after.mci_devices > before.mci_devices)
        text += Format(", open sequencer devices %d -> %d", before.mci_devices, after.mci_devices);
    if (after.threads > before.threads) {
        text += " (new threads started in";
        for (unsigned long id : after.thread_ids) {
            bool known = false;
            for (unsigned long old : before.thread_ids)
                known |= old == id;
            if (!known)
                text += " " + ThreadOrigin(id);
        }
        text += ")";
    }
    return text;
}

bool SameAs(const Figures& before, const Figures& after)
{
    return after.handles <= before.handles && after.threads <= before.threads &&
           after.temp_files <= before.temp_files && after.mci_devices <= before.mci_devices;
}

} // namespace validate
