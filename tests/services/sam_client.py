#!/usr/bin/env python3
"""A SAM v3 client written from the public SAM v3 protocol description, independent of the
router's own parser. It drives a router's SAM bridge over loopback and checks every reply.

    sam_client.py PORT HOSTS_NAME HOSTS_VALUE

Each check prints one line, "ok NAME" or "FAIL NAME: detail"; the last line is "done" and the
number of checks. The
exit status is 0 only when every check passed.

What the client knows of the protocol:
- commands and replies are lines of UTF-8 text ending in LF; a reply is a command word, an
  optional subcommand and KEY=VALUE pairs, a value possibly in double quotes with backslash
  escapes inside them;
- destinations travel in I2P's Base64 (the alphabet with "-" and "~" for "+" and "/");
  a Destination is a 256-byte public key area, a 128-byte signing key area and a
  certificate (type, 2-byte length, payload); a Key certificate (type 5) names the signing
  type (7 = Ed25519, its public key at the end of the signing area) and the crypto type;
- a private key as SAM hands it out here is the Destination followed by the 32-byte X25519
  private key and the 32-byte Ed25519 seed;
- a b32 address is the Base32 of SHA-256 of the Destination's bytes, lower case, without
  padding, followed by ".b32.i2p";
- a stream connection is a fresh socket that says HELLO, then STREAM CONNECT or STREAM
  ACCEPT; after "STREAM STATUS RESULT=OK" the socket carries the stream's bytes (the
  acceptor first receives one line with the connecting Destination);
- HELLO VERSION names the range of versions the client speaks (MIN and MAX, both
  optional); the bridge answers the highest version it speaks in that range, or
  "HELLO REPLY RESULT=NOVERSION" when there is none. This bridge speaks 3.0 to 3.3, and
  carries out nothing on a connection that does not open with HELLO VERSION;
- STREAM CONNECT's DESTINATION may be a Destination, a host name or a b32 address;
- some client libraries split KEY=value at every "=", and so hand back Base64 keys and
  destinations without their "=" padding; the bridge takes them either way.
"""
import http.client
import base64
import hashlib
import socket
import sys
import threading

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives import serialization

PORT = int(sys.argv[1])
HOSTS_NAME = sys.argv[2]
HOSTS_VALUE = sys.argv[3]
TIMEOUT_S = 30

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


def i2p_b64decode(text):
    std = text.replace("-", "+").replace("~", "/")
    return base64.b64decode(std + "=" * (-len(std) % 4), validate=True)


def i2p_b64encode(data):
    return base64.b64encode(data).decode().replace("+", "-").replace("/", "~")


def destination_length(raw):
    """The length of the Destination at the front of raw: key areas and certificate."""
    cert_len = int.from_bytes(raw[385:387], "big")
    return 387 + cert_len


def b32_of(dest_b64):
    digest = hashlib.sha256(i2p_b64decode(dest_b64)).digest()
    return base64.b32encode(digest).decode().lower().rstrip("=") + ".b32.i2p"


def parse_reply(line):
    """(words, pairs) of a reply line, by the quoting rules of the protocol."""
    tokens, cur, quoted, started, i = [], "", False, False, 0
    while i < len(line):
        c = line[i]
        if quoted:
            if c == "\\":
                i += 1
                cur += line[i]
            elif c == '"':
                quoted = False
            else:
                cur += c
        elif c in " \t":
            if started:
                tokens.append(cur)
            cur, started = "", False
        elif c == '"':
            quoted, started = True, True
        else:
            cur += c
            started = True
        i += 1
    if started:
        tokens.append(cur)
    words, pairs = [], {}
    for t in tokens:
        if "=" in t and not t.startswith("="):
            k, v = t.split("=", 1)
            pairs.setdefault(k, v)
        else:
            words.append(t)
    return words, pairs


