// What a system exclusive message asks of the synthesizer, for the few that FluidSynth's
// command shell can carry out: the General MIDI, GS and XG resets, the GS rhythm-part
// assignment and the master volume. Pure: bytes in, reading out.
#pragma once

enum SysexKind {
    kSysexReset,        // GM System On, GS reset or XG System On
    kSysexRhythmPart,   // GS "use for rhythm part": channel, drums
    kSysexMasterVolume, // universal real-time master volume: volume
    kSysexBadChecksum,  // a Roland message whose checksum does not add up
    kSysexUnknown,
};

struct SysexReading {
    SysexKind kind;
    const char* name; // for the message log: "gm-system-on", "gs-rhythm-part", "unknown", ...
    int channel;      // kSysexRhythmPart: MIDI channel 0-15
    int drums;        // kSysexRhythmPart: 1 for a drum map, 0 for a normal part
    int volume;       // kSysexMasterVolume: 0-16383
};

// One message, F0 to F7, whole: a buffer holding anything else reads as unknown.
SysexReading ReadSysex(const unsigned char* bytes, unsigned long length);
