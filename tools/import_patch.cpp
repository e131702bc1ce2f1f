// Import address table patching for one loaded module.
#include "tools/import_patch.h"

#include <cstring>

static void** FindImport(HMODULE module, const char* dll, const char* function)
{
    if (module == nullptr)
        return nullptr;
    auto base = (BYTE*)module;
    auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;
    for (auto d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name != 0; ++d) {
        if (_stricmp((const char*)(base + d->Name), dll) != 0)
            continue;
        auto names = (IMAGE_THUNK_DATA*)(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto by_name = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            if (strcmp((const char*)by_name->Name, function) == 0)
                return (void**)&slots->u1.Function;
        }
    }
    return nullptr;
}

bool Imports(HMODULE module, const char* dll, const char* function)
{
    return FindImport(module, dll, function) != nullptr;
}

static void WriteSlot(void** slot, void* value)
{
    DWORD old;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement)
{
    Set(module, dll, function, replacement);
}

bool ImportPatch::Set(HMODULE module, const char* dll, const char* function, void* replacement)
{
    Restore();
    slot_ = FindImport(module, dll, function);
    if (slot_ == nullptr)
        return false;
    original_ = *slot_;
    WriteSlot(slot_, replacement);
    return true;
}

ImportPatch::~ImportPatch() { Restore(); }

void ImportPatch::Restore()
{
    if (slot_ != nullptr)
        WriteSlot(slot_, original_);
    slot_ = nullptr;
}

static volatile DWORD fake_ticks = 0;
static DWORD WINAPI FakeGetTickCount(void) { return fake_ticks; }

bool FakeTickCount::Install(HMODULE module, DWORD start)
{
    fake_ticks = start;
    return patch_.Set(module, "kernel32.dll", "GetTickCount", (void*)FakeGetTickCount);
}

void FakeTickCount::Set(DWORD ticks) { fake_ticks = ticks; }
void FakeTickCount::Advance(DWORD ms) { fake_ticks = fake_ticks + ms; }
DWORD FakeTickCount::Now() const { return fake_ticks; }
