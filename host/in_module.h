// The contract between the host and the plug-in: the descriptor record the host drives the
// plug-in through, the name of the export that hands it out, and the layout checks of the
// record and of the system records the plug-in fills in for the system in the host's process.
// Hosts and the plug-in include this header alike.
#pragma once

#include <cstddef>
#include <windows.h>
#include <mmsystem.h>
#include <commdlg.h>

#include "host/host_services.h"

// 38 words; offsets are part of the host contract and checked below.
struct InModule {
    int version;                 // 0x101
    const char* description;
    HWND main_window;            // host
    HINSTANCE module_instance;   // host
    const char* file_types;      // "MID\0MIDI Audio Files (*.MID)\0\0"
    int flag_word_1;             // 1
    int flag_word_2;             // 0
    void(__cdecl* ShowSettings)(HWND parent);
    void(__cdecl* ShowAbout)(HWND parent);
    void(__cdecl* LoadSettings)(void);
    void(__cdecl* DoNothing)(void);
    void(__cdecl* GetFileInfo)(const char* file, char* title_out, int* length_out);
    int(__cdecl* ReturnZero12)(void*);
    int(__cdecl* ReturnZero13)(void*);
    int(__cdecl* Play)(const char* path);
    void(__cdecl* Pause)(void);
    void(__cdecl* Resume)(void);
    int(__cdecl* IsPaused)(void);
    void(__cdecl* Stop)(void);
    int(__cdecl* GetLength)(void);
    int(__cdecl* GetPosition)(void);
    void(__cdecl* SetPosition)(int ms);
    void(__cdecl* SetVolume)(int volume);
    void(__cdecl* SetPan)(int pan);
    VisOpenFn vis_open;          // host
    VisCloseFn vis_close;        // host
    PcmSinkFn pcm_sink_b;        // host
    int unused_27[2];            // host; never read
    PcmSinkFn pcm_sink_a;        // host
    int unused_30[5];            // host; never read
    void(__cdecl* DoNothing35)(void);
    AnnounceFormatFn announce_format; // host
    int unused_37;               // host; never read
};

// The layout the host and the plug-in share. The host is a 32-bit program and these are the
// offsets it writes and calls at; a 64-bit build, made only to run the tests where 32-bit
// programs cannot run, keeps the order of the words and is checked at its own offsets.
#ifndef _WIN64
static_assert(sizeof(void*) == 4, "the record is made of 32-bit words");
static_assert(sizeof(InModule) == 38 * 4);
static_assert(offsetof(InModule, main_window) == 8);
static_assert(offsetof(InModule, module_instance) == 12);
static_assert(offsetof(InModule, file_types) == 16);
static_assert(offsetof(InModule, ShowSettings) == 28);
static_assert(offsetof(InModule, LoadSettings) == 36);
static_assert(offsetof(InModule, GetFileInfo) == 44);
static_assert(offsetof(InModule, Play) == 56);
static_assert(offsetof(InModule, Stop) == 72);
static_assert(offsetof(InModule, SetPosition) == 84);
static_assert(offsetof(InModule, SetPan) == 92);
static_assert(offsetof(InModule, vis_open) == 96);
static_assert(offsetof(InModule, vis_close) == 100);
static_assert(offsetof(InModule, pcm_sink_b) == 104);
static_assert(offsetof(InModule, pcm_sink_a) == 116);
static_assert(offsetof(InModule, DoNothing35) == 140);
static_assert(offsetof(InModule, announce_format) == 144);
static_assert(offsetof(InModule, unused_37) == 148);
#else
static_assert(offsetof(InModule, main_window) == 16);
static_assert(offsetof(InModule, module_instance) == 24);
static_assert(offsetof(InModule, file_types) == 32);
static_assert(offsetof(InModule, ShowSettings) == 48);
static_assert(offsetof(InModule, LoadSettings) == 64);
static_assert(offsetof(InModule, GetFileInfo) == 80);
static_assert(offsetof(InModule, Play) == 104);
static_assert(offsetof(InModule, Stop) == 136);
static_assert(offsetof(InModule, SetPosition) == 160);
static_assert(offsetof(InModule, SetPan) == 176);
static_assert(offsetof(InModule, vis_open) == 184);
static_assert(offsetof(InModule, vis_close) == 192);
static_assert(offsetof(InModule, pcm_sink_b) == 200);
static_assert(offsetof(InModule, pcm_sink_a) == 216);
static_assert(offsetof(InModule, DoNothing35) == 248);
static_assert(offsetof(InModule, announce_format) == 256);
static_assert(offsetof(InModule, unused_37) == 264);
static_assert(sizeof(InModule) == 272);
#endif

// The system's records the plug-in hands over in their shipped 32-bit form: the capture
// device's buffer header, the mixer's line, controls and details records, and the older
// OPENFILENAMEA form (without pvReserved, dwReserved and FlagsEx) that every version of the
// common dialogs accepts. A 64-bit build has wider pointer fields.
#ifndef _WIN64
static_assert(sizeof(WAVEHDR) == 32);
static_assert(sizeof(MIXERLINEA) == 168);
static_assert(sizeof(MIXERLINECONTROLSA) == 24);
static_assert(sizeof(MIXERCONTROLDETAILS) == 24);
static_assert(sizeof(OPENFILENAME_NT4A) == 76);
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76);
#else
static_assert(sizeof(WAVEHDR) == 48);
static_assert(sizeof(MIXERLINEA) == 172);
static_assert(sizeof(MIXERLINECONTROLSA) == 28);
static_assert(sizeof(MIXERCONTROLDETAILS) == 32);
static_assert(sizeof(OPENFILENAME_NT4A) == 136);
#endif
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(MIXERCONTROLA) == 148);
static_assert(sizeof(MIXERCONTROLDETAILS_UNSIGNED) == 4);
static_assert(offsetof(OPENFILENAME_NT4A, lpstrFile) == offsetof(OPENFILENAMEA, lpstrFile));

// The one export: no arguments, returns the record's address.
constexpr char kGetInModuleExport[] = "kestroGetInModule2";
typedef InModule*(__cdecl* GetInModuleFn)(void);
