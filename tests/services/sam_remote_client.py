#!/usr/bin/env python3
"""A SAM v3 stream exchange between two routers, written from the public SAM v3 protocol
description, independent of the router's own code.

    sam_remote_client.py PORT_A PORT_B CONNECT_SESSION ACCEPT_SESSION ACCEPT_DEST CONNECT_DEST

A client of router B says HELLO and waits in STREAM ACCEPT on ACCEPT_SESSION; a client of
router A says HELLO and sends STREAM CONNECT from CONNECT_SESSION to ACCEPT_DEST, which may
be the accepting Destination, with or without its "=" padding, or a host name or b32 address
that router A resolves to it (through a NetDB lookup when it must). The
acceptor must first receive the connecting Destination (CONNECT_DEST) on a line of its own.
Then each side sends 1 MiB of random bytes, shuts down its sending side, and reads until the
end of the stream; each must get exactly the other's bytes.

Each check prints one line, "ok NAME" or "FAIL NAME: detail"; the last line is "done" and
the number of checks. The exit status is 0 only when every check passed.
"""
import hashlib
import os
import socket
import sys
import threading

PORT_A, PORT_B = int(sys.argv[1]), int(sys.argv[2])
CONNECT_SESSION, ACCEPT_SESSION = sys.argv[3], sys.argv[4]
ACCEPT_DEST, CONNECT_DEST = sys.argv[5], sys.argv[6]
TIMEOUT_S = 90
SIZE = 1024 * 1024

failures = 0
checks = 0


def check(name, ok, detail=""):
    global failures, checks
    checks += 1
    if ok:
        print("ok " + name, flush=True)
    else:
        failures += 1
        print("FAIL " + name + ": " + detail, flush=True)


def read_line(sock):
    """One reply line without its LF; bytes after it stay in the socket."""
    out = bytearray()
    while True:
        b = sock.recv(1)
        if not b:
            return out.decode("utf-8", "replace") + "<EOF>"
        if b == b"\n":
            return out.decode("utf-8")
        out += b


def open_client(port, name):
    s = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT_S)
    s.sendall(b"HELLO VERSION MIN=3.1 MAX=3.3\n")
    reply = read_line(s)
    words = reply.split(" ")
    check(name + " hello", words[:3] == ["HELLO", "REPLY", "RESULT=OK"], reply)
    return s


def exchange(sock, data, result):
    def send():
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
    sender = threading.Thread(target=send)
    sender.start()
    got = bytearray()
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        got += chunk
    sender.join()
    result.append(bytes(got))


def main():
    acceptor = open_client(PORT_B, "acceptor")
    acceptor.sendall(("STREAM ACCEPT ID=" + ACCEPT_SESSION + "\n").encode())
    reply = read_line(acceptor)
    check("accept status", reply == "STREAM STATUS RESULT=OK", reply)

    connector = open_client(PORT_A, "connector")
    connector.sendall(("STREAM CONNECT ID=" + CONNECT_SESSION + " DESTINATION=" + ACCEPT_DEST + "\n").encode())
    reply = read_line(connector)
    check("connect status", reply == "STREAM STATUS RESULT=OK", reply)
    peer = read_line(acceptor)
    check("acceptor learns the connecting destination", peer == CONNECT_DEST, peer[:60])
    if failures:
        return

    up, down = os.urandom(SIZE), os.urandom(SIZE)
    got_down, got_up = [], []
    threads = [threading.Thread(target=exchange, args=(connector, up, got_down)),
               threading.Thread(target=exchange, args=(acceptor, down, got_up))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, want, got in (("upload", up, got_up), ("download", down, got_down)):
        have = got[0] if got else b""
        check(name + " arrives whole", hashlib.sha256(have).digest() == hashlib.sha256(want).digest(),
              "%d of %d bytes" % (len(have), len(want)))


try:
    main()
except Exception as e:  # a time-out or a reset is a failed check, not a hang
    check("exchange", False, repr(e))
print("done %d" % checks, flush=True)
sys.exit(1 if failures else 0)
