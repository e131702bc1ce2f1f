// Soundcard capture against a substituted wave input device. The test decides when a buffer
// is done: its completions are applied as the capture thread wakes for a pass, so what one
// pass sees is under the test's control.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>

using rig::PluginTest;
using Strings = std::vector<std::string>;

namespace {

constexpr int kBlock = 2304;

// The device, the sinks and what the test has them do; `lock` guards it all, since the host
// thread, the capture thread and the test reach it. Events are "what" on the host thread
// and "what@pass" on the capture thread.
struct FakeWave {
    std::mutex lock;
    std::vector<std::pair<std::string, int>> events;
    WAVEFORMATEX format = {};
    UINT device_id = 0;
    std::vector<UINT> opened_ids;
    DWORD_PTR callback = 1, instance = 1;
    DWORD open_flags = 1;
    HWAVEIN current = nullptr;
    WAVEHDR* headers[2] = {};
    int prepared = 0, opens = 0;
    std::deque<WAVEHDR*> queue;
    std::vector<std::pair<int, char>> pending; // buffer, tag: done at the next pass
    bool started = false, refuse_open = false, refuse_thread = false, hold_sink_a = false;
    bool refuse_chosen = false; // refuse any input but the wave mapper
    int refuse_close = 0;  // closes to answer WAVERR_STILLPLAYING
    DWORD stop_fill = 0;   // bytes a stop leaves recorded in the buffer being filled
    std::vector<std::string> blocks; // what sink a received
    const void* sink_address = nullptr;
    int sink_priority = -99;
    bool bad_sink_arguments = false;
};

FakeWave* wave = nullptr;
std::atomic<int> pass{0};
std::atomic<bool> in_sink{false};
DWORD host_thread = 0;
HANDLE release_sink = nullptr;
void *real_sleep, *real_create_thread, *real_wait, *real_get_proc_address;

// The tests of the capture machinery see the plug-in as on Windows, where it opens the wave
// mapper; the one about Wine's inputs lets it find Wine (ntdll's wine_get_version).
bool hide_wine = true;
FARPROC WINAPI MaybeNotWine(HMODULE module, LPCSTR name)
{
    if (hide_wine && HIWORD((ULONG_PTR)name) != 0 && strcmp(name, "wine_get_version") == 0)
        return nullptr;
    return ((FARPROC(WINAPI*)(HMODULE, LPCSTR))real_get_proc_address)(module, name);
}

void Log(const std::string& what) { wave->events.push_back({what, GetCurrentThreadId() == host_thread ? -1 : pass.load()}); }
std::string Index(WAVEHDR* h) { return std::to_string(h == wave->headers[0] ? 0 : h == wave->headers[1] ? 1 : -1); }

void Finish(WAVEHDR* header, DWORD bytes, char tag)
{
    memset(header->lpData, tag, bytes);
    header->dwBytesRecorded = bytes;
    header->dwFlags = (header->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
}

#define HOLD std::lock_guard<std::mutex> hold(wave->lock)

MMRESULT WINAPI FakeOpen(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                         DWORD_PTR instance, DWORD flags)
{
    HOLD;
    Log("open");
    wave->device_id = id, wave->format = *format, wave->callback = callback, wave->instance = instance;
    wave->open_flags = flags;
    wave->opened_ids.push_back(id);
    if (wave->refuse_open || (wave->refuse_chosen && id != WAVE_MAPPER))
        return WAVERR_BADFORMAT;
    wave->current = *device = (HWAVEIN)(DWORD_PTR)(0x100 + ++wave->opens);
    wave->prepared = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakePrepare(HWAVEIN, LPWAVEHDR header, UINT size)
{
    HOLD;
    wave->headers[wave->prepared++ % 2] = header;
    header->dwFlags |= size == sizeof(WAVEHDR) ? WHDR_PREPARED : 0;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeAdd(HWAVEIN device, LPWAVEHDR header, UINT size)
{
    HOLD;
    Log((device == wave->current ? "add " : "add to a closed device ") + Index(header));
    if (size != sizeof(WAVEHDR) || !(header->dwFlags & WHDR_PREPARED) || header->dwBufferLength != kBlock)
        return WAVERR_UNPREPARED;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    wave->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeStart(HWAVEIN)
{
    HOLD;
    Log("start");
    wave->started = true;
    return MMSYSERR_NOERROR;
}

// As a driver does: the buffer being filled comes back done with what it holds so far.
MMRESULT WINAPI FakeStop(HWAVEIN)
{
    HOLD;
    Log("stop");
    if (wave->started && !wave->queue.empty()) {
        Finish(wave->queue.front(), wave->stop_fill, 5);
        wave->queue.pop_front();
    }
    wave->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeReset(HWAVEIN)
{
    HOLD;
    Log("reset");
    for (WAVEHDR* header : wave->queue)
        Finish(header, 0, 0);
    wave->queue.clear();
    wave->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeClose(HWAVEIN)
{
    HOLD;
    Log("close");
    if (wave->refuse_close > 0 && wave->refuse_close--)
        return WAVERR_STILLPLAYING;
    if (!wave->queue.empty())
        return WAVERR_STILLPLAYING;
    wave->current = nullptr;
    return MMSYSERR_NOERROR;
}

// The capture thread's pass begins as its sleep ends: the completions asked for land then.
void WINAPI FakeSleep(DWORD ms)
{
    ((void(WINAPI*)(DWORD))real_sleep)(ms);
    if (GetCurrentThreadId() == host_thread)
        return;
    HOLD;
    ++pass;
    for (auto [buffer, tag] : wave->pending) {
        auto queued = std::find(wave->queue.begin(), wave->queue.end(), wave->headers[buffer]);
        if (queued == wave->queue.end()) {
            Log("finish of a buffer not queued");
            continue;
        }
        Finish(*queued, kBlock, tag);
        wave->queue.erase(queued);
    }
    wave->pending.clear();
}

HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES s, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID param,
                               DWORD flags, LPDWORD id)
{
    if (wave->refuse_thread)
        return nullptr;
    return ((decltype(&CreateThread))real_create_thread)(s, stack, start, param, flags, id);
}

// Stop's wait for the capture thread: a held sink may finish from here on.
DWORD WINAPI FakeWait(HANDLE handle, DWORD ms)
{
    {
        HOLD;
        Log("wait");
    }
    SetEvent(release_sink);
    return ((decltype(&WaitForSingleObject))real_wait)(handle, ms);
}

void Sink(char which, const void* samples, int channels, int bits, int reserved)
{
    {
        HOLD;
        Log(std::string(1, which) + " " + std::to_string(*(const char*)samples));
        wave->bad_sink_arguments |= channels != 2 || bits != 16 || reserved != 0;
        if (which == 'a') {
            wave->blocks.emplace_back((const char*)samples, kBlock);
            wave->sink_address = samples;
            wave->sink_priority = GetThreadPriority(GetCurrentThread());
        }
    }
    if (which == 'a' && wave->hold_sink_a) {
        in_sink = true;
        WaitForSingleObject(release_sink, 10000);
        in_sink = false;
    }
}

void __cdecl SinkA(const void* s, int c, int b, int r) { Sink('a', s, c, b, r); }
void __cdecl SinkB(const void* s, int c, int b, int r) { Sink('b', s, c, b, r); }

bool WaitUntil(const std::function<bool()>& done)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(2))
        if (done())
            return true;
    return false;
}

} // namespace

class CaptureTest : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        wave = new FakeWave();
        host_thread = GetCurrentThreadId();
        pass = 0;
        release_sink = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const std::pair<const char*, void*> winmm[] = {
            {"waveInOpen", (void*)FakeOpen}, {"waveInPrepareHeader", (void*)FakePrepare},
            {"waveInAddBuffer", (void*)FakeAdd}, {"waveInStart", (void*)FakeStart},
            {"waveInStop", (void*)FakeStop}, {"waveInReset", (void*)FakeReset}, {"waveInClose", (void*)FakeClose}};
        for (auto [name, fake] : winmm)
            patches.push_back(new rig::ImportPatch(dll, "winmm.dll", name, fake));
        real_sleep = Patch("Sleep", (void*)FakeSleep);
        real_create_thread = Patch("CreateThread", (void*)FakeCreateThread);
        real_wait = Patch("WaitForSingleObject", (void*)FakeWait);
        hide_wine = true;
        real_get_proc_address = Patch("GetProcAddress", (void*)MaybeNotWine);
        mci = new rig::MciRecorder(dll, false);
        mod->pcm_sink_a = SinkA;
        mod->pcm_sink_b = SinkB;
    }
    void TearDown() override
    {
        mod->Stop(); // while the device and the sleep are still the test's
        delete mci;
        for (rig::ImportPatch* p : patches)
            delete p;
        delete wave;
        CloseHandle(release_sink);
        PluginTest::TearDown();
    }
    void* Patch(const char* name, void* fake)
    {
        patches.push_back(new rig::ImportPatch(dll, "kernel32.dll", name, fake));
        return patches.back()->original();
    }
    void Complete(int buffer, char tag)
    {
        HOLD;
        wave->pending.push_back({buffer, tag});
    }
    // Blocks both sinks have received.
    size_t Served()
    {
        HOLD;
        return std::count_if(wave->events.begin(), wave->events.end(), [](auto& e) { return e.first[0] == 'b'; });
    }
    size_t Mark()
    {
        HOLD;
        return wave->events.size();
    }
    // The events since `from`, capture-thread passes counted from the first among them;
    // `host_only` keeps only the host thread's.
    Strings Since(size_t from, bool host_only = false)
    {
        HOLD;
        Strings texts;
        int first = -1;
        for (size_t i = from; i < wave->events.size(); ++i) {
            auto [what, at] = wave->events[i];
            if (at >= 0 && first < 0)
                first = at;
            if (at < 0 || !host_only)
                texts.push_back(at < 0 ? what : what + "@" + std::to_string(at - first));
        }
        return texts;
    }

    std::vector<rig::ImportPatch*> patches;
    rig::MciRecorder* mci = nullptr;
};

TEST_F(CaptureTest, OpensTheMapperWithTheExactFormatAndQueuesBothBuffers)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(Since(0), (Strings{"open", "add 0", "add 1", "start"}));
    EXPECT_EQ(wave->device_id, WAVE_MAPPER);
    EXPECT_EQ(wave->callback, 0u);
    EXPECT_EQ(wave->instance, 0u);
    EXPECT_EQ(wave->open_flags, DWORD(CALLBACK_NULL));
    const WAVEFORMATEX expected = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    EXPECT_EQ(memcmp(&wave->format, &expected, sizeof(expected)), 0);
    auto distance = wave->headers[0]->lpData - wave->headers[1]->lpData;
    EXPECT_GE(distance < 0 ? -distance : distance, kBlock) << "the buffers overlap";

