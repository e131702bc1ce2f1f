// Test rig: fresh plug-in loads, host doubles, a recording host window and import patching.
#include "tests/rig/plugin_rig.h"

#include <cstdio>
#include <cstring>

#include "tools/midi_writer.h"

namespace rig {

static std::mutex events_lock;
static std::vector<std::string> events;
static std::vector<Message> messages;
LRESULT download_service_answer = 0;

void AddEvent(const std::string& event)
{
    std::lock_guard<std::mutex> hold(events_lock);
    events.push_back(event);
}

std::vector<std::string> Events()
{
    std::lock_guard<std::mutex> hold(events_lock);
    return events;
}

void ClearEvents()
{
    std::lock_guard<std::mutex> hold(events_lock);
    events.clear();
}

int CountEvents(const std::string& prefix)
{
    int n = 0;
    for (const std::string& e : Events())
        n += e.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// --- import patching -------------------------------------------------------------------

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement)
    : ::ImportPatch(module, dll, function, replacement)
{
    if (!ok())
        ADD_FAILURE() << "the plug-in does not import " << dll << "!" << function;
}

// --- plug-in variables ------------------------------------------------------------------

void* PluginVariable(HMODULE module, const char* name)
{
    // The shipped DLL has no symbol table; its link map lies beside it. A symbol's line there
    // is "0xADDRESS name" at the preferred base, which the line "0xBASE __image_base__ = ..." gives.
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, sizeof(path));
    std::string map(path, n);
    map = map.substr(0, map.find_last_of('.')) + ".map";
    FILE* f = fopen(map.c_str(), "r");
    if (f == nullptr)
        return nullptr;
    unsigned long base = 0, address = 0, value;
    char line[1024], symbol[512];
    while (fgets(line, sizeof(line), f) != nullptr && (base == 0 || address == 0)) {
        if (sscanf(line, " 0x%lx %511s", &value, symbol) != 2)
            continue;
        if (strcmp(symbol, "__image_base__") == 0)
            base = value;
        else if (strcmp(symbol, name) == 0 && strchr(line, '=') == nullptr)
            address = value;
    }
    fclose(f);
    return base != 0 && address > base ? (BYTE*)module + (address - base) : nullptr;
}

// --- tick count ------------------------------------------------------------------------

static volatile DWORD fake_ticks = 0;
static DWORD WINAPI FakeGetTickCount(void) { return fake_ticks; }

FakeTicks::FakeTicks(HMODULE module, DWORD start)
    : patch_(module, "kernel32.dll", "GetTickCount", (void*)FakeGetTickCount)
{
    fake_ticks = start;
}

void FakeTicks::Set(DWORD ticks) { fake_ticks = ticks; }
void FakeTicks::Advance(DWORD ms) { fake_ticks = fake_ticks + ms; }

// --- MCI -------------------------------------------------------------------------------

struct MciState {
    MciRecorder* recorder = nullptr;
    bool forward = false;
    void* real = nullptr;
    std::vector<MciCall> calls;
    std::vector<std::pair<UINT, MCIERROR>> failures;
};
static MciState mci;

const char* MciName(UINT command)
{
    switch (command) {
    case MCI_OPEN: return "OPEN";
    case MCI_CLOSE: return "CLOSE";
    case MCI_PLAY: return "PLAY";
    case MCI_STOP: return "STOP";
    case MCI_PAUSE: return "PAUSE";
    case MCI_SET: return "SET";
    case MCI_STATUS: return "STATUS";
    case MCI_RESUME: return "RESUME";
    default: return "?";
    }
}

static MCIERROR WINAPI RecordingMciSendCommand(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR param)
{
    MciCall call = {device, command, flags, {0, 0, 0, 0, 0}, ""};
    auto words = (const DWORD*)param;
    int count = command == MCI_OPEN ? 5 : command == MCI_STATUS ? 4 : command == MCI_PLAY || command == MCI_SET ? 3 : 1;
    if (words != nullptr)
        memcpy(call.words, words, count * sizeof(DWORD));
    if (command == MCI_OPEN && words != nullptr && words[3] != 0)
        call.element = (const char*)words[3];
    mci.calls.push_back(call);
    char text[64];
    snprintf(text, sizeof(text), "mci %s 0x%lx", MciName(command), (unsigned long)flags);
    AddEvent(text);

    if (mci.forward)
        return ((MCIERROR(WINAPI*)(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR))mci.real)(device, command, flags, param);
    for (auto [failing, result] : mci.failures)
        if (failing == command)
            return result;
    if (command == MCI_OPEN)
        ((MCI_OPEN_PARMSA*)param)->wDeviceID = mci.recorder->next_device;
    if (command == MCI_STATUS)
        ((MCI_STATUS_PARMS*)param)->dwReturn = mci.recorder->fake_length;
    return 0;
}

