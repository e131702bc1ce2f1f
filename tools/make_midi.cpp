// Writes the project's own MIDI files: `make_midi demo OUT.mid` writes the demo tune,
// `make_midi scale N OUT.mid` a scale of N quarter notes (N * 500 ms), `make_midi short OUT.mid`
// and `make_midi short-gm OUT.mid` a piece of 300 ms, the second with a GM System On before it,
// `make_midi loops FOLDER` the songs with loop marks of tools/loop_songs.h into FOLDER (which
// must exist).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/loop_songs.h"
#include "tools/midi_writer.h"

// A short two-voice tune, about eight seconds at the default tempo.
static MidiSong DemoSong()
{
    MidiSong song;
    song.programs = {{0, 0}, {1, 32}};
    static const int kMelody[] = {67, 64, 64, 65, 62, 62, 60, 62, 64, 65, 67, 67, 67, 0, 67, 64};
    static const int kBass[] = {48, 43, 48, 43, 45, 41, 43, 36};
    int q = 480;
    for (int i = 0; i < 16; ++i)
        if (kMelody[i] != 0)
            song.notes.push_back({i * q, q - 40, 0, kMelody[i], 96});
    for (int i = 0; i < 8; ++i)
        song.notes.push_back({i * 2 * q, 2 * q - 20, 1, kBass[i], 80});
    return song;
}

// Six notes of 50 ms (48 ticks): 300 ms, which a host plays to its end within a fraction of a second.
static MidiSong ShortSong(bool gm_system_on)
{
    MidiSong song = ScaleSong(6, 10);
    song.notes.resize(6);
    if (gm_system_on)
        song.sysex.push_back({0x7E, 0x7F, 0x09, 0x01, 0xF7});
    return song;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "demo") == 0)
        return WriteMidiFile(argv[2], DemoSong()) ? 0 : 1;
    if (argc == 4 && strcmp(argv[1], "scale") == 0)
        return WriteMidiFile(argv[3], ScaleSong(atoi(argv[2]))) ? 0 : 1;
    if (argc == 3 && (strcmp(argv[1], "short") == 0 || strcmp(argv[1], "short-gm") == 0))
        return WriteMidiFile(argv[2], ShortSong(strcmp(argv[1], "short-gm") == 0)) ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "loops") == 0) {
        for (const loop_songs::Song& song : loop_songs::All())
            if (!WriteMidiFile(std::string(argv[2]) + "/" + song.name, song.song))
                return 1;
        return 0;
    }
    fprintf(stderr, "usage: make_midi demo OUT.mid | make_midi scale N OUT.mid | make_midi short[-gm] OUT.mid | make_midi loops FOLDER\n");
    return 2;
}