    Complete(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
    EXPECT_EQ(wave->sink_priority, THREAD_PRIORITY_HIGHEST);
}

TEST_F(CaptureTest, BuffersReachBothSinksWholeInOrderOnePerPass)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    size_t start = Mark();
    Complete(0, 1);
    Complete(1, 2);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));
    // Each buffer goes back to the device before the sinks see its copy.
    EXPECT_EQ(Since(start), (Strings{"add 0@0", "a 1@0", "b 1@0", "add 1@1", "a 2@1", "b 2@1"}));
    start = Mark();
    Complete(1, 3); // buffer 1 alone is done: served without waiting for buffer 0
    ASSERT_TRUE(WaitUntil([&] { return Served() == 3; }));
    EXPECT_EQ(Since(start), (Strings{"add 1@0", "a 3@0", "b 3@0"}));

    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(wave->blocks[i], std::string(kBlock, char(i + 1))) << "block " << i;
    EXPECT_FALSE(wave->bad_sink_arguments);
    EXPECT_NE(wave->sink_address, wave->headers[0]->lpData) << "the sinks get a copy";
    EXPECT_NE(wave->sink_address, wave->headers[1]->lpData);
}

TEST_F(CaptureTest, PauseStopsTheDeviceAndItsPartBufferArrivesOnceWholeResumeRestarts)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    wave->stop_fill = 1000;
    size_t start = Mark();
    mod->Pause();
    EXPECT_EQ(Since(start, true), (Strings{"stop"}));
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
    int after = pass;
    ASSERT_TRUE(WaitUntil([&] { return pass > after + 5; }));
    EXPECT_EQ(Served(), 1u);
    // The whole buffer, its unrecorded (still silent) tail included.
    EXPECT_EQ(wave->blocks[0], std::string(1000, '\5') + std::string(kBlock - 1000, '\0'));

    start = Mark();
    mod->Resume();
    EXPECT_EQ(Since(start, true), (Strings{"start"}));
    Complete(1, 6);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));

    // Stop while paused: the thread ends first, then the device is stopped, reset and
    // closed, the close tried again while the device says it still holds buffers.
    mod->Pause();
    ASSERT_TRUE(WaitUntil([&] { return Served() == 3; }));
    wave->refuse_close = 2;
    start = Mark();
    mod->Stop();
    EXPECT_EQ(Since(start), (Strings{"wait", "stop", "reset", "close", "close", "close"}));
    EXPECT_EQ(wave->current, nullptr);
}

