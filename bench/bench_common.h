// Shared pieces of the benchmarks: loading the plug-in through the host library, timing and
// medians.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "hostlib/host.h"
#include "host/in_module.h"

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

// A sequencer that answers every command at once, so that only the plug-in's own work is timed.
inline MCIERROR WINAPI InstantMci(MCIDEVICEID, UINT command, DWORD_PTR, DWORD_PTR param)
{
    if (command == MCI_OPEN)
        ((MCI_OPEN_PARMSA*)param)->wDeviceID = 1;
    if (command == MCI_STATUS)
        ((MCI_STATUS_PARMS*)param)->dwReturn = 1000;
    return 0;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A name in the temporary folder for the benchmark's own files.
inline std::string TempName(const char* name)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    return std::string(temp) + name;
}

// The .mid files of a folder (a Windows path ending in a separator), sorted by name.
inline std::vector<std::string> MidiFilesIn(const std::string& folder)
{
    std::vector<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.mid").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            files.push_back(folder + found.cFileName);
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The benchmark's arguments: --plugin DLL (another build of the plug-in to measure, such as an
// earlier one) and the folders of MIDI files to measure on (default_folder when none).
struct BenchArgs {
    std::string plugin_path;
    std::vector<std::string> folders;
};

inline BenchArgs ReadBenchArgs(int argc, char** argv, const char* default_folder)
{
    BenchArgs args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc)
            args.plugin_path = argv[++i];
        else
            args.folders.push_back(arg.back() == '\\' || arg.back() == '/' ? arg : arg + "\\");
    }
    if (args.folders.empty())
        args.folders.push_back(default_folder);
    return args;
}

// Loads the plug-in beside the benchmark as a host does (its settings left alone), with
// sink_a, when given, told of every captured block. The benchmark frees *dll itself when it is
// done, so the host is never destroyed; one load a process.
inline InModule* LoadPlugin(HMODULE* dll, PcmSinkFn sink_a = nullptr, const std::string& plugin_path = "")
{
    static hostlib::Host* host = new hostlib::Host();
    host->options.load_settings = false;
    host->options.plugin_path = plugin_path;
    if (sink_a != nullptr)
        host->options.on_sink_a = [sink_a](const void* samples, int channels, int bits, int reserved) {
            sink_a(samples, channels, bits, reserved);
        };
    *dll = host->Load() ? host->dll : nullptr;
    return host->mod;
}

inline void PrintRow(const char* what, double plugin, double bare, const char* unit)
{
    printf("%-44s %12.3f %12.3f %8.2fx  %s\n", what, plugin, bare, bare > 0 ? plugin / bare : 0.0, unit);
}
