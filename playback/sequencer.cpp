// Sequencer playback through the Media Control Interface. The device plays the file to the
// system's MIDI output; the position is the module's own clock, never asked of the device.
#include "playback/sequencer.h"

#include "capture/capture.h"
#include "host/host_calls.h"
#include "host/host_services.h"
#include "mixer/volume.h"
#include "playback/clock.h"
#include "playback/memory_file.h"
#include "playback/sequencer_copy.h"
#include "playback/sysex_output.h"
#include "playback/sysex_setup.h"
#include "playback/temporary_piece.h"
#include "settings/settings_store.h"
#include "streaming/streamed_file.h"
#include "text/bounded_text.h"

// Playback state, touched only on the host thread, one call at a time.
// - open_record.wDeviceID is non-zero exactly while a file is open, from a Play that opened it
//   to the next Stop. Every device command goes to it and none is sent while it is 0: Pause,
//   Resume, SetPosition and Stop with nothing open send nothing, so no command can reach a
//   device ID the system has since handed to someone else.
// - play_lent is 1 while Wine's sequencer reads the open file from memory (kPlayingSlot): the
//   copy in `copy` (copy_size non-zero) or the file's own bytes in play_reading. Neither is
//   written again until Stop returns them; GetFileInfo reads and lends buffers of its own.
//   Any other sequencer opens a file with a loop from a temporary piece written from `copy`
//   (copy_size stays 0: that sequencer sends the sysex itself), deleted at Stop.
// - length_ms is the length of the last file opened; it survives Stop and a Play that fails,
//   so GetLength and GetFileInfo("") still tell the last file's length, as hosts show it.
// - paused and pause_position_ms are set by Pause; Resume clears paused, open or not, and a
//   Play that opens a file clears both, as the new file starts playing from 0. Stop leaves
//   them, so IsPaused after a Stop while paused still answers 1 until the next Resume.
// - current_path is the name as the last Play received it (for GetFileInfo("")), and
//   end_notified whether the end of that file has been posted; both are set by every Play.
// - The clock (playback/clock.h) starts at each Play that opens a file, and Stop leaves it
//   running, or frozen after a pause: a reading past the length after Stop still posts the end.
// - playing is 1 from the moment Play has started the device until Stop.
char current_path[kCurrentPathSize];
int length_ms = 0;
int playing = 0;
static MCI_OPEN_PARMSA open_record;
static int pause_position_ms = 0;
static int paused = 0;
static int end_notified = 0;
static FileReading play_reading;
static BYTE copy[kMaxSequencerCopyBytes];
static DWORD copy_size = 0;
static int play_lent = 0;

// The sequencer's driver, loaded by the plug-in itself from the first open until it is
// unloaded. Wine's close does not wait for a player thread that has marked its device stopped
// but not yet returned, and the close of the last device unloads mciseq.dll under that thread.
static HMODULE sequencer_driver = nullptr;

static MCIERROR OpenDevice(MCI_OPEN_PARMSA* record, const char* element)
{
    if (sequencer_driver == nullptr)
        sequencer_driver = LoadLibraryA("mciseq.dll");
    ZeroMemory(record, sizeof(*record));
    record->lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    record->lpstrElementName = element;
    return mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT,
                           (DWORD_PTR)record);
}

// Wine's sequencer opens the bytes already read, from memory, so that nothing reads the file
// from disk twice; any other sequencer opens the file by its name. Returns the name to open
// and sets *lent when it is a memory file of the slot.
static const char* ElementFor(MemoryFileSlot slot, const char* path, const BYTE* bytes, DWORD size, int* lent)
{
    *lent = 0;
    if (!IsWineSequencer() || size == 0)
        return path;
    // Without the procedure the file itself still opens, from disk.
    const char* name = LendMemoryFile(slot, bytes, size);
    if (name == nullptr)
        return path;
    *lent = 1;
    return name;
}

MCIERROR OpenSequencer(MCI_OPEN_PARMSA* record, const char* path, const FileReading* reading)
{
    int lent;
    const char* element = ElementFor(kQueriedSlot, path, reading->bytes, reading->size, &lent);
    MCIERROR result = OpenDevice(record, element);
    if (result != 0 && lent)
        ReturnMemoryFile(kQueriedSlot);
    return result;
}

void ReleaseSequencerDriver(void)
{
    if (sequencer_driver != nullptr)
        FreeLibrary(sequencer_driver);
    sequencer_driver = nullptr;
}

void CloseSequencer(MCIDEVICEID device)
{
    MCI_GENERIC_PARMS close = {};
    mciSendCommandA(device, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&close);
    // Wine's sequencer may read its file until the close; the queried bytes are free now.
    ReturnMemoryFile(kQueriedSlot);
}

LoopPlan PlanPlayedPiece(const MidiReading& midi)
{
    return PlanSequencerCopy(midi, LoopPassesFor(midi.loop, config_loops), kMaxSequencerCopyBytes);
}

