// Test rig: fresh plug-in loads through the host library, recorded events, import patching.
#include "tests/rig/plugin_rig.h"

#include <cstdio>
#include <cstring>

#include "tools/midi_writer.h"

namespace rig {

static std::mutex events_lock;
static std::vector<std::string> events;
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

static FARPROC WINAPI GetProcAddressOutsideWine(HMODULE module, LPCSTR name)
{
    if ((ULONG_PTR)name > 0xFFFF && strcmp(name, "wine_get_version") == 0)
        return nullptr;
    return GetProcAddress(module, name);
}

HideWine::HideWine(HMODULE module)
    : ImportPatch(module, "kernel32.dll", "GetProcAddress", (void*)GetProcAddressOutsideWine)
{
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
    unsigned long long base = 0, address = 0, value;
    char line[1024], symbol[512];
    while (fgets(line, sizeof(line), f) != nullptr && (base == 0 || address == 0)) {
        if (sscanf(line, " 0x%llx %511s", &value, symbol) != 2)
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

FakeTicks::FakeTicks(HMODULE module, DWORD start)
{
    if (!ticks_.Install(module, start))
        ADD_FAILURE() << "the plug-in does not import kernel32.dll!GetTickCount";
}

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
    // The record's fields in order, each as a word, whatever the pointer width.
    if (param != 0 && command == MCI_OPEN) {
        auto open = (const MCI_OPEN_PARMSA*)param;
        call.words[0] = DWORD(open->dwCallback);
        call.words[1] = open->wDeviceID;
        call.words[2] = DWORD(DWORD_PTR(open->lpstrDeviceType));
        call.words[3] = DWORD(DWORD_PTR(open->lpstrElementName));
        call.words[4] = DWORD(DWORD_PTR(open->lpstrAlias));
        if (open->lpstrElementName != nullptr)
            call.element = open->lpstrElementName;
    } else if (param != 0 && command == MCI_STATUS) {
        auto status = (const MCI_STATUS_PARMS*)param;
        call.words[0] = DWORD(status->dwCallback);
        call.words[1] = DWORD(status->dwReturn);
        call.words[2] = status->dwItem;
        call.words[3] = status->dwTrack;
    } else if (param != 0 && command == MCI_PLAY) {
        auto play = (const MCI_PLAY_PARMS*)param;
        call.words[0] = DWORD(play->dwCallback);
        call.words[1] = play->dwFrom;
        call.words[2] = play->dwTo;
    } else if (param != 0 && command == MCI_SET) {
        auto set = (const MCI_SET_PARMS*)param;
        call.words[0] = DWORD(set->dwCallback);
        call.words[1] = set->dwTimeFormat;
        call.words[2] = set->dwAudio;
    } else if (param != 0) {
        call.words[0] = DWORD(((const MCI_GENERIC_PARMS*)param)->dwCallback);
    }
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

// --- the host ----------------------------------------------------------------------------

void PluginTest::SetUp()
{
    ClearEvents();
    download_service_answer = 0;
    host_.options.load_settings = false;
    host_.options.on_call = AddEvent;
    host_.options.on_download_query = [] { return download_service_answer; };
    std::string error;
    ASSERT_TRUE(host_.Load(&error)) << error;
    dll = host_.dll;
    mod = host_.mod;
    record_at_load = host_.at_load;
    window = host_.window;
}

void PluginTest::TearDown()
{
    // As a host does before unloading: a capture thread must not outlive the module's code.
    if (mod != nullptr)
        mod->Stop();
    host_.Unload();
    // What the plug-in posted and nobody delivered goes now, not to the next test.
    host_.Pump();
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
        folder_.clear();
    }
}

std::vector<Message> PluginTest::Messages()
{
    host_.Pump();
    return host_.seen.messages;
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

PluginTest::Ending PluginTest::PlayToEnd(int ms, int after_end_ms)
{
    Ending e;
    int last = 0, before = CountMessages(kEndOfFileMessage);
    DWORD start = GetTickCount(), posted = 0;
    for (; GetTickCount() - start < (DWORD)ms && (e.messages == 0 || GetTickCount() - posted < (DWORD)after_end_ms);
         Sleep(10)) {
        int position = mod->GetPosition();
        if (e.first_past < 0 && position > mod->GetLength())
            e.first_past = position;
        int messages = CountMessages(kEndOfFileMessage) - before;
        if (messages > 0 && e.messages == 0) {
            posted = GetTickCount();
            e.posted_after = last;
        }
        e.messages = messages;
        last = position;
    }
    return e;
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
