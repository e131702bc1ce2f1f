#!/usr/bin/python3
"""A MIDI file's length and note-on times in ms as an independent reader (mido) gives them,
for midi_reader_test.

Usage: mido_times.py FILE
Prints "length MS", then "note MS" for every note-on in the order played. Format 2 tracks
play one after another with the tempo carried over (mido times no format 2 file itself).
"""
import sys

import mido


def main():
    midi = mido.MidiFile(sys.argv[1])
    if midi.type == 2:
        messages = [message for track in midi.tracks for message in track]
    else:
        messages = mido.merge_tracks(midi.tracks)
    tempo = 500000
    at = 0.0
    notes = []
    for message in messages:
        at += mido.tick2second(message.time, midi.ticks_per_beat, tempo)
        if message.type == 'set_tempo':
            tempo = message.tempo
        elif message.type == 'note_on' and message.velocity > 0:
            notes.append(at)
    print('length %.6f' % (at * 1000))
    for note in notes:
        print('note %.6f' % (note * 1000))


if __name__ == '__main__':
    main()
