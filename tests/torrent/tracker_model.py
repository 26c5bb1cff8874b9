# An HTTP tracker for I2P, independent of the client's code: it reads one announce
# request (the raw bytes a client wrote on its stream) from the file named by argv[1] and
# writes the whole HTTP reply to standard output. The swarm lives in the JSON file named
# by argv[3], kept as trackers keep it. Under each info hash: "peers", the announcers (the
# SHA-256 of the Destination an announce's "ip" parameter carries) the tracker counts now;
# "downloads", the number of "completed" events; "events", every announce as [announcer,
# event] in order, the event "" when the announce carried none. An announce adds its
# announcer to the peers, "stopped" takes it out, and the reply lists the other peers (none
# after "stopped").
#
#   argv[2]  mode: "ok"      200 with the compact peer list (32-byte destination hashes)
#                            and "interval" 1800
#                  "short"   like ok, "interval" 10
#                  "nointerval" like ok, no "interval"
#                  "failure" 200 with "failure reason" "torrent not registered"
#                  "404"     404 Not Found with an HTML body
#                  "503"     503 with a bencoded failure body (an error page must not
#                            count as a reply even when it looks like one)
#                  "chunked" like ok, sent with chunked transfer coding
#
# It checks the request itself and answers 400 when it is not what a client must send:
# GET, HTTP/1.1, a Host header, info_hash of 20 bytes, peer_id of 20 bytes, port, compact=1,
# numwant, an event that is absent, "started", "completed" or "stopped", ip ending in ".i2p".
import base64
import hashlib
import json
import os
import sys
import urllib.parse


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, str):
        v = v.encode()
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, list):
        return b"l" + b"".join(bencode(x) for x in v) + b"e"
    if isinstance(v, dict):
        out = b"d"
        for k in sorted(v):
            out += bencode(k) + bencode(v[k])
        return out + b"e"
    raise TypeError(v)


def reply(status, body, headers=()):
    head = "HTTP/1.1 %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n" % (status, len(body))
    for h in headers:
        head += h + "\r\n"
    sys.stdout.buffer.write(head.encode() + b"\r\n" + body)


def bad(why):
    reply("400 Bad Request", why.encode())
    sys.exit(0)


raw = open(sys.argv[1], "rb").read()
mode = sys.argv[2]
state_file = sys.argv[3]

head, sep, _ = raw.partition(b"\r\n\r\n")
if not sep:
    bad("no end of head")
lines = head.decode("ascii").split("\r\n")
method, target, version = lines[0].split(" ")
if method != "GET" or version != "HTTP/1.1":
    bad("request line")
headers = {}
for line in lines[1:]:
    k, _, v = line.partition(":")
    headers[k.strip().lower()] = v.strip()
if "host" not in headers or headers.get("connection") != "close":
    bad("headers")
path, _, query = target.partition("?")
q = urllib.parse.parse_qs(query, keep_blank_values=True, encoding="latin-1")
ih = urllib.parse.unquote_to_bytes(query.split("info_hash=")[1].split("&")[0])
pid = urllib.parse.unquote_to_bytes(query.split("peer_id=")[1].split("&")[0])
if len(ih) != 20 or len(pid) != 20:
    bad("info_hash or peer_id")
if q.get("compact") != ["1"] or q.get("port") != ["6881"] or q.get("numwant") != ["50"]:
    bad("compact, port or numwant")
event = q.get("event", [""])[0]
if event not in ("", "started", "completed", "stopped") or query.count("event=") > 1:
    bad("event")
for k in ("uploaded", "downloaded", "left"):
    if not q.get(k, [""])[0].isdigit():
        bad(k)
if not q.get("ip", [""])[0].endswith(".i2p"):
    bad("ip")

ip = q["ip"][0][:-len(".i2p")]
announcer = hashlib.sha256(base64.b64decode(ip.replace("-", "+").replace("~", "/"), validate=True)).hexdigest()
swarm = json.load(open(state_file)) if os.path.exists(state_file) else {}
entry = swarm.setdefault(ih.hex(), {"peers": [], "downloads": 0, "events": []})
known = entry["peers"]
entry["events"].append([announcer, event])
if event == "stopped":
    if announcer in known:
        known.remove(announcer)
elif announcer not in known:
    known.append(announcer)
if event == "completed":
    entry["downloads"] += 1
json.dump(swarm, open(state_file, "w"))
others = [] if event == "stopped" else [h for h in known if h != announcer]
compact = b"".join(bytes.fromhex(h) for h in others)
if mode in ("ok", "chunked"):
    body = bencode({"interval": 1800, "complete": 1, "incomplete": 2, "peers": compact})
elif mode == "short":
    body = bencode({"interval": 10, "complete": 1, "incomplete": 0, "peers": compact})
elif mode == "nointerval":
    body = bencode({"complete": 0, "incomplete": 0, "peers": compact})
elif mode == "failure":
    body = bencode({"failure reason": "torrent not registered"})
elif mode == "404":
    reply("404 Not Found", b"<html><body>no tracker here</body></html>")
    sys.exit(0)
elif mode == "503":
    reply("503 Service Unavailable", bencode({"interval": 1800, "peers": compact}))
    sys.exit(0)
else:
    bad("mode")

if mode == "chunked":
    chunks = b""
    for i in range(0, len(body), 7):
        part = body[i:i + 7]
        chunks += b"%x\r\n%s\r\n" % (len(part), part)
    chunks += b"0\r\n\r\n"
    sys.stdout.buffer.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks)
else:
    reply("200 OK", body)
