// The MIDI output driver: one software-synthesizer output device whose messages go to
// FluidSynth (synth_link) and, when asked, into a log (message_log). Wine's multimedia library
// loads it as the system's audio driver (audio_forward.cpp hands the audio part on to
// PulseAudio's driver), and the MIDI mapper, and through it the MCI sequencer, plays to it.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include "synth/message_log.h"
#include "synth/synth_link.h"
#include "synth/sysex.h"

// winmm exports it; MinGW's headers do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message, DWORD_PTR instance,
                                      DWORD_PTR param1, DWORD_PTR param2);

static_assert(sizeof(MIDIOUTCAPSW) == 84, "the capabilities record winmm passes");

// Device state, touched only with device_lock held: the sequencer's thread sends the music,
// the thread that stops it sends the resets, and the process's exit silences what sounds.
// open_callback and open_callback_flags are valid while device_open is 1.
static CRITICAL_SECTION device_lock;
static int device_open = 0;
static MIDIOPENDESC open_desc;
static DWORD open_callback_flags = 0; // DCB_* (the high word of the CALLBACK_* flags)
static DWORD running_status = 0;
// The device's volume as midiOutSetVolume last gave it (left in the low word), open or not.
static DWORD output_volume = 0xFFFFFFFF;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&device_lock);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        // The process is ending and its other threads are gone, the sequencer's among them,
        // perhaps in the middle of a note: FluidSynth would keep sounding it.
        SynthSilence();
    }
    return TRUE;
}

static const char* MessageName(UINT message)
{
    switch (message) {
    case DRVM_INIT: return "init";
    case DRVM_EXIT: return "exit";
    case MODM_GETNUMDEVS: return "getnumdevs";
    case MODM_GETDEVCAPS: return "getdevcaps";
    case MODM_OPEN: return "open";
    case MODM_CLOSE: return "close";
    case MODM_PREPARE: return "prepare";
    case MODM_UNPREPARE: return "unprepare";
    case MODM_DATA: return "data";
    case MODM_LONGDATA: return "longdata";
    case MODM_RESET: return "reset";
    case MODM_SETVOLUME: return "setvolume";
    case MODM_GETVOLUME: return "getvolume";
    default: return "other";
    }
}

static DWORD GetCaps(MIDIOUTCAPSW* caps, DWORD_PTR size)
{
    if (caps == nullptr)
        return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSW mine = {};
    mine.wMid = 0xFFFF; // MM_UNMAPPED
    mine.wPid = 0xFFFF; // MM_PID_UNMAPPED
    mine.vDriverVersion = 0x0100;
    lstrcpynW(mine.szPname, L"FluidSynth software synthesizer", MAXPNAMELEN);
    mine.wTechnology = MOD_SWSYNTH;
    mine.wVoices = 256;
    mine.wNotes = 256;
    mine.wChannelMask = 0xFFFF;
    mine.dwSupport = MIDICAPS_VOLUME | MIDICAPS_LRVOLUME;
    CopyMemory(caps, &mine, size < sizeof(mine) ? size : sizeof(mine));
    return MMSYSERR_NOERROR;
}

// A header at least as large as it was before MIDI streams added its last two fields.
static bool IsHeader(const MIDIHDR* header, DWORD_PTR size)
{
    return header != nullptr && size >= sizeof(MIDIHDR) - sizeof(header->dwReserved) - sizeof(header->dwOffset);
}