MciRecorder::MciRecorder(HMODULE module, bool forward)
    : patch_(module, "winmm.dll", "mciSendCommandA", (void*)RecordingMciSendCommand)
{
    mci = MciState();
    mci.recorder = this;
    mci.forward = forward;
    mci.real = patch_.original();
}

MciRecorder::~MciRecorder() { mci.recorder = nullptr; }
std::vector<MciCall> MciRecorder::Calls() const { return mci.calls; }
void MciRecorder::Clear() { mci.calls.clear(); }
void MciRecorder::Fail(UINT command, MCIERROR result) { mci.failures.push_back({command, result}); }

// --- host doubles ----------------------------------------------------------------------

static void __cdecl AnnounceFormat(int a, int b, int c, int d)
{
    char text[64];
    snprintf(text, sizeof(text), "announce_format(%d,%d,%d,%d)", a, b, c, d);
    AddEvent(text);
}

static void __cdecl VisOpen(int a, int b)
{
    char text[64];
    snprintf(text, sizeof(text), "vis_open(%d,%d)", a, b);
    AddEvent(text);
}

static void __cdecl VisClose(void) { AddEvent("vis_close()"); }
// The sinks run on the capture thread whenever the sound card delivers, so they stay out of
// the ordered event list; capture tests install sinks of their own.
static void __cdecl SinkA(const void*, int, int, int) {}
static void __cdecl SinkB(const void*, int, int, int) {}

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= WM_USER) {
        messages.push_back({message, wparam, lparam});
        if (message == kDownloadServiceQuery && lparam == kDownloadServiceParam)
            return download_service_answer;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

void PluginTest::SetUp()
{
    ClearEvents();
    messages.clear();
    download_service_answer = 0;

    dll = LoadLibraryA((ProgramFolder() + "midi_plugin.dll").c_str());
    ASSERT_NE(dll, nullptr) << "midi_plugin.dll not found beside the test";
    auto get = (InModule * (__cdecl*)(void))(void*) GetProcAddress(dll, "kestroGetInModule2");
    ASSERT_NE(get, nullptr);
    mod = get();
    record_at_load = *mod;

    static bool registered = false;
    if (!registered) {
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = HostWindowProc;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "RigHostWindow";
        RegisterClassA(&window_class);
        registered = true;
    }
    window = CreateWindowA("RigHostWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);

    mod->main_window = window;
    mod->module_instance = dll;
    mod->announce_format = AnnounceFormat;
    mod->vis_open = VisOpen;
    mod->vis_close = VisClose;
    mod->pcm_sink_a = SinkA;
    mod->pcm_sink_b = SinkB;
}

void PluginTest::TearDown()
{
    // As a host does before unloading: a capture thread must not outlive the module's code.
    if (mod != nullptr)
        mod->Stop();
    if (dll != nullptr)
        FreeLibrary(dll);
    if (window != nullptr)
        DestroyWindow(window);
    if (!folder_.empty()) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder_ + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileA((folder_ + found.cFileName).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(folder_.c_str());
    }
}

std::vector<Message> PluginTest::Messages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    return messages;
}

int PluginTest::CountMessages(UINT message)
{
    int n = 0;
    for (const Message& m : Messages())
        n += m.message == message;
    return n;
}

const std::string& PluginTest::Folder()
{
    if (folder_.empty()) {
        char temp[MAX_PATH];
        GetTempPathA(sizeof(temp), temp);
        char name[64];
        snprintf(name, sizeof(name), "rig%lu_%lu\\", GetCurrentProcessId(), GetTickCount());
        folder_ = std::string(temp) + name;
        CreateDirectoryA(folder_.c_str(), nullptr);
    }
    return folder_;
}

std::string PluginTest::WriteScale(const char* name, int quarters)
{
    std::string path = Folder() + name;
    EXPECT_TRUE(WriteMidiFile(path, ScaleSong(quarters)));
    return path;
}

std::string PluginTest::WriteBytes(const char* name, const std::string& bytes)
{
    std::string path = Folder() + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

struct PipeReader {
    HANDLE pipe;
    std::string text;
};

static DWORD WINAPI ReadPipe(void* param)
{
    auto reader = (PipeReader*)param;
    char buffer[512];
    DWORD n;
    while (ReadFile(reader->pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0)
        reader->text.append(buffer, n);
    return 0;
}

int RunProgram(const std::string& command_line, std::string* output, DWORD timeout_ms)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read_end, write_end;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process = {};
    std::string line = command_line;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return -2;
    }
    CloseHandle(write_end);
    // Read on a thread so that a chatty child never blocks on a full pipe.
    PipeReader reader = {read_end, ""};
    HANDLE thread = CreateThread(nullptr, 0, ReadPipe, &reader, 0, nullptr);
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    } else {
        GetExitCodeProcess(process.hProcess, &code);
    }
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(read_end);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (output != nullptr)
        *output = reader.text;
    return (int)code;
}

} // namespace rig
