// The audio half of the driver. Wine's audio device layer loads one driver, the one of the
// "Audio" list whose GetPriority is highest, and the multimedia library takes its MIDI
// devices from that same driver. So this one outbids PulseAudio's driver by one and hands
// every audio call on to it: wave output and capture keep going to PulseAudio.
#include <windows.h>

static HMODULE PulseDriver(void)
{
    static HMODULE pulse = nullptr; // a second LoadLibrary in a race returns the same module
    if (pulse == nullptr)
        pulse = LoadLibraryA("winepulse.drv");
    return pulse;
}

static void* Pulse(const char* name)
{
    HMODULE pulse = PulseDriver();
    return pulse != nullptr ? (void*)GetProcAddress(pulse, name) : nullptr;
}

// 0 (unavailable) when PulseAudio's driver is, so that the layer then picks no driver
// rather than one whose audio calls would all fail.
extern "C" __declspec(dllexport) int WINAPI GetPriority(void)
{
    auto pulse = (int(WINAPI*)(void))Pulse("GetPriority");
    int priority = pulse != nullptr ? pulse() : 0;
    return priority > 0 ? priority + 1 : 0;
}

// The remaining four are passed through unchanged; their argument counts are those of the
// layer's driver table (5, 3, 2 and 3 pointer-sized words).
extern "C" __declspec(dllexport) HRESULT WINAPI GetEndpointIDs(DWORD_PTR flow, void* ids, void* guids, void* count,
                                                               void* default_index)
{
    auto pulse = (HRESULT(WINAPI*)(DWORD_PTR, void*, void*, void*, void*))Pulse("GetEndpointIDs");
    return pulse != nullptr ? pulse(flow, ids, guids, count, default_index) : E_NOTIMPL;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetAudioEndpoint(void* key, void* device, void* client)
{
    auto pulse = (HRESULT(WINAPI*)(void*, void*, void*))Pulse("GetAudioEndpoint");
    return pulse != nullptr ? pulse(key, device, client) : E_NOTIMPL;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetAudioSessionManager(void* device, void* manager)
{
    auto pulse = (HRESULT(WINAPI*)(void*, void*))Pulse("GetAudioSessionManager");
    return pulse != nullptr ? pulse(device, manager) : E_NOTIMPL;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetPropValue(void* guid, const void* key, void* value)
{
    auto pulse = (HRESULT(WINAPI*)(void*, const void*, void*))Pulse("GetPropValue");
    return pulse != nullptr ? pulse(guid, key, value) : E_NOTIMPL;
}
