// Capture benchmark: blocks reaching the sinks per second against the real-time rate, the
// time Stop takes with capture running, and the capture thread's share of a processor,
// each beside the bare wave-input calls (an event-driven reader of the same device).
// Needs the sound server with its null sink "nul": run it with tools/bench.sh.
#include "bench/bench_common.h"

#include <mmsystem.h>
#include <tlhelp32.h>

#include <atomic>
#include <set>

#include "tools/midi_writer.h"

constexpr int kBlock = 2304;
constexpr double kRealTimeBlocks = 44100.0 / 576; // blocks per second
constexpr DWORD kWarmUpMs = 2000;
constexpr DWORD kWindowMs = 10000;

static std::atomic<long> blocks{0};

static double Now()
{
    return NowMicroseconds() / 1e6;
}

static void StartUnixCommand(const std::string& script)
{
    std::string line = "/bin/sh -c \"" + script + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

static void __cdecl CountingSink(const void*, int, int, int) { ++blocks; }

static std::set<DWORD> ThreadsOfThisProcess()
{
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

// A thread started since `before` running at `priority`, or null.
static HANDLE NewThreadAt(const std::set<DWORD>& before, int priority)
{
    for (DWORD id : ThreadsOfThisProcess()) {
        if (before.count(id))
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
        if (thread != nullptr && GetThreadPriority(thread) == priority)
            return thread;
        if (thread != nullptr)
            CloseHandle(thread);
    }
    return nullptr;
}

static double CpuSeconds(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (thread == nullptr || !GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    auto seconds = [](FILETIME t) { return (((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

struct Window {
    double blocks_per_second;
    double cpu_share; // of one processor; negative when the system does not say
};

// Waits for the first block, warms up, then counts blocks and the thread's processor time.
static Window Measure(HANDLE thread)
{
    for (DWORD start = GetTickCount(); blocks == 0 && GetTickCount() - start < 20000;)
        Sleep(10);
    Sleep(kWarmUpMs);
    long b0 = blocks;
    double t0 = Now(), c0 = CpuSeconds(thread);
    Sleep(kWindowMs);
    long b1 = blocks;
    double t1 = Now(), c1 = CpuSeconds(thread);
    return {(b1 - b0) / (t1 - t0), c0 < 0 || c1 < 0 ? -1 : (c1 - c0) / (t1 - t0)};
}

// The bare device: the same format and two buffers of the same size, each given back the
// moment the device signals it.
static HWAVEIN bare_device;
static WAVEHDR bare_headers[2];
static char bare_buffers[2][kBlock];
static HANDLE bare_event;
static std::atomic<bool> bare_stop{false};

static DWORD WINAPI BareReader(void*)
{
    static char copy[kBlock];
    while (!bare_stop) {
        WaitForSingleObject(bare_event, 50);
        for (WAVEHDR& header : bare_headers) {
            if (!(header.dwFlags & WHDR_DONE) || bare_stop)
                continue;
            memcpy(copy, header.lpData, kBlock);
            header.dwFlags = WHDR_PREPARED;
            waveInAddBuffer(bare_device, &header, sizeof(WAVEHDR));
            ++blocks;
        }
    }
    return 0;
}

static bool OpenBareDevice()
{
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    bare_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (waveInOpen(&bare_device, WAVE_MAPPER, &format, (DWORD_PTR)bare_event, 0, CALLBACK_EVENT) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        bare_headers[i] = {};
        bare_headers[i].lpData = bare_buffers[i];
        bare_headers[i].dwBufferLength = kBlock;
        waveInPrepareHeader(bare_device, &bare_headers[i], sizeof(WAVEHDR));
        waveInAddBuffer(bare_device, &bare_headers[i], sizeof(WAVEHDR));
    }
    waveInStart(bare_device);
    return true;
}

static void CloseBareDevice()
{
    waveInStop(bare_device);
    waveInReset(bare_device);
    while (waveInClose(bare_device) == WAVERR_STILLPLAYING)
        Sleep(10);
    CloseHandle(bare_event);
}

static MCIDEVICEID OpenSequencer(const std::string& file)
{
    MCI_OPEN_PARMSA open = {};
    open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    open.lpstrElementName = file.c_str();
    if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open))
        return 0;
    MCI_PLAY_PARMS play = {};
    mciSendCommandA(open.wDeviceID, MCI_PLAY, 0, (DWORD_PTR)&play);
    return open.wDeviceID;
}

int main()
{
    HMODULE dll;
    InModule* mod = LoadPlugin(&dll, CountingSink);
    if (mod == nullptr) {
        fprintf(stderr, "cannot load midi_plugin.dll\n");
        return 1;
    }
    // Capture is on unless the machine's settings file says otherwise.
    mod->LoadSettings();

    std::string song = TempName("capture_bench.mid");
    WriteMidiFile(song, ScaleSong(240)); // two minutes

    if (!OpenBareDevice()) {
        // Said on stdout and not failed, so that a run of every benchmark goes on.
        printf("skipped: no wave input for 44.1 kHz 16-bit stereo; tools/bench.sh starts the sound server\n");
        return 0;
    }
    CloseBareDevice();

    // A signal in the null sink for the whole run; the sink's monitor only runs while
    // something plays into it.
    std::string pid_file = "/tmp/capture_bench_" + std::to_string(GetCurrentProcessId()) + ".pid";
    StartUnixCommand("f=$(mktemp --suffix=.wav) && /usr/bin/sox -n -r 44100 -c 2 -b 16 $f synth 90 sine 1000 "
                     "sine 1500 vol 0.5 && { /usr/bin/paplay --device=nul $f & echo $! > " + pid_file +
                     "; wait; }; rm -f $f " + pid_file);

    printf("%-44s %12s %12s %9s\n", "", "plug-in", "bare", "ratio");

    // Block rate and processor share over the same window.
    std::set<DWORD> before = ThreadsOfThisProcess();
    blocks = 0;
    if (mod->Play(song.c_str()) != 0) {
        fprintf(stderr, "the sequencer refused %s\n", song.c_str());
        return 1;
    }
    HANDLE capture_thread = NewThreadAt(before, THREAD_PRIORITY_HIGHEST);
    Window plugin = Measure(capture_thread);
    mod->Stop();
    if (capture_thread != nullptr)
        CloseHandle(capture_thread);

    blocks = 0;
    bare_stop = false;
    OpenBareDevice();
    HANDLE reader = CreateThread(nullptr, 0, BareReader, nullptr, 0, nullptr);
    SetThreadPriority(reader, THREAD_PRIORITY_HIGHEST);
    Window bare = Measure(reader);
    bare_stop = true;
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    CloseBareDevice();

    PrintRow("blocks per second to the sinks", plugin.blocks_per_second, bare.blocks_per_second, "blocks/s");
    PrintRow("  as a share of real time (44100/576 per s)", plugin.blocks_per_second / kRealTimeBlocks,
        bare.blocks_per_second / kRealTimeBlocks, "");
    if (plugin.cpu_share >= 0 && bare.cpu_share >= 0)
        PrintRow("capture thread, share of one processor", 100 * plugin.cpu_share, 100 * bare.cpu_share, "%");
    else
        printf("%-44s %s\n", "capture thread, share of one processor", "(thread times not reported here)");
    printf("(thread times come in whole scheduler ticks: over %u s, 0.1%% is one 10 ms tick)\n", kWindowMs / 1000);

    // Stop with capture running, against the calls it wraps made bare: the sequencer's stop
    // and close, and the device's stop, reset and close.
    std::vector<double> plugin_stop, bare_stop_ms;
    for (int run = 0; run < 15; ++run) {
        blocks = 0;
        mod->Play(song.c_str());
        for (DWORD start = GetTickCount(); blocks < 10 && GetTickCount() - start < 5000;)
            Sleep(5);
        double t0 = Now();
        mod->Stop();
        plugin_stop.push_back((Now() - t0) * 1000);

        MCIDEVICEID sequencer = OpenSequencer(song);
        OpenBareDevice();
        Sleep(150);
        MCI_GENERIC_PARMS generic = {};
        t0 = Now();
        mciSendCommandA(sequencer, MCI_STOP, MCI_WAIT, (DWORD_PTR)&generic);
        mciSendCommandA(sequencer, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&generic);
        CloseBareDevice();
        bare_stop_ms.push_back((Now() - t0) * 1000);
    }
    PrintRow("Stop with capture running, median of 15", Median(plugin_stop), Median(bare_stop_ms), "ms");
    printf("(the bare Stop has no thread to end; the plug-in's waits out the thread's 10 ms sleep)\n");

    StartUnixCommand("kill $(cat " + pid_file + ") 2>/dev/null");
    DeleteFileA(song.c_str());
    FreeLibrary(dll);
    return 0;
}
