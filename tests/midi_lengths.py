#!/usr/bin/python3
"""Expected lengths and note times of MIDI files from an independent reader (mido), for
file_info_test and music_test.

Usage: midi_lengths.py DATA_FOLDER OUT_FOLDER
Copies the real files of DATA_FOLDER into OUT_FOLDER, writes generated files with tempo
changes in the middle beside them, OUT_FOLDER/lengths.txt: "<file> <milliseconds>" a line, and
OUT_FOLDER/notes.txt: "<file> <milliseconds> <key>" for every note-on of the real files.
"""
import os
import shutil
import sys

import mido


def track(*events):
    t = mido.MidiTrack()
    t.extend(events)
    return t


def tempo(us, time=0):
    return mido.MetaMessage('set_tempo', tempo=us, time=time)


def notes(count, ticks, pitch=60, channel=0):
    out = []
    for i in range(count):
        out.append(mido.Message('note_on', channel=channel, note=pitch + i % 12, velocity=90, time=0))
        out.append(mido.Message('note_off', channel=channel, note=pitch + i % 12, velocity=0, time=ticks))
    return out


def end(time=0):
    return mido.MetaMessage('end_of_track', time=time)


def generated():
    """(name, MidiFile, expected ms or None for mido's own length)."""
    files = []
    # One track: 120, 60 and 200 bpm, four quarters each: 2000 + 4000 + 1200 ms, with system
    # exclusive and text events between (the real files have running status but no sysex).
    m = mido.MidiFile(type=0, ticks_per_beat=480)
    m.tracks.append(track(mido.Message('sysex', data=[0x7E, 0x7F, 0x09, 0x01]), *notes(4, 480), tempo(1000000),
                          mido.MetaMessage('text', text='slower'), *notes(4, 480), tempo(300000),
                          mido.Message('sysex', data=[0x43, 0x10, 0x4C, 0, 0, 0x7E, 0]), *notes(4, 480), end()))
    files.append(('tempo_steps_f0.mid', m, 7200))
    # A tempo track changing at odd ticks, notes in another, and a third track that ends
    # latest, with an end-of-track event well after its last note.
    m = mido.MidiFile(type=1, ticks_per_beat=96)
    m.tracks.append(track(tempo(612345), tempo(433333, 101), tempo(1500000, 377), tempo(250000, 1000), end()))
    m.tracks.append(track(*notes(20, 96)))
    m.tracks.append(track(*notes(3, 300, pitch=40, channel=1), end(1111)))
    files.append(('tempo_map_f1.mid', m, None))
    # Tempo changes outside the first track, two at tick 0 (the later track's is in force).
    m = mido.MidiFile(type=1, ticks_per_beat=384)
    m.tracks.append(track(tempo(800000), *notes(6, 384)))
    m.tracks.append(track(tempo(400000), tempo(900000, 1000), *notes(3, 200, channel=2)))
    files.append(('tempo_elsewhere_f1.mid', m, None))
    # Format 2: the tracks play one after another, each from where the last ended; the tempo
    # carries over. 2 quarters at 60 bpm, then 2 at 120, then 4 still at 120: 2000+1000+2000.
    m = mido.MidiFile(type=2, ticks_per_beat=480)
    m.tracks.append(track(tempo(1000000), *notes(2, 480)))
    m.tracks.append(track(tempo(500000), *notes(2, 480)))
    m.tracks.append(track(*notes(4, 480)))
    files.append(('sequences_f2.mid', m, 5000))
    return files


def main():
    data, out = sys.argv[1], sys.argv[2]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    lines = []
    notes_out = []
    for name in sorted(os.listdir(data)):
        if name.endswith('.mid'):
            shutil.copy(os.path.join(data, name), out)
            midi = mido.MidiFile(os.path.join(out, name))
            lines.append((name, midi.length * 1000))
            at = 0.0
            for message in midi:
                at += message.time
                if message.type == 'note_on' and message.velocity > 0:
                    notes_out.append('%s %.3f %d\n' % (name, at * 1000, message.note))
    for name, midi, expected in generated():
        path = os.path.join(out, name)
        midi.save(path)
        if midi.type == 2:
            # mido times no format 2 file: the sum of each track alone, with the tempo carried.
            assert expected is not None
        else:
            length = mido.MidiFile(path).length * 1000
            assert expected is None or abs(length - expected) < 0.01, (name, length, expected)
            expected = length
        lines.append((name, expected))
    with open(os.path.join(out, 'lengths.txt'), 'w') as f:
        for name, ms in lines:
            f.write('%s %.3f\n' % (name, ms))
    with open(os.path.join(out, 'notes.txt'), 'w') as f:
        f.writelines(notes_out)
    print('%d files' % len(lines))


if __name__ == '__main__':
    main()
