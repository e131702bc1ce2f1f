"""Writes a steady tone into a FIFO in real time, for a sound server's pipe source to take as a
microphone: 440 Hz at a quarter of full scale, 16-bit stereo at 44.1 kHz, in 10 ms pieces on
the clock (a stall is made up at once). Runs until killed.
Usage: steady_tone.py FIFO"""
import math
import struct
import sys
import time

RATE = 44100
PIECE = RATE // 100  # frames in 10 ms
# One second holds exactly 440 periods: the table repeats seamlessly.
second = b"".join(struct.pack("<hh", v, v) for v in
                  (int(8192 * math.sin(2 * math.pi * 440 * i / RATE)) for i in range(RATE)))
with open(sys.argv[1], "wb", buffering=0) as fifo:
    start = time.monotonic()
    written = 0  # pieces
    while True:
        ahead = start + written * 0.01 - time.monotonic()
        if ahead > 0.02:
            time.sleep(ahead - 0.02)
        at = (written % 100) * PIECE * 4
        fifo.write(second[at:at + PIECE * 4])
        written += 1