class Conn:
    def __init__(self):
        self.s = socket.create_connection(("127.0.0.1", PORT), timeout=TIMEOUT_S)
        self.buf = b""

    def send(self, text):
        self.s.sendall(text.encode() if isinstance(text, str) else text)

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.s.recv(65536)
            if not chunk:
                raise EOFError("connection closed before a full line")
            self.buf += chunk
        raw, self.buf = self.buf.split(b"\n", 1)
        return raw.decode()

    def ask(self, command):
        self.send(command + "\n")
        return self.line()

    def hello(self):
        return self.ask("HELLO VERSION MIN=3.1 MAX=3.3")

    def closed_by_peer(self):
        """True when the bridge closed the connection (after any bytes still queued)."""
        try:
            while True:
                chunk = self.s.recv(65536)
                if not chunk:
                    return True
                self.buf += chunk
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.s.close()


def expect(name, got, want):
    check(name, got == want, "got %r, want %r" % (got, want))


def unpadded(b64):
    """The value as a library that splits KEY=value at every "=" hands it back."""
    return b64.split("=")[0]


def expect_refused(name, conn, command, reply):
    """The command gets the reply (none when None) and the bridge closes the connection
    with nothing else sent."""
    conn.send(command + "\n")
    if reply is not None:
        expect(name, conn.line(), reply)
    check(name + " closes", conn.closed_by_peer() and conn.buf == b"", repr(conn.buf))
    conn.close()


def versions():
    for name, hello, reply in [
        ("hello without a range", "HELLO VERSION", "HELLO REPLY RESULT=OK VERSION=3.3"),
        ("hello 3.1 only", "HELLO VERSION MIN=3.1 MAX=3.1", "HELLO REPLY RESULT=OK VERSION=3.1"),
        ("hello old range", "HELLO VERSION MIN=3.0 MAX=3.1", "HELLO REPLY RESULT=OK VERSION=3.1"),
        ("hello up to 3.2", "HELLO VERSION MAX=3.2", "HELLO REPLY RESULT=OK VERSION=3.2"),
        ("hello from 3.2", "HELLO VERSION MIN=3.2", "HELLO REPLY RESULT=OK VERSION=3.3"),
        ("hello wide range", "HELLO VERSION MIN=3.0 MAX=3.9", "HELLO REPLY RESULT=OK VERSION=3.3"),
    ]:
        c = Conn()
        expect(name, c.ask(hello), reply)
        # The agreed connection carries commands.
        expect(name + " then ping", c.ask("PING v"), "PONG v")
        c.close()
    for name, hello in [
        ("hello above", "HELLO VERSION MIN=3.4"),
        ("hello below", "HELLO VERSION MIN=2.0 MAX=2.9"),
        ("hello empty range", "HELLO VERSION MIN=3.3 MAX=3.1"),
        ("hello not a version", "HELLO VERSION MIN=three"),
    ]:
        expect_refused(name, Conn(), hello, "HELLO REPLY RESULT=NOVERSION")


def hello_first():
    # Whatever comes before HELLO VERSION is neither carried out nor answered.
    for first in ["SESSION CREATE STYLE=STREAM ID=early DESTINATION=TRANSIENT", "NAMING LOOKUP NAME=ME", "PING",
                  "HELLO", "hello version", "DEST GENERATE", 'PING K="open']:
        expect_refused("before hello: " + first, Conn(),
                       first + "\nHELLO VERSION\nSESSION CREATE STYLE=STREAM ID=early DESTINATION=TRANSIENT", None)
    # A web page can make a browser POST text to this port: the request creates nothing and
    # gets no answer.
    body = ("HELLO VERSION MIN=3.0 MAX=3.3\nSESSION CREATE STYLE=STREAM ID=posted DESTINATION=TRANSIENT\n"
            "STREAM ACCEPT ID=posted\n")
    web = http.client.HTTPConnection("127.0.0.1", PORT, timeout=TIMEOUT_S)
    try:
        web.request("POST", "/", body=body, headers={"Content-Type": "text/plain"})
        web.getresponse()
        check("cross-protocol POST gets no answer", False, "an HTTP response came")
    except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as e:
        check("cross-protocol POST gets no answer", True, repr(e))
    web.close()
    # Its id was never taken: a real client gets it.
    c = Conn()
    c.hello()
    words, pairs = parse_reply(c.ask("SESSION CREATE STYLE=STREAM ID=posted DESTINATION=TRANSIENT"))
    check("the POSTed session does not exist", pairs.get("RESULT") == "OK", repr(pairs))
    c.close()


