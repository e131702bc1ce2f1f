// Soundcard capture for the host's visualisation: the input device (capture/input_choice.cpp)
// at 44.1 kHz, 16-bit stereo, two static buffers, and a thread that hands each filled buffer
// to the host's sample sinks.
#include "capture/capture.h"

#include <windows.h>
#include <mmsystem.h>

#include "capture/input_choice.h"
#include "host/host_calls.h"

constexpr DWORD kCaptureBufferSize = 2304; // 576 stereo frames of 16 bits, about 13.1 ms
constexpr DWORD kCapturePollMs = 10;

static WAVEFORMATEX capture_format = {
    WAVE_FORMAT_PCM, // 1
    2,               // channels
    44100,           // samples per second
    176400,          // bytes per second
    4,               // block alignment
    16,              // bits per sample
    0,               // no extra bytes
};

// Capture state. The host thread alone opens, pauses, resumes and closes the device and
// sets capture_stop_request; the capture thread alone reads the done bits, copies, re-queues
// and calls the sinks, inside capture_lock, so the sinks run on the capture thread with the
// lock held. The device writes the buffers and sets the done bit in their headers.
// capture_active is 1 exactly while capture_device is open and capture_lock initialised;
// capture_thread is then running, or has ended and not yet been closed.
int capture_active = 0;
static volatile LONG capture_stop_request = 0;
static char capture_buffers[2][kCaptureBufferSize];
static WAVEHDR capture_headers[2];
static char handover_buffer[kCaptureBufferSize];
static HWAVEIN capture_device = nullptr;
static HANDLE capture_thread = nullptr;
static HMODULE capture_module = nullptr; // the capture thread's reference to the module
static CRITICAL_SECTION capture_lock;

// Buffer 0 when it is done, else buffer 1 when it is, else -1. The driver sets the bit from
// another thread, so the flags are read afresh.
static int FinishedBuffer(void)
{
    for (int i = 0; i < 2; ++i)
        if (((volatile DWORD&)capture_headers[i].dwFlags) & WHDR_DONE)
            return i;
    return -1;
}

// At most one buffer per pass. The copy lets the buffer go back to the device before the
// sinks run, however long they take. The thread holds a reference to the module (taken by
// StartCapture for it) and gives it back only as it ends: a host that unloads the plug-in
// without Stop leaves the module loaded for the thread, instead of its code unmapped under it.
static DWORD WINAPI CaptureThread(void* param)
{
    volatile LONG* stop_request = (volatile LONG*)param;
    HMODULE module = capture_module;
    while (*stop_request == 0) {
        Sleep(kCapturePollMs);
        int picked = FinishedBuffer();
        if (picked < 0)
            continue;
        EnterCriticalSection(&capture_lock);
        // The whole buffer: the recorded-byte count is not consulted.
        CopyMemory(handover_buffer, capture_buffers[picked], kCaptureBufferSize);
        capture_headers[picked].dwFlags = WHDR_PREPARED;
        waveInAddBuffer(capture_device, &capture_headers[picked], sizeof(WAVEHDR));
        HostPcmSinks(handover_buffer);
        LeaveCriticalSection(&capture_lock);
    }
    FreeLibraryAndExitThread(module, 0);
}

// Stops, resets and closes the device; the close is retried while buffers are still out.
// Only once no thread can re-queue a buffer.
static void CloseCaptureDevice(void)
{
    waveInStop(capture_device);
    waveInReset(capture_device);
    while (waveInClose(capture_device) == WAVERR_STILLPLAYING)
        Sleep(kCapturePollMs);
    capture_device = nullptr;
}

// Returns 0 when capture runs, 1 when it does not (no input device for the format, or no
// thread to serve it).
int StartCapture(void)
{
    // Never set the device, buffers and lock up again under a capture still running.
    StopCapture();

    HWAVEIN device = nullptr;
    UINT input = ChooseCaptureInput();
    MMRESULT opened = waveInOpen(&device, input, &capture_format, 0, 0, CALLBACK_NULL);
    // An input chosen under Wine that refuses the format leaves the default one.
    if (opened != MMSYSERR_NOERROR && input != WAVE_MAPPER)
        opened = waveInOpen(&device, WAVE_MAPPER, &capture_format, 0, 0, CALLBACK_NULL);
    if (opened != MMSYSERR_NOERROR)
        return 1;
    capture_device = device;
    for (int i = 0; i < 2; ++i) {
        ZeroMemory(&capture_headers[i], sizeof(WAVEHDR));
        capture_headers[i].lpData = capture_buffers[i];
        capture_headers[i].dwBufferLength = kCaptureBufferSize;
        waveInPrepareHeader(capture_device, &capture_headers[i], sizeof(WAVEHDR));
        waveInAddBuffer(capture_device, &capture_headers[i], sizeof(WAVEHDR));
    }
    capture_active = 1;
    capture_stop_request = 0;
    InitializeCriticalSection(&capture_lock);
    waveInStart(capture_device);

    capture_module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)(void*)CaptureThread, &capture_module);
    if (capture_module != nullptr)
        capture_thread = CreateThread(nullptr, 0, CaptureThread, (void*)&capture_stop_request, 0, nullptr);
    if (capture_thread == nullptr) {
        if (capture_module != nullptr)
            FreeLibrary(capture_module);
        // Nothing would ever empty the buffers: close the device rather than leave it open
        // with a capture marked active that Stop would wait for.
        CloseCaptureDevice();
        DeleteCriticalSection(&capture_lock);
        capture_active = 0;
        return 1;
    }
    SetThreadPriority(capture_thread, THREAD_PRIORITY_HIGHEST);
    return 0;
}

void StopCapture(void)
{
    if (!capture_active)
        return;
    InterlockedExchange(&capture_stop_request, 1);
    // No time limit: the sink under way finishes first, and none is called after this.
    WaitForSingleObject(capture_thread, INFINITE);
    CloseCaptureDevice();
    DeleteCriticalSection(&capture_lock);
    CloseHandle(capture_thread);
    capture_thread = nullptr;
    capture_active = 0;
}

// Pause and Resume call these beside the clock. Stopping returns the buffer being filled as
// done, so the thread still hands it on once.
void PauseCaptureDevice(void)
{
    if (capture_active)
        waveInStop(capture_device);
}

void ResumeCaptureDevice(void)
{
    if (capture_active)
        waveInStart(capture_device);
}
