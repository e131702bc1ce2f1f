// The set-up goes out one message at a time through midiOutLongMsg: prepared, sent, waited
// for until the output hands the header back done (or the bound passes), unprepared.
#include "playback/sysex_output.h"

#include <windows.h>
#include <mmsystem.h>

#include "mixer/midi_output.h"

// Host thread only: the message being sent, its 0xF0 first.
static BYTE message[kMaxSetupBytes + 1];

void SendSysexSetup(const SysexSetup& setup)
{
    if (setup.count == 0)
        return;
    // Wine's MIDI mapper hands a long message on once for each of the 16 channels, so one port
    // would get it 16 times: where there is only one output, the set-up goes to it directly.
    HMIDIOUT output;
    if (midiOutOpen(&output, SequencerOutput(), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return;
    for (unsigned i = 0; i < setup.count; ++i) {
        message[0] = 0xF0;
        CopyMemory(message + 1, setup.data[i], setup.length[i]);
        MIDIHDR header = {};
        header.lpData = (LPSTR)message;
        header.dwBufferLength = setup.length[i] + 1;
        if (midiOutPrepareHeader(output, &header, sizeof(header)) != MMSYSERR_NOERROR)
            continue;
        if (midiOutLongMsg(output, &header, sizeof(header)) == MMSYSERR_NOERROR) {
            // The done bit is set by the driver, perhaps from another thread.
            DWORD start = GetTickCount();
            while (!(((volatile DWORD&)header.dwFlags) & MHDR_DONE) && GetTickCount() - start < kSysexWaitMs)
                Sleep(1);
            if (!(header.dwFlags & MHDR_DONE))
                midiOutReset(output); // hands back a header still queued
        }
        midiOutUnprepareHeader(output, &header, sizeof(header));
    }
    midiOutClose(output);
}
