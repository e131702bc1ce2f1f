// The validator's host: every plug-in is loaded through one host of the host library, which
// fills the host words with recording services; the validator adds its checks on the sinks and
// on download requests, its own download services, import patching and the substitute
// "appdata.dll".
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "hostlib/host.h"
#include "host/in_module.h"
#include "tools/import_patch.h"

namespace validate {

// ImportPatch and Imports come from tools/import_patch.h.

// The host every check loads the plug-in through, one plug-in at a time. host.seen holds what
// its services and window saw since the load (or ResetHostLog).
extern hostlib::Host host;

// What the validator's own checks on the services saw. The sinks run on the capture thread.
struct HostWatch {
    std::atomic<int> sink_after_stop{0};  // a sink called after Stop returned
    std::atomic<int> sink_delay_ms{0};    // each sink call sleeps this long
    std::atomic<bool> stop_returned{false};
    std::atomic<int> sink_in_call{0};
    int download_bad = 0;                 // requests with the wrong window, URL, target or status text
    std::string last_url;                 // the URL the validator passed to Play
};
extern HostWatch watch;
void ResetHostLog();

// The download requests the plug-in made, and where the last one went.
int Downloads();
std::string LastDownloadTarget();

// What the host window answers to the download-service query, from now on.
enum class DownloadService {
    kAbsent0,   // answers 0
    kAbsent1,   // answers 1
    kCopy,      // copies "http://validator.invalid/NAME" from the work folder; fails otherwise
    kUrlmon,    // downloads as a real host does (URLDownloadToFileA)
    kFail,      // the download always fails
    kNothing,   // reports success without writing anything
};
void SetDownloadService(DownloadService service);

// How LoadSettings finds "appdata.dll".
enum class AppData {
    kReal,      // untouched: whatever the system loads
    kFolder,    // reports appdata_folder
    kMissing,   // the library cannot be loaded
    kNoFunction,// the library lacks GetCommonAppDataPathA
    kFailing,   // the function fails (-1) leaving the buffer empty
};

struct AppDataLog {
    int loads = 0;     // LoadLibraryA("appdata.dll") calls
    int frees = 0;     // FreeLibrary on what they returned
    int calls = 0;     // GetCommonAppDataPathA calls
    int bad_size = 0;  // called with a size other than 260 or a null buffer
    std::vector<std::string> profile_paths; // settings files the plug-in read or wrote
};
extern AppDataLog appdata_log;

class Plugin {
public:
    ~Plugin();
    // Loads the DLL through the host, without LoadSettings. Returns false with a reason.
    bool Load(std::string* error);
    // Redirects appdata.dll for this load; call after Load and before LoadSettings.
    bool RedirectAppData(AppData mode, const std::string& folder = "");
    // Unloads; returns true when the module's image is gone from the process afterwards.
    bool Unload();
    bool Imports(const char* dll, const char* function) const;

    HMODULE dll = nullptr;
    InModule* mod = nullptr;
    InModule at_load = {};

private:
    ImportPatch load_library_;
    ImportPatch get_proc_;
    ImportPatch free_library_;
    ImportPatch profile_int_;
    ImportPatch profile_write_;
};

// True when the address lies where the last unloaded plug-in was mapped.
bool InLastPluginRange(void* address);

// Features of the plug-in, told by the platform functions it imports; a check of a feature
// the build lacks is skipped with this reason.
struct Features {
    bool file_info, mixer, capture, settings, streaming, dialog;
};
Features FeaturesOf(const Plugin& plugin);

// The validator's scratch folder (with a trailing backslash), removed when the group ends.
const std::string& WorkFolder();
void RemoveWorkFolder();
// Removes the scratch folder a child left behind (it crashed or was ended by the watchdog).
void RemoveWorkFolderOf(DWORD process_id);
std::string WriteFile(const std::string& name, const std::string& bytes);
std::string WriteMidi(const std::string& name, int quarters);

} // namespace validate
