#!/usr/bin/env python3
"""A virtual card for vpcd: connects to the reader's TCP port and answers.

Usage: virtual_card.py PORT ATR_HEX
Frames are a 2-byte big-endian length and a payload. A 1-byte payload is a
control message (0 off, 1 on, 2 reset, 4 send the ATR); only 4 is answered,
with the ATR. Every longer payload is an APDU, answered 6D00.
"""
import socket, struct, sys, time

port, atr = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
deadline = time.monotonic() + 30
while True:  # the reader listens once the daemon has loaded its driver
    try:
        sock = socket.create_connection(("127.0.0.1", port))
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("virtual card: reader port %d never answered" % port)
        time.sleep(0.05)

def receive(n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            sys.exit(0)  # the reader went away
        data += chunk
    return data

def send(payload):
    sock.sendall(struct.pack(">H", len(payload)) + payload)

while True:
    payload = receive(struct.unpack(">H", receive(2))[0])
    if len(payload) == 1:
        if payload[0] == 4:
            send(atr)
    else:
        send(b"\x6d\x00")
