// Soundcard capture against a substituted wave input device. The test decides when a buffer
// is done: its completions are applied as the capture thread wakes for a pass, so what one
// pass sees is under the test's control.
#include "tests/rig/plugin_rig.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>

using rig::ImportPatch;
using rig::PluginTest;

namespace {

constexpr int kBlock = 2304;

struct Event {
    std::string what; // "open", "add 0", "a 7" (sink a got a block tagged 7), ...
    int pass;         // capture-thread pass it happened in; -1 on the host thread
};

struct Completion {
    int buffer;
    unsigned char tag;
};

// The device and what the test has it do. `lock` guards everything, since the host thread,
// the capture thread and the test all reach it.
struct FakeWave {
    std::mutex lock;
    std::vector<Event> events;
    WAVEFORMATEX format = {};
    UINT device_id = 0;
    DWORD_PTR callback = 1, instance = 1;
    DWORD open_flags = 1;
    int opens = 0;
    HWAVEIN current = nullptr;
    WAVEHDR* headers[2] = {};
    int prepared = 0;
    std::deque<WAVEHDR*> queue;
    std::vector<Completion> pending;
    bool started = false;
    bool refuse_open = false;
    bool refuse_thread = false;
    int refuse_close = 0;              // closes to answer WAVERR_STILLPLAYING
    DWORD stop_fill = 0;               // bytes a stop leaves recorded in the buffer being filled
    unsigned char stop_tag = 0;
    std::vector<std::string> blocks;   // what sink a received, in order
    const void* sink_address = nullptr;
    int sink_priority = -99;
    bool hold_sink_a = false;          // sink a waits until the host thread waits for the thread
    bool bad_sink_arguments = false;
};

FakeWave* wave = nullptr;
std::atomic<int> pass{0};
std::atomic<bool> in_sink{false};
DWORD host_thread = 0;
void* real_sleep = nullptr;
void* real_create_thread = nullptr;
void* real_wait = nullptr;
HANDLE release_sink = nullptr;

int Pass() { return GetCurrentThreadId() == host_thread ? -1 : pass.load(); }
void Log(const std::string& what) { wave->events.push_back({what, Pass()}); }

int IndexOf(WAVEHDR* header) { return header == wave->headers[0] ? 0 : header == wave->headers[1] ? 1 : -1; }

// Marks a queued buffer done as a driver does, with `bytes` of `tag` recorded at its start.
void Finish(WAVEHDR* header, DWORD bytes, unsigned char tag)
{
    memset(header->lpData, tag, bytes);
    header->dwBytesRecorded = bytes;
    header->dwFlags = (header->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
}

MMRESULT WINAPI FakeOpen(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                         DWORD_PTR instance, DWORD flags)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log("open");
    wave->device_id = id;
    wave->format = *format;
    wave->callback = callback;
    wave->instance = instance;
    wave->open_flags = flags;
    if (wave->refuse_open)
        return WAVERR_BADFORMAT;
    wave->current = *device = (HWAVEIN)(DWORD_PTR)(0x100 + ++wave->opens);
    wave->prepared = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakePrepare(HWAVEIN, LPWAVEHDR header, UINT size)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    wave->headers[wave->prepared++ % 2] = header;
    Log("prepare " + std::to_string(IndexOf(header)));
    if (size != sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeAdd(HWAVEIN device, LPWAVEHDR header, UINT size)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log((device == wave->current ? "add " : "add to a closed device ") + std::to_string(IndexOf(header)));
    if (size != sizeof(WAVEHDR) || !(header->dwFlags & WHDR_PREPARED) || header->dwBufferLength != kBlock)
        return WAVERR_UNPREPARED;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    wave->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeStart(HWAVEIN)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log("start");
    wave->started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeStop(HWAVEIN)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log("stop");
    if (wave->started && !wave->queue.empty()) {
        Finish(wave->queue.front(), wave->stop_fill, wave->stop_tag);
        wave->queue.pop_front();
    }
    wave->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeReset(HWAVEIN)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log("reset");
    for (WAVEHDR* header : wave->queue)
        Finish(header, 0, 0);
    wave->queue.clear();
    wave->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeClose(HWAVEIN)
{
    std::lock_guard<std::mutex> hold(wave->lock);
    Log("close");
    if (wave->refuse_close > 0) {
        --wave->refuse_close;
        return WAVERR_STILLPLAYING;
    }
    if (!wave->queue.empty())
        return WAVERR_STILLPLAYING;
    wave->current = nullptr;
    return MMSYSERR_NOERROR;
}

// The capture thread's pass begins when its sleep ends: the completions the test asked for
// are applied then, all at once.
void WINAPI FakeSleep(DWORD ms)
{
    ((void(WINAPI*)(DWORD))real_sleep)(ms);
    if (GetCurrentThreadId() == host_thread)
        return;
    std::lock_guard<std::mutex> hold(wave->lock);
    ++pass;
    for (const Completion& c : wave->pending) {
        WAVEHDR* header = wave->headers[c.buffer];
        auto queued = std::find(wave->queue.begin(), wave->queue.end(), header);
        if (queued == wave->queue.end()) {
            Log("finish of a buffer not queued");
            continue;
        }
        wave->queue.erase(queued);
        Finish(header, kBlock, c.tag);
    }
    wave->pending.clear();
}

HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID param, DWORD flags, LPDWORD id)
{
    if (wave->refuse_thread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ((decltype(&CreateThread))real_create_thread)(security, stack, start, param, flags, id);
}

// Stop's wait for the capture thread: from here on a held sink may finish.
DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD ms)
{
    {
        std::lock_guard<std::mutex> hold(wave->lock);
        Log("wait");
    }
    SetEvent(release_sink);
    return ((decltype(&WaitForSingleObject))real_wait)(handle, ms);
}

void Sink(char which, const void* samples, int channels, int bits, int reserved)
{
    {
        std::lock_guard<std::mutex> hold(wave->lock);
        auto bytes = (const char*)samples;
        Log(std::string(1, which) + " " + std::to_string((unsigned char)bytes[0]));
        if (channels != 2 || bits != 16 || reserved != 0)
            wave->bad_sink_arguments = true;
        if (which == 'a') {
            wave->blocks.emplace_back(bytes, kBlock);
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
        const char* names[] = {"waveInOpen", "waveInPrepareHeader", "waveInAddBuffer", "waveInStart",
                               "waveInStop", "waveInReset", "waveInClose"};
        void* fakes[] = {(void*)FakeOpen, (void*)FakePrepare, (void*)FakeAdd, (void*)FakeStart,
                         (void*)FakeStop, (void*)FakeReset, (void*)FakeClose};
        for (int i = 0; i < 7; ++i)
            patches.push_back(new ImportPatch(dll, "winmm.dll", names[i], fakes[i]));
        patches.push_back(new ImportPatch(dll, "kernel32.dll", "Sleep", (void*)FakeSleep));
        real_sleep = patches.back()->original();
        patches.push_back(new ImportPatch(dll, "kernel32.dll", "CreateThread", (void*)FakeCreateThread));
        real_create_thread = patches.back()->original();
        patches.push_back(new ImportPatch(dll, "kernel32.dll", "WaitForSingleObject", (void*)FakeWaitForSingleObject));
        real_wait = patches.back()->original();
        release_sink = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        mci = new rig::MciRecorder(dll, false);
        mod->pcm_sink_a = SinkA;
        mod->pcm_sink_b = SinkB;
    }
    void TearDown() override
    {
        mod->Stop(); // while the device and the sleep are still the test's
        delete mci;
        for (ImportPatch* p : patches)
            delete p;
        delete wave;
        CloseHandle(release_sink);
        PluginTest::TearDown();
    }
    void Complete(int buffer, unsigned char tag)
    {
        std::lock_guard<std::mutex> hold(wave->lock);
        wave->pending.push_back({buffer, tag});
    }
    // Blocks that both sinks have received.
    size_t Served()
    {
        size_t n = 0;
        for (const Event& e : Events())
            n += e.what.compare(0, 2, "b ") == 0;
        return n;
    }
    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> hold(wave->lock);
        return wave->events;
    }
    // The events from `from` on, as "what@relative pass" for capture-thread events.
    std::vector<std::string> Since(size_t from)
    {
        std::vector<Event> all = Events();
        std::vector<std::string> texts;
        int first_pass = -1;
        for (size_t i = from; i < all.size(); ++i) {
            if (all[i].pass >= 0 && first_pass < 0)
                first_pass = all[i].pass;
            texts.push_back(all[i].pass < 0 ? all[i].what
                                            : all[i].what + "@" + std::to_string(all[i].pass - first_pass));
        }
        return texts;
    }

    // Only what the host thread did, from `from` on.
    std::vector<std::string> HostSince(size_t from)
    {
        std::vector<std::string> texts;
        for (const std::string& t : Since(from))
            if (t.find('@') == std::string::npos)
                texts.push_back(t);
        return texts;
    }

    std::vector<ImportPatch*> patches;
    rig::MciRecorder* mci = nullptr;
};

using Strings = std::vector<std::string>;

TEST_F(CaptureTest, OpensTheMapperWithTheExactFormatAndQueuesBothBuffers)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(Since(0), (Strings{"open", "prepare 0", "add 0", "prepare 1", "add 1", "start"}));
    EXPECT_EQ(wave->device_id, WAVE_MAPPER);
    EXPECT_EQ(wave->callback, 0u);
    EXPECT_EQ(wave->instance, 0u);
    EXPECT_EQ(wave->open_flags, DWORD(CALLBACK_NULL));
    const WAVEFORMATEX& f = wave->format;
    EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.cbSize, 0);
    ASSERT_NE(wave->headers[0], wave->headers[1]);
    auto distance = wave->headers[0]->lpData - wave->headers[1]->lpData;
    EXPECT_GE(distance < 0 ? -distance : distance, kBlock) << "the buffers overlap";

