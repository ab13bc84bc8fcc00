#!/usr/bin/env python3
"""The plain script a user would write to poll the base's status: send the
5-byte status request, read whatever the link has and split it into frames
until the answer is complete, again and again. Prints the requests per
second it reached. Standard library only. With --timed it makes that many
exchanges after the warm-up, instead of running for a time, and prints their
rate. With --count it makes that many exchanges, with no warm-up, and prints
nothing: the benchmark takes its CPU time.

    status_loop.py --tcp 127.0.0.1:PORT [--seconds S | --timed N | --count N]
    status_loop.py --pty /dev/pts/N [--seconds S | --timed N | --count N]
"""
import argparse
import os
import socket
import time
import tty

REQUEST = bytes([0x10, 0x02, 0xF8, 0x30, 0xDA])
LENGTH16 = 0x40  # flag bit: the length field has two bytes
READ_SIZE = 4096


def frame_size(buffer):
    """Size of the frame at the start of buffer, or 0 while its header is
    incomplete: flags, length (one or two bytes), payload, checksum."""
    if len(buffer) < 2:
        return 0
    if buffer[0] & LENGTH16:
        if len(buffer) < 3:
            return 0
        return 3 + (buffer[1] | buffer[2] << 8) + 1
    return 2 + buffer[1] + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tcp")
    parser.add_argument("--pty")
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--timed", type=int)
    parser.add_argument("--count", type=int)
    args = parser.parse_args()

    if args.tcp:
        host, port = args.tcp.rsplit(":", 1)
        sock = socket.create_connection((host, int(port)))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        send, recv = sock.sendall, sock.recv
    else:
        fd = os.open(args.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        send = lambda data: os.write(fd, data)
        recv = lambda n: os.read(fd, n)

    pending = bytearray()

    def exchange():
        send(REQUEST)
        while True:
            size = frame_size(pending)
            if size and len(pending) >= size:
                del pending[:size]  # the answer
                return
            chunk = recv(READ_SIZE)
            if not chunk:
                raise SystemExit("the base closed the link")
            pending.extend(chunk)

    if args.count is not None:
        for _ in range(args.count):
            exchange()
        return

    for _ in range(100):  # warm up
        exchange()
    if args.timed is not None:
        start = time.monotonic()
        for _ in range(args.timed):
            exchange()
        print("%.1f" % (args.timed / (time.monotonic() - start)))
        return
    count = 0
    start = time.monotonic()
    end = start + args.seconds
    while time.monotonic() < end:
        exchange()
        count += 1
    print("%.1f" % (count / (time.monotonic() - start)))


if __name__ == "__main__":
    main()
