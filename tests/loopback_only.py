#!/usr/bin/python3
"""Nothing the services of tools/services.sh started listens beyond loopback.

The processes are those SERVICE_PIDS names (the display, the sound server, the web server, the
synthesizer relay) and every process they started (FluidSynth). Each TCP listener and bound UDP
socket of theirs, found through their file descriptors in /proc/net/{tcp,udp}{,6}, must be on
127.0.0.0/8 or ::1; and the synthesizer's shell (MIDI_SYNTH_PORT) and the web server
(TEST_HTTP_PORT), when set, must be among them, so that the check sees what it checks.
"""
import os
import sys

TCP_LISTEN, UDP_UNCONNECTED = "0A", "07"


def children_of():
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(name))
    return children


def socket_owners(pids):
    owners = {}
    for pid in pids:
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if link.startswith("socket:["):
                owners[link[8:-1]] = pid
    return owners


def is_loopback(address):
    if len(address) == 8:  # IPv4, its bytes in the host's (little-endian) order
        return address.endswith("7F")
    if address == "00000000000000000000000001000000":  # ::1
        return True
    return address.startswith("0000000000000000FFFF0000") and address.endswith("7F")  # ::ffff:127.x


def main():
    services = [int(p) for p in os.environ.get("SERVICE_PIDS", "").split()]
    if not services:
        print("FAIL: no SERVICE_PIDS: run through tools/test.sh, which starts the services")
        return 1
    children = children_of()
    pids, todo = set(), list(services)
    while todo:
        pid = todo.pop()
        if pid not in pids:
            pids.add(pid)
            todo += children.get(pid, [])
    owners = socket_owners(pids)

    failed = 0
    loopback_ports = set()
    for table, state in (("tcp", TCP_LISTEN), ("tcp6", TCP_LISTEN), ("udp", UDP_UNCONNECTED), ("udp6", UDP_UNCONNECTED)):
        with open("/proc/net/" + table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] != state or fields[9] not in owners:
                    continue
                address, port = fields[1].split(":")
                port = int(port, 16)
                pid = owners[fields[9]]
                with open("/proc/%d/comm" % pid) as comm:
                    who = "%s (%d)" % (comm.read().strip(), pid)
                if is_loopback(address):
                    loopback_ports.add(port)
                    print("%s: %s port %d on loopback" % (who, table, port))
                else:
                    print("FAIL: %s: %s port %d on %s, beyond loopback" % (who, table, port, address))
                    failed += 1
    for name in ("MIDI_SYNTH_PORT", "TEST_HTTP_PORT"):
        port = os.environ.get(name)
        if port and int(port) not in loopback_ports:
            print("FAIL: nothing of the services listens on %s=%s on loopback" % (name, port))
            failed += 1
    print("%d processes of the services, %d failures" % (len(pids), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