def main():
    # --- HELLO, DEST GENERATE ------------------------------------------------------------
    versions()
    hello_first()
    ctl = Conn()
    expect("hello", ctl.hello(), "HELLO REPLY RESULT=OK VERSION=3.3")

    words, pairs = parse_reply(ctl.ask("DEST GENERATE SIGNATURE_TYPE=7"))
    check("dest generate reply", words == ["DEST", "REPLY"] and "PUB" in pairs and "PRIV" in pairs, repr(words))
    pub, priv = pairs["PUB"], pairs["PRIV"]
    pub_raw, priv_raw = i2p_b64decode(pub), i2p_b64decode(priv)
    n = destination_length(pub_raw)
    check("dest public is one Destination", n == len(pub_raw), "%d != %d" % (n, len(pub_raw)))
    check("dest private is the Destination and 64 key bytes",
          priv_raw[:n] == pub_raw and len(priv_raw) == n + 64, "length %d" % len(priv_raw))
    cert = pub_raw[384:]
    check("dest Key certificate names Ed25519", cert[0] == 5 and int.from_bytes(cert[3:5], "big") == 7,
          cert.hex())
    seed = priv_raw[n + 32:n + 64]
    ed_pub = Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    check("dest signing key belongs to the seed", pub_raw[352:384] == ed_pub, pub_raw[352:384].hex())

    # --- SESSION CREATE: transient, and from the saved private key -----------------------
    words, pairs = parse_reply(ctl.ask(
        "SESSION CREATE STYLE=STREAM ID=alpha DESTINATION=TRANSIENT SIGNATURE_TYPE=7 "
        "i2cp.leaseSetEncType=4,0 inbound.length=1 outbound.length=1"))
    check("session transient", words == ["SESSION", "STATUS"] and pairs.get("RESULT") == "OK", repr(pairs))
    alpha_priv = i2p_b64decode(pairs.get("DESTINATION", ""))
    alpha_pub = i2p_b64encode(alpha_priv[:destination_length(alpha_priv)])
    check("session transient key bytes", len(alpha_priv) == destination_length(alpha_priv) + 64,
          str(len(alpha_priv)))
    expect("naming ME", ctl.ask("NAMING LOOKUP NAME=ME"), "NAMING REPLY RESULT=OK NAME=ME VALUE=" + alpha_pub)

    ctl2 = Conn()
    ctl2.hello()
    expect("session from saved key", ctl2.ask("SESSION CREATE STYLE=STREAM ID=beta DESTINATION=" + priv),
           "SESSION STATUS RESULT=OK DESTINATION=" + priv)
    expect("naming ME of saved key", ctl2.ask("NAMING LOOKUP NAME=ME"),
           "NAMING REPLY RESULT=OK NAME=ME VALUE=" + pub)

    # --- NAMING LOOKUP ------------------------------------------------------------------
    expect("naming b32 of a session", ctl2.ask("NAMING LOOKUP NAME=" + b32_of(alpha_pub)),
           "NAMING REPLY RESULT=OK NAME=" + b32_of(alpha_pub) + " VALUE=" + alpha_pub)
    expect("naming b32 in capitals", ctl2.ask("NAMING LOOKUP NAME=" + b32_of(pub).upper()),
           "NAMING REPLY RESULT=OK NAME=" + b32_of(pub).upper() + " VALUE=" + pub)
    expect("naming hosts name", ctl2.ask("NAMING LOOKUP NAME=" + HOSTS_NAME.upper()),
           "NAMING REPLY RESULT=OK NAME=" + HOSTS_NAME.upper() + " VALUE=" + HOSTS_VALUE)
    expect("naming unknown", ctl2.ask("NAMING LOOKUP NAME=nosuch.i2p"),
           "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=nosuch.i2p")
    expect("naming without NAME", ctl2.ask("NAMING LOOKUP"), "NAMING REPLY RESULT=INVALID_KEY NAME=")
    fresh = Conn()
    fresh.hello()
    expect("naming ME without a session", fresh.ask("NAMING LOOKUP NAME=ME"),
           "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=ME")

    # --- Error lines --------------------------------------------------------------------
    cases = [
        ("SESSION CREATE STYLE=STREAM DESTINATION=TRANSIENT", "SESSION STATUS RESULT=I2P_ERROR MESSAGE=missing_id"),
        ("SESSION CREATE STYLE=STREAM ID=alpha DESTINATION=TRANSIENT", "SESSION STATUS RESULT=DUPLICATED_ID"),
        # The router's own services' ids, although neither service runs here.
        ("SESSION CREATE STYLE=STREAM ID=__http_proxy__ DESTINATION=TRANSIENT", "SESSION STATUS RESULT=DUPLICATED_ID"),
        ("SESSION CREATE STYLE=STREAM ID=__torrent__ DESTINATION=TRANSIENT", "SESSION STATUS RESULT=DUPLICATED_ID"),
        ("SESSION CREATE STYLE=STREAM ID=__torrent__ DESTINATION=" + priv, "SESSION STATUS RESULT=DUPLICATED_ID"),
        ("SESSION CREATE STYLE=DATAGRAM ID=dg DESTINATION=TRANSIENT",
         "SESSION STATUS RESULT=I2P_ERROR MESSAGE=unsupported_style"),
        ("SESSION CREATE STYLE=RAW ID=raw DESTINATION=TRANSIENT",
         "SESSION STATUS RESULT=I2P_ERROR MESSAGE=unsupported_style"),
        ("SESSION CREATE STYLE=STREAM ID=bad DESTINATION=not~base64!", "SESSION STATUS RESULT=INVALID_KEY"),
        ("SESSION CREATE STYLE=STREAM ID=short DESTINATION=" + i2p_b64encode(b"\0" * 100),
         "SESSION STATUS RESULT=INVALID_KEY"),
        ("STREAM ACCEPT ID=nosuch", "STREAM STATUS RESULT=INVALID_ID"),
        ("STREAM ACCEPT", "STREAM STATUS RESULT=INVALID_ID"),
        ("STREAM CONNECT ID=nosuch DESTINATION=" + pub, "STREAM STATUS RESULT=INVALID_ID"),
        ("STREAM CONNECT ID=alpha", "STREAM STATUS RESULT=INVALID_KEY"),
        ("FOO BAR", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("HELLO", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("HELLO THERE", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("hello version", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("DEST", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("STREAM FORWARD ID=alpha PORT=1234", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("DATAGRAM SEND ID=alpha", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=unsupported_command"),
        ("PING a b", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=parse_error"),
        ('PING K="open', "HELLO REPLY RESULT=I2P_ERROR MESSAGE=parse_error"),
        ("   ", "HELLO REPLY RESULT=I2P_ERROR MESSAGE=parse_error"),
    ]
    for command, reply in cases:
        expect("error " + command[:40], ctl2.ask(command), reply)
    # An empty line, a lone CR and bytes that are not UTF-8 get no reply: the PING behind
    # them is answered first.
    ctl2.send(b"\n\r\n\xff\xfe\nPING after\n")
    expect("no reply to empty or invalid lines", ctl2.line(), "PONG after")

    # A STREAM CONNECT that fails closes its connection. A name that does not resolve
    # cannot be reached; a value that is neither a Destination nor a name is malformed.
    other_words, other = parse_reply(ctl.ask("DEST GENERATE"))
    nobody_b32 = base64.b32encode(hashlib.sha256(b"nobody").digest()).decode().lower().rstrip("=") + ".b32.i2p"
    for name, command, reply in [
        ("connect bad destination", "STREAM CONNECT ID=alpha DESTINATION=AAAA", "STREAM STATUS RESULT=INVALID_KEY"),
        ("connect no acceptor", "STREAM CONNECT ID=alpha DESTINATION=" + pub, "STREAM STATUS RESULT=CANT_REACH_PEER"),
        ("connect unknown remote", "STREAM CONNECT ID=alpha DESTINATION=" + other["PUB"],
         "STREAM STATUS RESULT=CANT_REACH_PEER"),
        ("connect silent no acceptor", "STREAM CONNECT ID=alpha SILENT=True DESTINATION=" + pub, None),
        ("connect unpadded no acceptor", "STREAM CONNECT ID=alpha DESTINATION=" + unpadded(pub),
         "STREAM STATUS RESULT=CANT_REACH_PEER"),
        ("connect unknown name", "STREAM CONNECT ID=alpha DESTINATION=nosuch.i2p", "STREAM STATUS RESULT=CANT_REACH_PEER"),
        # No floodfill is known here: the b32's LeaseSet2 cannot be looked up.
        ("connect unknown b32", "STREAM CONNECT ID=alpha DESTINATION=" + nobody_b32,
         "STREAM STATUS RESULT=CANT_REACH_PEER"),
        ("connect hosts name without a lease set", "STREAM CONNECT ID=alpha DESTINATION=" + HOSTS_NAME,
         "STREAM STATUS RESULT=CANT_REACH_PEER"),
        ("connect silent unknown name", "STREAM CONNECT ID=alpha SILENT=true DESTINATION=nosuch.i2p", None),
        ("connect malformed name", "STREAM CONNECT ID=alpha DESTINATION=bad~name", "STREAM STATUS RESULT=INVALID_KEY"),
        ("connect malformed b32", "STREAM CONNECT ID=alpha DESTINATION=abc.b32.i2p",
         "STREAM STATUS RESULT=INVALID_KEY"),
        ("connect mangled destination", "STREAM CONNECT ID=alpha DESTINATION=" + unpadded(pub)[:-1],
         "STREAM STATUS RESULT=INVALID_KEY"),
    ]:
        c = Conn()
        c.hello()
        expect_refused(name, c, command, reply)

    # --- Base64 without its padding --------------------------------------------------------
    check("keys end in padding", pub.endswith("=") and priv.endswith("="), pub[-4:] + " " + priv[-4:])
    bare = Conn()
    bare.hello()
    expect("session from an unpadded key", bare.ask("SESSION CREATE STYLE=STREAM ID=gamma DESTINATION=" +
                                                    unpadded(other["PRIV"])),
           "SESSION STATUS RESULT=OK DESTINATION=" + unpadded(other["PRIV"]))
    expect("naming ME of an unpadded key", bare.ask("NAMING LOOKUP NAME=ME"),
           "NAMING REPLY RESULT=OK NAME=ME VALUE=" + other["PUB"])
    for name, value in [("padded", pub), ("unpadded", unpadded(pub))]:
        expect("naming a " + name + " destination", bare.ask("NAMING LOOKUP NAME=" + value),
               "NAMING REPLY RESULT=OK NAME=" + value + " VALUE=" + pub)
    expect("session from a mangled key", bare.ask("SESSION CREATE ID=delta DESTINATION=" + unpadded(priv)[:-2]),
           "SESSION STATUS RESULT=INVALID_KEY")

    # A Destination without its private key makes a session that can only be named.
    pubonly = Conn()
    pubonly.hello()
    expect("session from a public destination", pubonly.ask("SESSION CREATE ID=pubonly DESTINATION=" + other["PUB"]),
           "SESSION STATUS RESULT=OK DESTINATION=" + other["PUB"])
    expect("naming ME of a public destination", pubonly.ask("NAMING LOOKUP NAME=ME"),
           "NAMING REPLY RESULT=OK NAME=ME VALUE=" + other["PUB"])
    pubonly.close()

    # --- PING / PONG ----------------------------------------------------------------------
    expect("ping", ctl.ask("PING"), "PONG")
    expect("ping echoes", ctl.ask('PING abc K=v E="" S="a b" Q="x\\"y"'), 'PONG abc K=v E="" S="a b" Q="x\\"y"')
    # Two commands in one write are answered in order.
    ctl.send("PING one\nNAMING LOOKUP NAME=ME\n")
    expect("two commands first", ctl.line(), "PONG one")
    expect("two commands second", ctl.line(), "NAMING REPLY RESULT=OK NAME=ME VALUE=" + alpha_pub)

    # --- Local streams by name, by b32 address and by unpadded Destination --------------
    for name, value in [("b32", b32_of(pub)), ("b32 in capitals", b32_of(pub).upper()),
                        ("unpadded destination", unpadded(pub))]:
        a = Conn()
        a.hello()
        expect("accept for connect by " + name, a.ask("STREAM ACCEPT ID=beta"), "STREAM STATUS RESULT=OK")
        c = Conn()
        c.hello()
        expect("connect by " + name, c.ask("STREAM CONNECT ID=alpha DESTINATION=" + value), "STREAM STATUS RESULT=OK")
        expect("connect by " + name + " reaches beta", a.line(), alpha_pub)
        c.send("via " + name + "\n")
        expect("connect by " + name + " carries bytes", a.line(), "via " + name)
        c.close()
        a.close()

    # --- A local stream: STREAM ACCEPT on beta, STREAM CONNECT from alpha ---------------
    acc = Conn()
    acc.hello()
    expect("accept", acc.ask("STREAM ACCEPT ID=beta SILENT=false"), "STREAM STATUS RESULT=OK")
    con = Conn()
    con.hello()
    early = b"bytes written behind the command line\n"
    con.send(("STREAM CONNECT ID=alpha DESTINATION=" + pub + "\n").encode() + early)
    expect("connect", con.line(), "STREAM STATUS RESULT=OK")
    expect("acceptor learns the connecting destination", acc.line(), alpha_pub)

    size = 1 << 20
    up = bytes((i * 7 + 3) % 251 for i in range(size))
    down = bytes((i * 13 + 5) % 241 for i in range(size))
    received = {}

    def pump(conn, data, key):
        # Send everything, then half-close, while the other thread reads.
        def reader():
            got = bytearray(conn.buf)
            conn.buf = b""
            while True:
                chunk = conn.s.recv(1 << 16)
                if not chunk:
                    break
                got += chunk
            received[key] = bytes(got)
        t = threading.Thread(target=reader)
        t.start()
        conn.s.sendall(data)
        conn.s.shutdown(socket.SHUT_WR)
        return t

    t1 = pump(con, up, "con")
    t2 = pump(acc, down, "acc")
    t1.join(TIMEOUT_S * 2)
    t2.join(TIMEOUT_S * 2)
    got_up = received.get("acc", b"")
    got_down = received.get("con", b"")
    check("stream carries 1 MiB to the acceptor, early bytes first", got_up == early + up,
          "got %d bytes, want %d" % (len(got_up), len(early + up)))
    check("stream carries 1 MiB to the connector", got_down == down,
          "got %d bytes, want %d" % (len(got_down), len(down)))
    con.close()
    acc.close()

    ctl.close()
    ctl2.close()
    fresh.close()
    bare.close()
    print("done %d" % checks, flush=True)
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as e:  # a hang or a dropped connection is a failure too
        print("FAIL exception: %r" % (e,), flush=True)
        sys.exit(1)
