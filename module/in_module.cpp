// The exported entry, the library entry and the descriptor record.
#include "module/in_module.h"

#include "host/host_calls.h"
#include "mixer/volume.h"
#include "playback/file_info.h"
#include "playback/sequencer.h"
#include "playback/temporary_piece.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"

static const char kDescription[] = "Tessarin MIDI plug-in v0.60 (x86)";
// One pair of extension list and description, ended by an empty text.
static const char kFileTypes[] = "MID\0MIDI Audio Files (*.MID)\0";

static void __cdecl DoNothing(void) {}
static int __cdecl ReturnZero(void*) { return 0; }

// The record is followed by three zero words the module never touches.
struct ModuleData {
    InModule record;
    int trailing_zero[3];
};

static ModuleData module_data = {
    {
        0x101,
        kDescription,
        nullptr,
        nullptr,
        kFileTypes,
        1,
        0,
        ShowSettings,
        ShowAbout,
        LoadSettings,
        DoNothing,
        GetFileInfo,
        ReturnZero,
        ReturnZero,
        Play,
        Pause,
        Resume,
        IsPaused,
        Stop,
        GetLength,
        GetPosition,
        SetPosition,
        SetVolume,
        SetPan,
        nullptr,
        nullptr,
        nullptr,
        {0, 0},
        nullptr,
        {0, 0, 0, 0, 0},
        DoNothing,
        nullptr,
        0,
    },
    {0, 0, 0},
};

InModule& in_module = module_data.record;

static_assert(sizeof(kFileTypes) == 30, "two texts and the empty one that ends the list");

extern "C" __declspec(dllexport) InModule* __cdecl kestroGetInModule2(void)
{
    return &module_data.record;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    // At process exit (reserved non-null) the loader unloads everything itself.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        ReleaseSequencerDriver();
    // A host that unloads the module without a Stop leaves no temporary piece behind, unless
    // the sequencer still holds it open (playback/temporary_piece.h).
    if (reason == DLL_PROCESS_DETACH)
        DeleteTemporaryPiece();
    return TRUE;
}
