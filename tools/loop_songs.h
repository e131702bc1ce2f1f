// Short songs with loop marks, one for each convention the plug-in honours (docs/wine-sequencer.md),
// one without marks and one whose marks are ambiguous. `make_midi loops FOLDER` writes them at
// build time; tests/loop_test.cpp plays them and works out from the same definitions, on its own,
// what the unrolled piece must sound like.
//
// Each is a line of organ notes on channel 0, one every 250 ms and held 200 ms, note i at key
// 60 + i so that a key names its place: an intro of four notes (0-1000 ms), a loop body of six
// (1000-2500 ms), and where the song goes on after the loop, a tail of two (2500-3000 ms). At 500
// ticks a quarter and no tempo event a tick is a millisecond, except where a song says otherwise.
#pragma once

#include <string>
#include <vector>

#include "tools/midi_writer.h"

namespace loop_songs {

constexpr int kNoteMs = 250, kNoteHeldMs = 200, kFirstKey = 60;
constexpr int kLoopStart = 1000, kLoopEnd = 2500, kSongEnd = 3000;
// Channel 1: a note held across the loop's end, with the sustain pedal down over it.
constexpr int kHeldKey = 40, kHeldFrom = 2300, kHeldTo = 2800, kPedalDown = 2100, kPedalUp = 2700;

struct Song {
    std::string name;
    MidiSong song;
};

// Notes 0 to count-1, the organ on channels 0 and 1, channel 0's volume at 100.
inline MidiSong Line(int count, int end)
{
    MidiSong song;
    song.ticks_per_quarter = 500;
    song.programs = {{0, 19}, {1, 19}};
    for (int i = 0; i < count; ++i)
        song.notes.push_back({i * kNoteMs, kNoteHeldMs, 0, kFirstKey + i, 100});
    song.others.push_back(MidiControl(0, 0, 7, 100));
    song.end_ticks = end;
    return song;
}

// The line with its tail, and the note held across the loop's end under the pedal.
inline MidiSong LineWithHeldNote()
{
    MidiSong song = Line(12, kSongEnd);
    song.notes.push_back({kHeldFrom, kHeldTo - kHeldFrom, 1, kHeldKey, 100});
    song.others.push_back(MidiControl(kPedalDown, 1, 64, 127));
    song.others.push_back(MidiControl(kPedalUp, 1, 64, 0));
    return song;
}

inline std::vector<Song> All()
{
    std::vector<Song> songs;
    // Marker meta events; the loop ends before the song does, which goes on to its tail.
    MidiSong markers = LineWithHeldNote();
    markers.others.push_back(MidiMarker(kLoopStart, "loopStart"));
    markers.others.push_back(MidiMarker(kLoopEnd, "loopEnd"));
    songs.push_back({"markers.mid", markers});

    // Controller 111 alone: the loop runs to the song's end, so its last pass fades out. The
    // file lowers its own volume inside the loop, and its pedal is down at the loop's end.
    MidiSong rpg = Line(10, kLoopEnd);
    rpg.others.push_back(MidiControl(kLoopStart, 0, 111, 0));
    rpg.others.push_back(MidiControl(1750, 0, 7, 80));
    rpg.others.push_back(MidiControl(kPedalDown, 0, 64, 127));
    songs.push_back({"controller111.mid", rpg});

    // Controllers 110 (start) and 111 (end), a tail after.
    MidiSong c110 = LineWithHeldNote();
    c110.others.push_back(MidiControl(kLoopStart, 0, 110, 0));
    c110.others.push_back(MidiControl(kLoopEnd, 0, 111, 0));
    songs.push_back({"controllers110.mid", c110});

    // EMIDI track loop marked to repeat forever (116 value 0, 117 value 127): the passes, then
    // one that fades out; the tail after the loop is never reached.
    MidiSong track = Line(12, kSongEnd);
    track.others.push_back(MidiControl(kLoopStart, 0, 116, 0));
    track.others.push_back(MidiControl(kLoopEnd, 0, 117, 127));
    songs.push_back({"emidi_track.mid", track});

    // EMIDI song loop with a count of 3 (118 value 3, 119 value 127), and the tempo doubled in
    // the middle of the loop (ticks 1500-2000 last 250 ms): the passes keep to the tempo map.
    MidiSong song = Line(12, kSongEnd);
    song.others.push_back(MidiControl(kLoopStart, 0, 118, 3));
    song.others.push_back(MidiControl(kLoopEnd, 0, 119, 127));
    song.others.push_back(MidiTempo(1500, 250000));
    song.others.push_back(MidiTempo(2000, 500000));
    songs.push_back({"emidi_song.mid", song});

    // No marks: plays exactly as before.
    songs.push_back({"plain.mid", Line(12, kSongEnd)});

    // Two starts: ambiguous, played as written.
    MidiSong twice = Line(12, kSongEnd);
    twice.others.push_back(MidiMarker(kLoopStart, "loopStart"));
    twice.others.push_back(MidiMarker(1500, "loopStart"));
    twice.others.push_back(MidiMarker(kLoopEnd, "loopEnd"));
    songs.push_back({"two_starts.mid", twice});
    return songs;
}

} // namespace loop_songs
