// Telling the system exclusive messages the driver carries out from the rest.
#include "synth/sysex.h"

constexpr unsigned char kSysexStart = 0xF0, kSysexEnd = 0xF7;
constexpr unsigned char kUniversalNonRealTime = 0x7E, kUniversalRealTime = 0x7F;
constexpr unsigned char kRoland = 0x41, kRolandGs = 0x42, kRolandDataSet = 0x12;
constexpr unsigned char kYamaha = 0x43, kYamahaXg = 0x4C;

static SysexReading Reading(SysexKind kind, const char* name)
{
    SysexReading r = {kind, name, 0, 0, 0};
    return r;
}

static bool Is(const unsigned char* bytes, unsigned long length, const unsigned char* pattern, unsigned long size)
{
    if (length != size)
        return false;
    for (unsigned long i = 0; i < size; ++i)
        if (pattern[i] != bytes[i] && pattern[i] != 0xFF) // 0xFF: any data byte (a device, a value)
            return false;
    return true;
}

// GS parts are numbered 1-16 with the rhythm part, 10, first: the part byte's low nibble 0 is
// part 10, 1-9 are parts 1-9 and A-F parts 11-16. Returns the MIDI channel, 0-15.
static int GsPartChannel(int nibble) { return nibble == 0 ? 9 : nibble <= 9 ? nibble - 1 : nibble; }

// A GS data set: F0 41 <dev> 42 12 <address: 3 bytes> <data> <checksum> F7; the address, the
// data and the checksum add up to a multiple of 128.
static SysexReading ReadGs(const unsigned char* bytes, unsigned long length)
{
    unsigned sum = 0;
    for (unsigned long i = 5; i < length - 1; ++i)
        sum += bytes[i];
    if (sum % 128 != 0)
        return Reading(kSysexBadChecksum, "gs-bad-checksum");
    static const unsigned char kGsReset[] = {kSysexStart, kRoland, 0xFF, kRolandGs, kRolandDataSet, 0x40, 0x00, 0x7F, 0x00, 0x41, kSysexEnd};
    if (Is(bytes, length, kGsReset, sizeof(kGsReset)))
        return Reading(kSysexReset, "gs-reset");
    // 40 1x 15 vv: the part's rhythm mode, 0 normal, 1 and 2 the two drum maps.
    if (length == 11 && bytes[5] == 0x40 && (bytes[6] & 0xF0) == 0x10 && bytes[7] == 0x15 && bytes[8] <= 2) {
        SysexReading r = Reading(kSysexRhythmPart, "gs-rhythm-part");
        r.channel = GsPartChannel(bytes[6] & 0x0F);
        r.drums = bytes[8] != 0;
        return r;
    }
    return Reading(kSysexUnknown, "unknown");
}

SysexReading ReadSysex(const unsigned char* bytes, unsigned long length)
{
    if (bytes == nullptr || length < 4 || bytes[0] != kSysexStart || bytes[length - 1] != kSysexEnd)
        return Reading(kSysexUnknown, "unknown");
    for (unsigned long i = 1; i < length - 1; ++i)
        if (bytes[i] & 0x80)
            return Reading(kSysexUnknown, "unknown");
    static const unsigned char kGmSystemOn[] = {kSysexStart, kUniversalNonRealTime, 0xFF, 0x09, 0x01, kSysexEnd};
    static const unsigned char kXgSystemOn[] = {kSysexStart, kYamaha, 0xFF, kYamahaXg, 0x00, 0x00, 0x7E, 0x00, kSysexEnd};
    static const unsigned char kMasterVolume[] = {kSysexStart, kUniversalRealTime, 0xFF, 0x04, 0x01, 0xFF, 0xFF, kSysexEnd};
    if (Is(bytes, length, kGmSystemOn, sizeof(kGmSystemOn)))
        return Reading(kSysexReset, "gm-system-on");
    if (Is(bytes, length, kXgSystemOn, sizeof(kXgSystemOn)) && (bytes[2] & 0xF0) == 0x10)
        return Reading(kSysexReset, "xg-system-on");
    if (Is(bytes, length, kMasterVolume, sizeof(kMasterVolume))) {
        SysexReading r = Reading(kSysexMasterVolume, "master-volume");
        r.volume = bytes[5] | bytes[6] << 7;
        return r;
    }
    if (length >= 11 && bytes[1] == kRoland && bytes[3] == kRolandGs && bytes[4] == kRolandDataSet)
        return ReadGs(bytes, length);
    return Reading(kSysexUnknown, "unknown");
}
