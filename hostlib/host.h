// The host around the plug-in, shared by every program that loads it: loads the DLL, fills
// every host word of its record with recording services, owns the host window and answers
// its messages, and offers the download service. A user states only what differs.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "host/in_module.h"

namespace hostlib {

// The folder of the running program, with a trailing backslash: the build puts the plug-in,
// the settings-folder library and every program that loads them there.
std::string ProgramFolder();

// The answer to the plug-in's download-service query.
enum class DownloadAnswer {
    kService, // the library's WinINet service (hostlib/download.h)
    kNone0,   // 0: no service
    kNone1,   // 1: no service
    kCustom,  // Options::custom_download
};

struct Options {
    std::string plugin_path;   // empty: midi_plugin.dll in ProgramFolder()
    // A window of the caller's own as the host window, whose procedure hands its messages to
    // Host::HandleMessage first. Null: the library's message-only window.
    HWND window = nullptr;
    bool load_settings = true; // call LoadSettings once the words are filled, as a host does
    // Keep loaded, for good, the libraries the plug-in imports, as a long-running host has
    // them: unloading the plug-in then unloads only the plug-in.
    bool hold_imports = false;
    DownloadAnswer download = DownloadAnswer::kService;
    DownloadFn custom_download = nullptr;
    // When set, gives the answer to each download-service query in place of `download`.
    std::function<LRESULT()> on_download_query;

    // Hooks, each optional, called after the library has recorded the call.
    // Service calls as text: "announce_format(0,44,2,1)", "vis_open(0,44100)", "vis_close()".
    std::function<void(const std::string& call)> on_call;
    // The sinks run on the capture thread while the plug-in holds its capture lock: a hook must
    // never wait there for the thread that calls Stop.
    std::function<void(const void* samples, int channels, int bits, int reserved)> on_sink_a, on_sink_b;
    std::function<void()> on_end_of_file;
    // Any other message to the library's window; returns the answer.
    std::function<LRESULT(UINT message, WPARAM wparam, LPARAM lparam)> on_message;
};

struct Message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

struct DownloadRequest {
    HWND window;
    std::string url, target, status;
    int result;
};

// What the services and the host window saw since the load (or Clear). "bad" counts calls
// whose values differ from the documented ones.
struct Seen {
    std::atomic<int> announce{0}, announce_bad{0};  // 0, 44, 2, 1
    std::atomic<int> vis_open{0}, vis_open_bad{0};  // 0, 44100
    std::atomic<int> vis_close{0};
    std::atomic<int> sink_a{0}, sink_b{0};          // blocks received
    std::atomic<int> sink_bad{0};                   // null block, or not 2, 16, 0
    std::atomic<int> sink_unpaired{0};              // pcm_sink_b without the block pcm_sink_a just had
    std::atomic<int> sink_after_close{0};           // a block after vis_close, before the next vis_open
    // Host thread only.
    int eof_posts = 0, eof_bad = 0;                 // 0, 0
    int service_queries = 0;
    std::vector<Message> messages;                  // every message of WM_USER and up, in order
    std::vector<DownloadRequest> downloads;         // requests to the download service answered
    void Clear();
};

// One plug-in loaded as a host loads it. The services are plain functions without context,
// so a process has one loaded Host at a time.
class Host {
public:
    explicit Host(Options options = Options());
    ~Host(); // Stop, then Unload, as a host does before it leaves

    // Loads the DLL, calls the export, keeps the record as it came (at_load), fills every host
    // word and calls LoadSettings unless told not to. False with the reason in *error.
    bool Load(std::string* error = nullptr);
    // FreeLibrary; true when the module's image is gone from the process afterwards.
    bool Unload();

    // Delivers the messages posted to this thread's windows.
    void Pump();
    // Waits up to ms for a message to arrive, then delivers what came.
    void Wait(DWORD ms);
    // The host window's answer to a message; *handled is false for messages it leaves to the
    // window's default procedure.
    LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled);

    Options options;
    Seen seen;
    HMODULE dll = nullptr;
    InModule* mod = nullptr;
    InModule at_load = {};
    HWND window = nullptr;
};

} // namespace hostlib