TEST_F(CaptureTest, StopWaitsForTheSinkUnderWayAndNothingArrivesAfterIt)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    wave->hold_sink_a = true; // a sink slower than anything the host does meanwhile
    size_t start = Mark();
    Complete(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return in_sink.load(); }));
    Complete(1, 2); // done while the sink is busy; the pass under way does not take it
    mod->Stop();
    EXPECT_FALSE(in_sink);
    Strings seen = Since(start);
    EXPECT_EQ(seen, (Strings{"add 0@0", "a 1@0", "wait", "b 1@0", "stop", "reset", "close"}));
    Sleep(100);
    EXPECT_EQ(Since(start), seen) << "no sink call once Stop has returned";
}

TEST_F(CaptureTest, PlayWhileCapturingEndsThatCaptureBeforeSettingUpAgain)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    Complete(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
    size_t start = Mark();
    ASSERT_EQ(mod->Play("C:\\music\\b.mid"), 0);
    EXPECT_EQ(Since(start), (Strings{"wait", "stop", "reset", "close", "open", "add 0", "add 1", "start"}));
    Complete(0, 2);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));
}

TEST_F(CaptureTest, ACaptureThatCannotStartLeavesNothingOpenForStopToWaitFor)
{
    wave->refuse_open = true;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0) << "playback goes on without capture";
    mod->Pause();
    mod->Resume();
    mod->Stop();
    EXPECT_EQ(Since(0), (Strings{"open"}));

    wave->refuse_open = false;
    wave->refuse_thread = true;
    size_t start = Mark();
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(Since(start), (Strings{"open", "add 0", "add 1", "start", "stop", "reset", "close"}));
    EXPECT_EQ(wave->current, nullptr);
    start = Mark();
    mod->Pause();
    mod->Resume();
    mod->Stop();
    EXPECT_TRUE(Since(start).empty());

    // The lock and buffers are set up afresh for the next capture.
    wave->refuse_thread = false;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    Complete(1, 4);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
}