    Complete(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
    EXPECT_EQ(wave->sink_priority, THREAD_PRIORITY_HIGHEST);
}

TEST_F(CaptureTest, BuffersReachBothSinksWholeInOrderOnePerPass)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    size_t start = Events().size();
    Complete(0, 1);
    Complete(1, 2);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));
    // Each buffer goes back to the device before the sinks see its copy.
    EXPECT_EQ(Since(start), (Strings{"add 0@0", "a 1@0", "b 1@0", "add 1@1", "a 2@1", "b 2@1"}));
    start = Events().size();
    Complete(1, 3); // buffer 1 alone is done: it is served without waiting for buffer 0
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
    wave->stop_tag = 5;
    size_t start = Events().size();
    mod->Pause();
    EXPECT_EQ(HostSince(start), (Strings{"stop"}));
    ASSERT_TRUE(WaitUntil([&] { return Served() == 1; }));
    int after = pass;
    ASSERT_TRUE(WaitUntil([&] { return pass > after + 5; }));
    EXPECT_EQ(Served(), 1u);
    // The whole buffer, its unrecorded (still silent) tail included.
    EXPECT_EQ(wave->blocks[0], std::string(1000, '\5') + std::string(kBlock - 1000, '\0'));

    start = Events().size();
    mod->Resume();
    EXPECT_EQ(HostSince(start), (Strings{"start"}));
    Complete(1, 6);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));

    // Stop while paused: the thread ends first, then the device is stopped, reset and
    // closed, the close tried again while the device still holds buffers.
    mod->Pause();
    ASSERT_TRUE(WaitUntil([&] { return Served() == 3; }));
    wave->refuse_close = 2;
    start = Events().size();
    mod->Stop();
    EXPECT_EQ(Since(start), (Strings{"wait", "stop", "reset", "close", "close", "close"}));
    EXPECT_EQ(wave->current, nullptr);
}

TEST_F(CaptureTest, StopWaitsForTheSinkUnderWayAndNothingArrivesAfterIt)
{
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    wave->hold_sink_a = true; // slower than anything the host does meanwhile
    size_t start = Events().size();
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
    size_t start = Events().size();
    ASSERT_EQ(mod->Play("C:\\music\\b.mid"), 0);
    EXPECT_EQ(Since(start), (Strings{"wait", "stop", "reset", "close", "open", "prepare 0", "add 0", "prepare 1",
                                     "add 1", "start"}));
    Complete(0, 2);
    ASSERT_TRUE(WaitUntil([&] { return Served() == 2; }));
    EXPECT_EQ(wave->blocks[1][0], 2);
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
    size_t start = Events().size();
    ASSERT_EQ(mod->Play("C:\\music\\a.mid"), 0);
    EXPECT_EQ(Since(start), (Strings{"open", "prepare 0", "add 0", "prepare 1", "add 1", "start", "stop",
                                     "reset", "close"}));
    EXPECT_EQ(wave->current, nullptr);
    start = Events().size();
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
