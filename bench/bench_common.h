// Shared pieces of the benchmarks: loading the plug-in as a host does, timing and medians.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "module/in_module.h"

inline double NowMicroseconds()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1e6 / frequency.QuadPart;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline std::string BenchFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, n);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// A name in the temporary folder for the benchmark's own files.
inline std::string TempName(const char* name)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    return std::string(temp) + name;
}

static LRESULT CALLBACK BenchWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    return m >= WM_USER ? 0 : DefWindowProcA(w, m, wp, lp);
}
static void __cdecl BenchAnnounce(int, int, int, int) {}
static void __cdecl BenchVisOpen(int, int) {}
static void __cdecl BenchVisClose(void) {}
static void __cdecl BenchSink(const void*, int, int, int) {}

// Loads the plug-in beside the benchmark and fills the host words with do-nothing services
// (sink_a aside, when one is given).
inline InModule* LoadPlugin(HMODULE* dll, PcmSinkFn sink_a = BenchSink)
{
    *dll = LoadLibraryA((BenchFolder() + "midi_plugin.dll").c_str());
    if (*dll == nullptr)
        return nullptr;
    auto get = (InModule * (__cdecl*)(void))(void*) GetProcAddress(*dll, "kestroGetInModule2");
    InModule* mod = get();
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = BenchWindowProc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "BenchHost";
    RegisterClassA(&window_class);
    mod->main_window = CreateWindowA("BenchHost", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, window_class.hInstance, nullptr);
    mod->module_instance = *dll;
    mod->announce_format = BenchAnnounce;
    mod->vis_open = BenchVisOpen;
    mod->vis_close = BenchVisClose;
    mod->pcm_sink_a = sink_a;
    mod->pcm_sink_b = BenchSink;
    return mod;
}

inline void PrintRow(const char* what, double plugin, double bare, const char* unit)
{
    printf("%-44s %12.3f %12.3f %8.2fx  %s\n", what, plugin, bare, bare > 0 ? plugin / bare : 0.0, unit);
}
