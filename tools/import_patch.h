// Substituting a system function for one loaded module by rewriting its import address
// table entry; the tests and the validator use it to control what Wine cannot, or to inject
// a fault. The plug-in itself never does this.
#pragma once

#include <windows.h>

// Rewrites one import address table entry of a module while the object lives.
class ImportPatch {
public:
    ImportPatch() = default;
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool ok() const { return slot_ != nullptr; }
    void* original() const { return original_; }
    // Patches (again), restoring any earlier patch of this object first. False when the
    // module does not import dll!function by name.
    bool Set(HMODULE module, const char* dll, const char* function, void* replacement);
    void Restore();

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// True when the module imports dll!function by name (the DLL name in any case).
bool Imports(HMODULE module, const char* dll, const char* function);

// Replaces GetTickCount in a module with a count the caller sets, while the object lives
// (one at a time: the count is shared).
class FakeTickCount {
public:
    // False when the module does not import GetTickCount.
    bool Install(HMODULE module, DWORD start);
    void Set(DWORD ticks);
    void Advance(DWORD ms);
    DWORD Now() const;
    void Remove() { patch_.Restore(); }

private:
    ImportPatch patch_;
};