// Under Wine the input is the monitor of the output (the test sound server's null sink), not
// the default input; when it refuses the format, the wave mapper is opened instead.
TEST_F(CaptureTest, UnderWineTheOutputsMonitorIsOpenedAndARefusalLeavesTheMapper)
{
    UINT monitor = WAVE_MAPPER;
    for (UINT id = waveInGetNumDevs(); id-- > 0;) {
        WAVEINCAPSW caps;
        if (waveInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR && wcsncmp(caps.szPname, L"Monitor of ", 11) == 0)
            monitor = id;
    }
    ASSERT_NE(monitor, WAVE_MAPPER) << "no monitor: is the sound server of tools/test.sh running?";
    hide_wine = false;
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(wave->opened_ids, std::vector<UINT>{monitor});
    mod->Stop();

    wave->opened_ids.clear();
    wave->refuse_chosen = true;
    size_t start = Mark();
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(wave->opened_ids, (std::vector<UINT>{monitor, WAVE_MAPPER}));
    EXPECT_EQ(Since(start), (Strings{"open", "open", "add 0", "add 1", "start"}));
    Complete(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
}

// Which input, on device lists Wine gives a desktop but this sound server cannot: several
// outputs, Wine's default output chosen in winecfg, names cut to 31 characters.
const WCHAR* fake_output = L"";
std::vector<const WCHAR*> fake_inputs;
MMRESULT WINAPI FakeOutputCaps(UINT_PTR id, LPWAVEOUTCAPSW caps, UINT size)
{
    if (id != 0 || size < sizeof(*caps))
        return MMSYSERR_BADDEVICEID;
    lstrcpynW(caps->szPname, fake_output, MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}
UINT WINAPI FakeInputCount(void) { return fake_inputs.size(); }
MMRESULT WINAPI FakeInputCaps(UINT_PTR id, LPWAVEINCAPSW caps, UINT size)
{
    if (id >= fake_inputs.size() || size < sizeof(*caps))
        return MMSYSERR_BADDEVICEID;
    lstrcpynW(caps->szPname, fake_inputs[id], MAXPNAMELEN);
    return MMSYSERR_NOERROR;
}

TEST_F(CaptureTest, UnderWineTheNamedInputThenTheDefaultOutputsMonitorThenTheFirstMonitor)
{
    hide_wine = false;
    auto named = (char*)rig::PluginVariable(dll, "config_sample_device");
    ASSERT_NE(named, nullptr);
    const std::pair<const char*, void*> winmm[] = {{"waveOutGetDevCapsW", (void*)FakeOutputCaps},
                                                   {"waveInGetNumDevs", (void*)FakeInputCount},
                                                   {"waveInGetDevCapsW", (void*)FakeInputCaps}};
    for (auto [name, fake] : winmm)
        patches.push_back(new rig::ImportPatch(dll, "winmm.dll", name, fake));
    struct Case {
        const WCHAR* output;
        const char* setting;
        std::vector<const WCHAR*> inputs;
        UINT expected;
    } cases[] = {
        {L"PulseAudio", "", {L"PulseAudio", L"Monitor of HDMI", L"Microphone", L"Monitor of Speakers"}, 1},
        {L"Speakers", "", {L"PulseAudio", L"Monitor of HDMI", L"Microphone", L"Monitor of Speakers"}, 3},
        {L"Speakers", "microphone", {L"PulseAudio", L"Monitor of HDMI", L"Microphone", L"Monitor of Speakers"}, 2},
        {L"Speakers", "Monitor of Headset", {L"PulseAudio", L"Monitor of HDMI", L"Monitor of Speakers"}, 2},
        {L"Built-in Audio Analog Stereo Output",
         "",
         {L"PulseAudio", L"Monitor of HDMI", L"Monitor of Built-in Audio Analo"},
         2},
        {L"PulseAudio", "", {L"PulseAudio", L"Microphone"}, WAVE_MAPPER},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        fake_output = c.output;
        fake_inputs = c.inputs;
        strcpy(named, c.setting);
        wave->opened_ids.clear();
        ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
        mod->Stop();
        EXPECT_EQ(wave->opened_ids, std::vector<UINT>{c.expected}) << "case " << i;
    }
}
