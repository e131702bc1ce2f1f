// Settings store: the capture switch in "vesk.ini" in the machine-wide application-data
// folder, which the library "appdata.dll" reports, and the save prompt kept in memory only.
#include "settings/settings_store.h"

#include <windows.h>

#include "playback/sequencer_copy.h"
#include "text/bounded_text.h"

// Host thread only. prompt_to_save is never read from or written to the file.
int config_sample = 1;
int config_loops = kDefaultLoopPasses;
int prompt_to_save = 0;
char config_sample_device[MAXPNAMELEN];
char settings_path[kSettingsPathSize];

static const char kSettingsSection[] = "Midi File Player";
// "config_sample" without its "config_" prefix.
static const char kSampleKey[] = "sample";
static const char kSampleDeviceKey[] = "sample_device";
// The passes of a file's loop; read only, never written (the dialog has no place for it).
static const char kLoopsKey[] = "loops";
static const char kSettingsFileName[] = "\\vesk.ini";

// The library's function: arguments pushed right to left, removed by the caller.
typedef int(__cdecl* LibraryPathFn)(char* buffer, unsigned size);

int CallLibraryPathFunction(const char* name, char* buffer, unsigned size)
{
    if (buffer != nullptr && size != 0)
        buffer[0] = '\0';
    HMODULE library = LoadLibraryA("appdata.dll");
    if (library == nullptr)
        return 0;
    int ok = 0;
    auto function = (LibraryPathFn)(void*)GetProcAddress(library, name);
    if (function != nullptr)
        ok = function(buffer, size) >= 0;
    FreeLibrary(library);
    return ok;
}

// Without the library the folder is empty and the file is "\vesk.ini" in the root of the
// current drive. A folder too long for the file name leaves the path empty: a cut path
// would be some other file.
void LocateSettingsFile(void)
{
    // What a failed call left in the buffer is no folder; the library promises at most 259
    // characters, which is not counted on either.
    if (!CallLibraryPathFunction("GetCommonAppDataPathA", settings_path, sizeof(settings_path)))
        settings_path[0] = '\0';
    settings_path[sizeof(settings_path) - 1] = '\0';
    if (!AppendText(settings_path, sizeof(settings_path), kSettingsFileName))
        settings_path[0] = '\0';
}

// The loops key: a whole number, optionally signed, with nothing else but spaces around it,
// clamped to 0..kMaxLoopPasses; anything else (missing, empty, "two", "3x") is kDefaultLoopPasses.
// GetPrivateProfileInt would read "abc" as 0, which would turn loops off.
static int ReadLoopsKey(const char* path)
{
    char text[32];
    GetPrivateProfileStringA(kSettingsSection, kLoopsKey, "", text, sizeof(text), path);
    const char* at = text;
    while (*at == ' ' || *at == '\t')
        ++at;
    int negative = *at == '-';
    if (*at == '-' || *at == '+')
        ++at;
    if (*at < '0' || *at > '9')
        return kDefaultLoopPasses;
    int value = 0;
    for (; *at >= '0' && *at <= '9'; ++at)
        if (value <= kMaxLoopPasses)
            value = value * 10 + (*at - '0'); // stops growing once past the bound
    while (*at == ' ' || *at == '\t')
        ++at;
    if (*at != '\0')
        return kDefaultLoopPasses;
    if (negative)
        return 0;
    return value > kMaxLoopPasses ? kMaxLoopPasses : value;
}

void __cdecl LoadSettings(void)
{
    LocateSettingsFile();
    if (settings_path[0] == '\0')
        return;
    config_sample = (int)GetPrivateProfileIntA(kSettingsSection, kSampleKey, config_sample, settings_path);
    // A name longer than a wave device's is cut as Wine cuts device names.
    char device[MAXPNAMELEN];
    GetPrivateProfileStringA(kSettingsSection, kSampleDeviceKey, config_sample_device, device, sizeof(device),
                             settings_path);
    CopyText(config_sample_device, sizeof(config_sample_device), device);
    config_loops = ReadLoopsKey(settings_path);
}

// Writes to the file the last LoadSettings located. Before any, or when the folder was too
// long, there is no path and nothing is written: the switch then holds for this load only,
// and no file the host never had read is overwritten.
void SaveSettings(void)
{
    if (settings_path[0] == '\0')
        return;
    char text[120];
    wsprintfA(text, "%d", config_sample);
    WritePrivateProfileStringA(kSettingsSection, kSampleKey, text, settings_path);
}
