// File information: the title is the name without its folder. Under Wine the length and the
// verdict come from the plug-in's own reading of the file, as Play would hand it over; any
// other sequencer is asked on a device opened just for the question, beside the one that may
// be playing.
#include "playback/file_info.h"

#include <windows.h>
#include <mmsystem.h>

#include "playback/memory_file.h"
#include "playback/sequencer.h"
#include "playback/sequencer_copy.h"
#include "text/bounded_text.h"

int FindLastOf(const char* text, const char* set, int fallback)
{
    if (text == nullptr || set == nullptr || text[0] == '\0' || set[0] == '\0')
        return fallback;
    // Forward, one character at a time: only a character's first byte can be a separator (in a
    // DBCS code page a trail byte may be 0x5C, and that is no folder). CharPrevA would find the
    // same characters walking back, but it scans from the start of the text on every call, so
    // a 64 KB name took seconds.
    int found = fallback;
    for (const char* at = text; *at != '\0';) {
        for (const char* s = set; *s != '\0'; ++s) {
            if (*at == *s)
                found = (int)(at - text);
        }
        const char* next = CharNextA(at);
        if (next == at)
            break;
        at = next;
    }
    return found;
}

// Length of the longest run of whole characters of text that fits in size-1 bytes.
static unsigned WholeCharactersThatFit(const char* text, unsigned size)
{
    const char* at = text;
    while (*at != '\0') {
        const char* next = CharNextA(at);
        if (next == at || (unsigned)(next - text) > size - 1)
            break;
        at = next;
    }
    return (unsigned)(at - text);
}

// Host thread only: the file asked about, read apart from the one that plays.
static FileReading info_reading;

// Opens file, read into info_reading, on a device of its own, asks for its length and closes
// it again. The playing device (open_record in the sequencer) is neither used nor changed.
static int AskLength(const char* file)
{
    MCI_OPEN_PARMSA record;
    if (OpenSequencer(&record, file, &info_reading) != 0)
        return kUnknownLength;
    int length = 0;
    if (QuerySequencerLength(record.wDeviceID, PlanPlayedPiece(info_reading.midi).length_ms, &length) != 0)
        length = kUnknownLength;
    CloseSequencer(record.wDeviceID);
    return length;
}

// The length the file plays for, from its reading: what Play reports for it.
static int ReadingLength(const FileReading& reading)
{
    return reading.midi.length_ms != kNoFileLength ? reading.midi.length_ms : SequencerCopyLength(reading.midi);
}

// A damaged or oversized file is refused unasked. Under Wine the reading decides as Play
// does (playback/sequencer.cpp): a timed file plays from its copy if the copy fits, and the
// sequencer is asked only about bytes that cannot be timed and that it opens (more than
// 4,096 tempo changes, a tempo map past the arithmetic, a division of 0x8000), whose length
// in Play is the sequencer's too. A file that could not be read is refused: the sequencer,
// which Play hands its name, cannot read it either.
static int LengthOf(const char* file)
{
    if (!ReadFileOnce(file, &info_reading))
        return kUnknownLength;
    if (IsWineSequencer()) {
        const MidiReading& midi = info_reading.midi;
        if (midi.timed) {
            // An unrolled loop is as many passes as the plan found fit: it always plays.
            LoopPlan plan = PlanPlayedPiece(midi);
            if (plan.passes > 0)
                return plan.length_ms;
            return SequencerCopyFits(midi, kMaxSequencerCopyBytes) ? ReadingLength(info_reading) : kUnknownLength;
        }
        if (!WineSequencerOpens(info_reading.bytes, info_reading.size))
            return kUnknownLength;
    }
    return AskLength(file);
}

void __cdecl GetFileInfo(const char* file, char* title_out, int* length_out)
{
    if (file == nullptr)
        return;

    const char* name = file;
    if (file[0] == '\0') {
        // The current file: the name or URL as Play received it, so a streamed file is
        // titled by its URL rather than by its local copy.
        name = current_path;
        if (length_out != nullptr)
            *length_out = length_ms;
    } else if (length_out != nullptr) {
        // MCI takes an element's name as its alias, so the file that is playing cannot be
        // opened again under the same name (MCIERR_DEVICE_OPEN); its length is known.
        if (playing && lstrcmpiA(file, current_path) == 0)
            *length_out = length_ms;
        else
            *length_out = LengthOf(file);
    }

    if (title_out != nullptr) {
        const char* title = name + FindLastOf(name, "\\/", -1) + 1;
        CopyText(title_out, WholeCharactersThatFit(title, kTitleCapacity) + 1, title);
    }
}