// Wine's winmm passes a header to prepare or unprepare to the driver and returns its answer
// (the one in Windows prepares the header itself when the driver answers
// MMSYSERR_NOTSUPPORTED), so the driver marks it: nothing else is needed, since a long
// message is done before it returns.
static DWORD PrepareHeader(MIDIHDR* header, DWORD_PTR size, bool prepare)
{
    if (!IsHeader(header, size))
        return MMSYSERR_INVALPARAM;
    if (prepare)
        header->dwFlags |= MHDR_PREPARED;
    else
        header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// What FluidSynth's shell can do of a system exclusive message is done (synth_link); the rest
// is dropped. Either way the header is handed back done at once. *reading says which.
static DWORD LongData(MIDIHDR* header, DWORD_PTR size, DWORD* callback, SysexReading* reading)
{
    if (!IsHeader(header, size))
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    *reading = ReadSysex((const unsigned char*)header->lpData, header->dwBufferLength);
    switch (reading->kind) {
    case kSysexReset:
        SynthResetChannels();
        break;
    case kSysexRhythmPart:
        SynthSetDrums(reading->channel, reading->drums);
        break;
    case kSysexMasterVolume:
        SynthMasterVolume(reading->volume);
        break;
    case kSysexBadChecksum:
    case kSysexUnknown:
        break;
    }
    header->dwFlags &= ~MHDR_INQUEUE;
    header->dwFlags |= MHDR_DONE;
    *callback = MOM_DONE;
    return MMSYSERR_NOERROR;
}

// A message without its status byte continues the last channel message (running status).
static void ShortMessage(DWORD message)
{
    if ((message & 0x80) == 0)
        message = message << 8 | running_status;
    else if ((message & 0xF0) != 0xF0)
        running_status = message & 0xFF;
    SynthShortMessage(message);
}

// Returns the MMSYSERR_ result; *callback receives the MOM_ message to send the client after
// the lock is left (0 for none), *reading what a long message was taken for.
static DWORD Handle(UINT device, UINT message, DWORD_PTR param1, DWORD_PTR param2, DWORD* callback,
                    SysexReading* reading)
{
    switch (message) {
    case DRVM_INIT:
    case DRVM_EXIT:
    case DRVM_ENABLE:
    case DRVM_DISABLE:
        return MMSYSERR_NOERROR;
    case MODM_GETNUMDEVS:
        // MIDI_OUTPUT_OFF makes a program see a machine without a synthesizer, as Wine is
        // without this driver.
        return GetEnvironmentVariableA("MIDI_OUTPUT_OFF", nullptr, 0) > 1 ? 0 : 1;
    }
    if (device != 0)
        return MMSYSERR_BADDEVICEID;
    switch (message) {
    case MODM_GETDEVCAPS:
        return GetCaps((MIDIOUTCAPSW*)param1, param2);
    // The volume belongs to the device: set by its identifier, it applies open or not.
    case MODM_SETVOLUME:
        output_volume = (DWORD)param1;
        SynthOutputVolume(output_volume);
        return MMSYSERR_NOERROR;
    case MODM_GETVOLUME:
        if (param1 == 0)
            return MMSYSERR_INVALPARAM;
        *(DWORD*)param1 = output_volume;
        return MMSYSERR_NOERROR;
    case MODM_OPEN:
        if (param1 == 0)
            return MMSYSERR_INVALPARAM;
        if (device_open)
            return MMSYSERR_ALLOCATED;
        open_desc = *(MIDIOPENDESC*)param1;
        open_callback_flags = HIWORD(param2 & CALLBACK_TYPEMASK);
        running_status = 0;
        device_open = 1;
        SynthConnect();
        *callback = MOM_OPEN;
        return MMSYSERR_NOERROR;
    }
    if (!device_open)
        return MMSYSERR_INVALHANDLE;
    switch (message) {
    case MODM_CLOSE:
        SynthSilence();
        device_open = 0;
        *callback = MOM_CLOSE;
        return MMSYSERR_NOERROR;
    case MODM_DATA:
        ShortMessage((DWORD)param1);
        return MMSYSERR_NOERROR;
    case MODM_PREPARE:
    case MODM_UNPREPARE:
        return PrepareHeader((MIDIHDR*)param1, param2, message == MODM_PREPARE);
    case MODM_LONGDATA:
        return LongData((MIDIHDR*)param1, param2, callback, reading);
    case MODM_RESET:
        SynthSilence();
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

extern "C" __declspec(dllexport) DWORD WINAPI modMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                                         DWORD_PTR param2)
{
    (void)user;
    LONGLONG at = LogNowMicroseconds();
    EnterCriticalSection(&device_lock);
    if (message == MODM_OPEN && device == 0 && !device_open)
        LogStart();
    if (message != MODM_LONGDATA)
        LogMessage(at, MessageName(message), param1, message == MODM_DATA ? 0 : param2);
    DWORD callback = 0;
    SysexReading reading = {kSysexUnknown, "refused", 0, 0, 0};
    DWORD result = Handle(device, message, param1, param2, &callback, &reading);
    // A long message is logged with its bytes and what became of it, not its address.
    if (message == MODM_LONGDATA) {
        const MIDIHDR* header = (const MIDIHDR*)param1;
        LogLongMessage(at, header != nullptr ? (const BYTE*)header->lpData : nullptr,
                       header != nullptr ? header->dwBufferLength : 0, param2, reading.name);
    }
    MIDIOPENDESC client = open_desc;
    DWORD flags = open_callback_flags;
    if (message == MODM_CLOSE && result == MMSYSERR_NOERROR)
        LogEnd();
    LeaveCriticalSection(&device_lock);
    if (callback != 0)
        DriverCallback(client.dwCallback, flags, (HDRVR)client.hMidi, callback, client.dwInstance,
                       callback == MOM_DONE ? param1 : 0, 0);
    return result;
}

extern "C" __declspec(dllexport) LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1,
                                                           LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_INSTALL:
    case DRV_REMOVE:
        return 1;
    case DRV_FREE:
        EnterCriticalSection(&device_lock);
        SynthRelease();
        LeaveCriticalSection(&device_lock);
        return 1;
    case DRV_QUERYCONFIGURE:
        return 0; // nothing to configure
    default:
        return DefDriverProc(id, driver, message, param1, param2);
    }
}