// Any sequencer but Wine's opens files by name: the file itself, or where its loop is to be
// unrolled, the unrolled copy written to a temporary file (playback/temporary_piece.cpp says why
// not from memory) until Stop. Where that file cannot be written the file plays as written.
static MCIERROR OpenByName(MCI_OPEN_PARMSA* record, const char* path, LoopPlan* plan)
{
    const char* element = path;
    if (plan->passes > 0) {
        DWORD size = WriteSequencerCopy(play_reading.midi, plan->passes, copy, sizeof(copy));
        const char* piece = size != 0 ? WriteTemporaryPiece(copy, size) : nullptr;
        if (piece != nullptr)
            element = piece;
        else
            *plan = {0, play_reading.midi.length_ms, 0};
    }
    MCIERROR result = OpenDevice(record, element);
    if (result != 0)
        DeleteTemporaryPiece();
    return result;
}

// As OpenSequencer, but Wine's sequencer gets the sequencer-ready copy of a file that can be
// timed (playback/sequencer_copy.h), the only one it plays in time, unrolled as *plan says; a
// file whose copy would be too large is refused. Wine's sequencer gets the file's own bytes when
// they cannot be timed, unless it would refuse them at open: they are refused here, as
// GetFileInfo refuses them without asking it. Whatever is lent stays lent until Stop: Wine's
// player reads it while it plays. *plan: the piece that plays, set once the file is read.
static MCIERROR OpenForPlay(MCI_OPEN_PARMSA* record, const char* path, LoopPlan* plan)
{
    *plan = {0, kNoFileLength, 0};
    if (!ReadFileOnce(path, &play_reading))
        return MCIERR_INVALID_FILE;
    *plan = PlanPlayedPiece(play_reading.midi);
    if (!IsWineSequencer())
        return OpenByName(record, path, plan);
    const BYTE* bytes = play_reading.bytes;
    DWORD size = play_reading.size;
    if (play_reading.midi.timed) {
        size = WriteSequencerCopy(play_reading.midi, plan->passes, copy, sizeof(copy));
        if (size == 0)
            return MCIERR_INVALID_FILE;
        bytes = copy;
    } else if (size > 0 && !WineSequencerOpens(bytes, size)) {
        return MCIERR_INVALID_FILE;
    }
    int lent;
    const char* element = ElementFor(kPlayingSlot, path, bytes, size, &lent);
    MCIERROR result = OpenDevice(record, element);
    if (result != 0 && lent)
        ReturnMemoryFile(kPlayingSlot);
    play_lent = result == 0 && lent;
    copy_size = play_lent && bytes == copy ? size : 0;
    return result;
}

// Some sequencers (Wine's) report every length as if the file ran at 120 beats a minute; the
// file's own tempo map gives the true one. The device still has the last word on failure.
MCIERROR QuerySequencerLength(MCIDEVICEID device, int file_length, int* length)
{
    MCI_SET_PARMS set = {};
    set.dwTimeFormat = MCI_FORMAT_MILLISECONDS;
    mciSendCommandA(device, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, (DWORD_PTR)&set);

    MCI_STATUS_PARMS status = {};
    status.dwItem = MCI_STATUS_LENGTH;
    MCIERROR result = mciSendCommandA(device, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status);
    if (result == 0)
        *length = file_length != kNoFileLength ? file_length : (int)status.dwReturn;
    return result;
}

// Play from `from` to the end of the file, without waiting. Wine's sequencer then starts the
// music with the first event at or after `from` sounding at once: from a copy, within a
// wake-up interval of it, which is where the clock is set. Returns that point.
static int PlayFrom(int from)
{
    MCI_PLAY_PARMS play = {};
    play.dwFrom = (DWORD)from;
    play.dwTo = (DWORD)length_ms;
    mciSendCommandA(open_record.wDeviceID, MCI_PLAY, MCI_FROM | MCI_TO, (DWORD_PTR)&play);
    return SequencerCopyStartAt(copy, copy_size, from);
}

static void SendGeneric(UINT command)
{
    MCI_GENERIC_PARMS generic = {};
    mciSendCommandA(open_record.wDeviceID, command, MCI_WAIT, (DWORD_PTR)&generic);
}

// Wine's sequencer never sends sysex, not even the set-up before the first note, nor after a
// seek, where it chases programs and controllers but no sysex. So before each start at `ms` the
// set-up the music needs there is read from the copy (only Wine's sequencer has one) and sent.
// A playing sequencer holds the MIDI output: it is stopped first (from the copy that takes at
// most a wake-up interval), and only for a file that has a set-up.
static void SendSysexSetupAt(int ms, int sequencer_playing)
{
    SysexSetup setup;
    CollectSysexSetup(copy, copy_size, ms, &setup);
    if (setup.count == 0)
        return;
    if (sequencer_playing)
        SendGeneric(MCI_STOP);
    SendSysexSetup(setup);
}

