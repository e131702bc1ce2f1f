// Process figures. The handle count comes from the system handle table (the process's own
// count is not kept by every platform this runs on), else from probing handle values.
#include "validate/figures.h"

#include <windows.h>
#include <tlhelp32.h>

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

int CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int n = 0;
    if (Thread32First(snapshot, &entry)) {
        do {
            n += entry.th32OwnerProcessID == GetCurrentProcessId();
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return n;
}

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
    return {CountHandles(), CountThreads(), CountTempFiles(), CountFiles(WorkFolder() + "*")};
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
    return Format("handles %d -> %d, threads %d -> %d, temporary files %d -> %d", before.handles, after.handles,
                  before.threads, after.threads, before.temp_files, after.temp_files);
}

bool SameAs(const Figures& before, const Figures& after)
{
    return after.handles <= before.handles && after.threads <= before.threads &&
           after.temp_files <= before.temp_files;
}

} // namespace validate
