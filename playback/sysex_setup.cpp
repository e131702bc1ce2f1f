// Which system exclusive messages set the synthesizer up for a start at a point. A message's
// kind is what it sets: the address of a Roland or Yamaha parameter, the sub-IDs of a universal
// message; a later message of the same kind replaces an earlier one, and a reset (General MIDI
// System On, GS reset, XG System On) replaces everything before it.
#include "playback/sysex_setup.h"

#include <cstring>

#include "playback/midi_file.h"
#include "playback/sequencer_copy.h"

static const uint8_t kRoland = 0x41, kYamaha = 0x43, kUniversalNonRealTime = 0x7E, kUniversalRealTime = 0x7F;

// data (after 0xF0) up to its terminating 0xF7.
static int IsReset(const uint8_t* d, uint32_t n)
{
    if (n >= 4 && d[0] == kUniversalNonRealTime && d[2] == 0x09 && (d[3] == 0x01 || d[3] == 0x03))
        return 1; // General MIDI (or GM2) System On
    if (n >= 7 && d[0] == kRoland && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 && d[5] == 0x00 && d[6] == 0x7F)
        return 1; // GS reset
    if (n >= 7 && d[0] == kYamaha && (d[1] & 0xF0) == 0x10 && d[2] == 0x4C && d[3] == 0x00 && d[4] == 0x00 &&
        d[5] == 0x7E)
        return 1; // XG System On
    return 0;
}

// The bytes that name what a message sets: from *key, *key_length of them.
static void KindOf(const uint8_t* d, uint32_t n, uint32_t* key_at, uint32_t* key_length)
{
    *key_at = 0;
    *key_length = n; // an unknown message is its own kind: only repeats of it replace it
    if (n >= 7 && d[0] == kRoland && d[3] == 0x12) {
        *key_at = 2; // model, command, three address bytes
        *key_length = 5;
    } else if (n >= 6 && d[0] == kYamaha && (d[1] & 0xF0) == 0x10) {
        *key_at = 2; // model, three address bytes
        *key_length = 4;
    } else if (n >= 4 && (d[0] == kUniversalNonRealTime || d[0] == kUniversalRealTime)) {
        *key_at = 2; // the two sub-IDs
        *key_length = 2;
    }
}

static int SameKind(const uint8_t* a, uint32_t an, const uint8_t* b, uint32_t bn)
{
    uint32_t a_at, a_length, b_at, b_length;
    KindOf(a, an, &a_at, &a_length);
    KindOf(b, bn, &b_at, &b_length);
    return a[0] == b[0] && a_length == b_length && memcmp(a + a_at, b + b_at, a_length) == 0;
}

static void Append(SysexSetup* setup, const uint8_t* d, uint32_t n)
{
    if (setup->count == kMaxSetupMessages || n > kMaxSetupBytes - setup->bytes)
        return;
    setup->data[setup->count] = d;
    setup->length[setup->count] = n;
    ++setup->count;
    setup->bytes += n;
}

static void Remove(SysexSetup* setup, unsigned i)
{
    setup->bytes -= setup->length[i];
    for (; i + 1 < setup->count; ++i) {
        setup->data[i] = setup->data[i + 1];
        setup->length[i] = setup->length[i + 1];
    }
    --setup->count;
}

void CollectSysexSetup(const uint8_t* copy, uint32_t size, int ms, SysexSetup* setup)
{
    setup->count = 0;
    setup->bytes = 0;
    if (size <= kSequencerCopyTrackAt)
        return;
    MidiTrackCursor track = {copy + kSequencerCopyTrackAt, size - kSequencerCopyTrackAt, 0, 0, 0};
    MidiEvent event;
    while (ReadMidiEvent(&track, &event) == kEventRead) {
        int before = ms > 0 && event.tick < (uint32_t)ms;
        if (!before && (event.status & 0xF0) == 0x90 && event.length == 2 && event.data[1] != 0)
            return; // the first note from the point: the set-up must come before it
        if (event.status != kMidiSysEx || event.length == 0)
            continue;
        const uint8_t* d = event.data;
        uint32_t n = event.length;
        if (before && IsReset(d, n)) {
            setup->count = 0;
            setup->bytes = 0;
        } else if (!IsReset(d, n)) {
            // From the point on too: a sweep before the first note is only its last value.
            for (unsigned i = 0; i < setup->count; ++i)
                if (SameKind(setup->data[i], setup->length[i], d, n)) {
                    Remove(setup, i);
                    break;
                }
        }
        Append(setup, d, n);
    }
}