// Returns 0 when playing, 1 when the sequencer refused the file, -1 when a streamed file
// could not be retrieved.
int __cdecl Play(const char* path)
{
    // The host should Stop between files; if it did not, end the earlier file (device,
    // capture, temporary download) before anything is set up again.
    if (open_record.wDeviceID != 0)
        Stop();

    int fits = CopyText(current_path, sizeof(current_path), path);
    end_notified = 0;
    // No name, an empty one (which would open the bare device) or one that does not fit
    // is refused, rather than opened as some other, cut name.
    if (path == nullptr || path[0] == '\0' || !fits)
        return 1;

    const char* local = ResolveStreamedPath(path);
    if (local == nullptr)
        return -1;

    MCI_OPEN_PARMSA record;
    LoopPlan plan;
    if (OpenForPlay(&record, local, &plan) != 0)
        return 1;
    open_record = record;

    int length = 0;
    QuerySequencerLength(open_record.wDeviceID, plan.length_ms, &length);
    length_ms = length;

    // Before the play, which is when Wine's sequencer opens the MIDI output.
    SendSysexSetupAt(0, 0);
    FindVolumeOutput();
    MCI_PLAY_PARMS play = {};
    mciSendCommandA(open_record.wDeviceID, MCI_PLAY, 0, (DWORD_PTR)&play);

    playing = 1;
    paused = 0;
    pause_position_ms = 0;
    SetMixerPlaying(1);
    HostAnnouncePlaying();

    ClockStart();
    // Ends a capture still running instead of forgetting its thread and device.
    StopCapture();
    if (config_sample)
        StartCapture();
    return 0;
}

// Pause stops the device, so that nothing sounds and nothing spins while paused (a paused Wine
// sequencer spins on a core and still sends the event it was waiting for); Resume plays from
// the paused position. Under Wine that stop is all: its MCI_PAUSE writes to the MIDI output
// from this thread, and as a piece ends the player thread has already closed that output
// (docs/wine-sequencer.md), whereas its MCI_STOP leaves the output to the player thread, which
// silences and closes it. Elsewhere MCI_PAUSE silences the output at once first. Wine's MCI_STOP
// returns only when the next event is due (from the copy, an empty one within 20 ms, after which
// nothing more is sent), so the clock is frozen before it, where the music stopped; the
// recording stops with it.
void __cdecl Pause(void)
{
    if (open_record.wDeviceID == 0)
        return;
    pause_position_ms = ClockRead();
    if (!IsWineSequencer())
        SendGeneric(MCI_PAUSE);
    paused = 1;
    if (!ClockIsFrozen()) {
        PauseCaptureDevice();
        ClockFreeze();
    }
    SendGeneric(MCI_STOP);
}

// A frozen clock means Pause stopped the device; then MCI_RESUME finds nothing to resume, and
// under Wine it is not sent at all. The play from the paused position is what restarts the
// music, at the file's true milliseconds, which is also the scale of MCI_FROM and MCI_TO on
// Wine's sequencer.
void __cdecl Resume(void)
{
    // With nothing open only the pause flag goes: a Stop while paused leaves it for this.
    paused = 0;
    if (open_record.wDeviceID == 0)
        return;
    int stopped = ClockIsFrozen();
    if (!IsWineSequencer())
        SendGeneric(MCI_RESUME);
    // A Resume without a Pause finds the device playing, holding the MIDI output.
    SendSysexSetupAt(pause_position_ms, !stopped);
    if (stopped) {
        ResumeCaptureDevice();
        ClockThaw();
    }
    ClockRebase(PlayFrom(pause_position_ms));
}

int __cdecl IsPaused(void)
{
    return paused;
}

void __cdecl Stop(void)
{
    if (open_record.wDeviceID != 0) {
        SendGeneric(MCI_STOP);
        SendGeneric(MCI_CLOSE);
        open_record.wDeviceID = 0;
    }
    DeleteTemporaryPiece();
    if (play_lent) {
        ReturnMemoryFile(kPlayingSlot);
        play_lent = 0;
        copy_size = 0;
    }
    playing = 0;
    SetMixerPlaying(0);
    StopCapture();
    HostVisClose();
    CleanupStreamedFile();
}

int __cdecl GetLength(void)
{
    return length_ms;
}

int __cdecl GetPosition(void)
{
    int pos = ClockRead();
    if (pos > length_ms && !end_notified) {
        end_notified = 1;
        PostMessageA(in_module.main_window, kEndOfFileMessage, 0, 0);
    }
    return pos;
}

// A point outside the file is taken as its nearest end: a seek bar dragged past its edge sends
// such values. While paused (the clock frozen) the device stays stopped: the seek only moves
// the paused position, and Resume plays from there.
void __cdecl SetPosition(int ms)
{
    if (open_record.wDeviceID == 0)
        return;
    if (ms > length_ms)
        ms = length_ms;
    if (ms < 0)
        ms = 0;
    if (ClockIsFrozen()) {
        pause_position_ms = ms;
        ClockRebase(ms);
        return;
    }
    SendSysexSetupAt(ms, 1);
    ClockRebase(PlayFrom(ms));
}
