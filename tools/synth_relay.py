#!/usr/bin/python3
"""FluidSynth's shell on a loopback port: usage synth_relay.py PORT FLUIDSYNTH-ARGUMENTS...

FluidSynth's own shell server listens on every network interface and has no setting for the
address, so this runs one FluidSynth with its shell on standard input and output instead and
serves that shell on 127.0.0.1:PORT to any number of connections, as FluidSynth's server would:
each connection's commands go to the one synthesizer, and each gets the replies to its own
commands alone, without the prompt and echo of the standard-input shell. A connection's lines
go over in batches, each followed by "echo" of a token of the relay's own; the replies up to that
token are the batch's. The port takes connections once the SoundFont has loaded. The relay ends
FluidSynth when it ends itself (on SIGTERM too), and ends when FluidSynth does.
"""
import os
import select
import signal
import socket
import subprocess
import sys


def main():
    port = int(sys.argv[1])
    synth = subprocess.Popen(["fluidsynth"] + sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        serve(port, synth)
    finally:
        synth.kill()
        synth.wait()


def serve(port, synth):
    out = synth.stdout.fileno()
    # The banner, then the answer to a first command once the SoundFont has loaded.
    synth.stdin.write(b"echo relay-ready\n")
    synth.stdin.flush()
    replies = b""
    while b"\nrelay-ready\n" not in replies:
        data = os.read(out, 65536)
        if not data:
            return
        replies += data
    replies = replies.split(b"\nrelay-ready\n", 1)[1]  # FluidSynth's output not yet split into lines
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    pending = {}        # connection -> bytes received and not yet sent on
    queue = []          # connections with whole lines waiting, in turn
    batch = None        # [connection, token, reply] while a batch is in FluidSynth
    serial = 0

    def send_batch(conn, lines):
        nonlocal batch, serial
        serial += 1
        token = b"relay-end-%d" % serial
        batch = [conn, token, b""]
        synth.stdin.write(lines + b"echo " + token + b"\n")
        synth.stdin.flush()

    while True:
        if batch is None and queue:
            conn = queue.pop(0)
            data = pending.get(conn, b"")
            cut = data.rfind(b"\n") + 1
            pending[conn] = data[cut:]
            send_batch(conn, data[:cut])
        readable, _, _ = select.select([listener, out] + list(pending), [], [])
        for r in readable:
            if r is listener:
                conn, _ = listener.accept()
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                conn.settimeout(2)  # a connection that reads no replies costs them, not the others
                pending[conn] = b""
            elif r == out:
                data = os.read(out, 65536)
                if not data:
                    return  # FluidSynth ended
                replies += data
                while batch is not None and b"\n" in replies:
                    line, replies = replies.split(b"\n", 1)
                    if line.startswith(b"> "):
                        continue  # the prompt and the command echoed
                    if line != batch[1]:
                        batch[2] += line + b"\n"
                        continue
                    conn, reply = batch[0], batch[2]
                    batch = None
                    if conn in pending and reply:
                        try:
                            conn.sendall(reply)
                        except OSError:
                            pass
            else:
                try:
                    data = r.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    del pending[r]
                    if r in queue:
                        queue.remove(r)
                    r.close()
                    continue
                pending[r] += data
                if b"\n" in pending[r] and r not in queue:
                    queue.append(r)


if __name__ == "__main__":
    main()
