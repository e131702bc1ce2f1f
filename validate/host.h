// The validator's host: loads the plug-in as a media player does, fills the host words of its
// record with recording services, answers its window messages, and can substitute the system
// functions the plug-in imports (for a tick count it controls or an injected fault).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "module/in_module.h"
#include "tools/import_patch.h"

namespace validate {

// ImportPatch and Imports come from tools/import_patch.h.

// What the host services and the host window saw. The sinks run on the capture thread.
struct HostLog {
    std::atomic<int> announce{0};
    std::atomic<int> announce_bad{0};   // arguments other than 0, 44, 2, 1
    std::atomic<int> vis_open{0};
    std::atomic<int> vis_open_bad{0};   // arguments other than 0, 44100
    std::atomic<int> vis_close{0};
    std::atomic<int> sink_a{0};
    std::atomic<int> sink_b{0};
    std::atomic<int> sink_bad{0};       // null block or arguments other than 2, 16, 0
    std::atomic<int> sink_unpaired{0};  // pcm_sink_b without the same block just given to pcm_sink_a
    std::atomic<int> sink_after_close{0}; // a sink called after vis_close (capture must stop first)
    std::atomic<int> sink_after_stop{0};  // a sink called after Stop returned
    std::atomic<int> sink_delay_ms{0};    // each sink call sleeps this long
    std::atomic<bool> stop_returned{false};
    std::atomic<bool> closed{false};
    std::atomic<int> sink_in_call{0};
    int eof_posts = 0;
    int eof_bad = 0;                    // end-of-file messages with parameters other than 0, 0
    int service_queries = 0;
    int downloads = 0;
    int download_bad = 0;               // wrong window, URL or status text
    std::string last_download_target;
    std::string last_url;               // the URL the validator passed to Play
};
extern HostLog host;
void ResetHostLog();

// What the host window answers to the download-service query.
enum class DownloadService {
    kAbsent0,   // answers 0
    kAbsent1,   // answers 1
    kCopy,      // copies "http://validator.invalid/NAME" from the work folder; fails otherwise
    kUrlmon,    // downloads as a real host does (URLDownloadToFileA)
    kFail,      // the download always fails
    kNothing,   // reports success without writing anything
};
extern DownloadService download_service;

// Delivers posted messages to the host window.
void PumpMessages();

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
    // Loads the DLL, calls the export and fills the host words. Returns false with a reason.
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
