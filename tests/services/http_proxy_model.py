#!/usr/bin/env python3
"""An independent model of the HTTP proxy's request parser, written from its rules in
plain python string handling, to cross-check the C++ parser on many heads.

usage: http_proxy_model.py IN OUT
IN holds one request head per line in hex. OUT gets one line per head:
  E <status> <reason hex> <message hex>
  R <method hex> <host hex> <port> <path hex> <head hex> <helper hex or -> <location hex or ->
"""
import sys

WS = "\t\n\r "
BLANKS = " \t"
DROPPED = {"proxy-connection", "proxy-authorization", "proxy-authenticate", "connection", "keep-alive",
           "te", "upgrade", "x-forwarded-for", "forwarded", "via", "user-agent"}


class Refused(Exception):
    def __init__(self, status, reason, message):
        super().__init__(message)
        self.status, self.reason, self.message = status, reason, message


def bad(message):
    return Refused(400, "Bad Request", message)


def lower(s):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in s)


def upper(s):
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in s)


def is_control(c, tab_ok):
    if c == "\t" and tab_ok:
        return False
    o = ord(c)
    return o < 0x20 or 0x7F <= o <= 0x9F


def any_control(s, tab_ok):
    return any(is_control(c, tab_ok) for c in s)


def first_blank(s):
    positions = [p for p in (s.find(" "), s.find("\t")) if p >= 0]
    return min(positions) if positions else -1


def port_exact(s):
    if not s or any(c not in "0123456789" for c in s):
        return None
    v = int(s)
    return v if 1 <= v <= 65535 else None


def authority(s):
    s = s.strip(WS)
    if not s:
        return None
    if "@" in s:
        s = s.split("@", 1)[1]
        if not s:
            return None
    if "[" in s or "]" in s:
        return None
    if ":" not in s:
        return (s, 80)
    if s.startswith(":") or s.count(":") > 1:
        return None
    host, port = s.split(":", 1)
    port = port_exact(port)
    return None if port is None else (host, port)


def i2p_referer(v):
    v = lower(v.strip(WS))
    if not v.startswith("http://"):
        return False
    rest = v[7:]
    cut = len(rest)
    for ch in "/?#":
        p = rest.find(ch)
        if p >= 0:
            cut = min(cut, p)
    a = authority(rest[:cut])
    if a is None:
        return False
    host = a[0]
    if host.endswith("."):
        host = host[:-1]
    return len(host) > 4 and host.endswith(".i2p")


def percent_decode(v):
    raw = v.encode("utf-8", "surrogatepass")
    out = bytearray()
    i = 0
    while i < len(raw):
        if raw[i] == 0x25 and i + 2 < len(raw):
            pair = raw[i + 1:i + 3].decode("latin-1")
            if all(c in "0123456789abcdefABCDEF" for c in pair):
                out.append(int(pair, 16))
                i += 3
                continue
        out.append(raw[i])
        i += 1
    try:
        return bytes(out).decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return v


def hostport(host, port):
    return host if port == 80 else "%s:%d" % (host, port)


def address_helper(host, port, path):
    if "?" not in path:
        return None
    before, query = path.split("?", 1)
    helper = None
    kept = []
    for piece in query.split("&"):
        if piece == "":
            continue
        if piece.startswith("i2paddresshelper="):
            value = percent_decode(piece[len("i2paddresshelper="):])
            if value:
                helper = value
        else:
            kept.append(piece)
    if helper is None:
        return None
    location = "http://" + hostport(host, port) + before + ("?" + "&".join(kept) if kept else "")
    return location, helper


def parse(head):
    try:
        text = head.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        raise bad("Malformed UTF-8 in HTTP headers.")
    lines = [l[:-1] if l.endswith("\r") else l for l in text.split("\n")]
    request_line = lines[0].strip(WS)
    b = first_blank(request_line)
    if b < 0:
        raise bad("Malformed HTTP request line.")
    method = request_line[:b]
    if any_control(method, False):
        raise bad("Malformed HTTP request line.")
    method = upper(method)
    rest = request_line[b + 1:].strip(WS)
    b = first_blank(rest)
    if b < 0:
        raise bad("Malformed HTTP request target or version.")
    target = rest[:b]
    if any_control(target, False):
        raise bad("Malformed HTTP request target or version.")
    version = rest[b + 1:].strip(WS)
    if not upper(version).startswith("HTTP/1."):
        raise Refused(505, "HTTP Version Not Supported", "Unsupported HTTP version: " + version + ".")
    if method == "CONNECT":
        raise Refused(501, "Not Implemented",
                      "CONNECT tunneling is disabled on the ondrel-i2p HTTP proxy. Use plain http:// URLs for "
                      ".i2p eepsites (traffic is already end-to-end encrypted inside I2P).")
    headers = []
    host_value = None
    for line in lines[1:]:
        if line == "":
            continue
        c = line.find(":")
        if c < 1:
            raise bad("Malformed HTTP header line.")
        name, value = line[:c].strip(WS), line[c + 1:].strip(WS)
        if name == "" or any_control(name, True) or any_control(value, True):
            raise bad("Malformed HTTP header line.")
        if lower(name) == "host" and host_value is None:
            host_value = value
        headers.append((name, value))
    target = target.split("#", 1)[0]
    lt = lower(target)
    if lt.startswith("http://"):
        rest = target[7:]
        cut = len(rest)
        for ch in "/?":
            p = rest.find(ch)
            if p >= 0:
                cut = min(cut, p)
        a = authority(rest[:cut])
        path = rest[cut:]
        if a is None:
            raise bad("Invalid target host or port in URL.")
        if path == "":
            path = "/"
        elif path.startswith("?"):
            path = "/" + path
        absolute = True
    elif lt.startswith("https://"):
        raise Refused(501, "Not Implemented",
                      "Use http:// instead of https:// for .i2p eepsites (I2P encrypts traffic end-to-end inside "
                      "tunnels and Garlic).")
    elif not target.startswith("/"):
        raise bad("Unsupported request target URI.")
    else:
        if host_value is None:
            raise bad("Missing Host header in origin-form HTTP request.")
        a = authority(host_value)
        if a is None:
            raise bad("Invalid Host header value.")
        path = target
        absolute = False
    host = lower(a[0]).rstrip(".")
    port = a[1]
    if host == "" or any(ord(c) <= 32 or c in "#/?@" for c in host):
        raise bad("Invalid target hostname.")
    if not host.endswith(".i2p") or host == ".i2p":
        raise Refused(403, "Forbidden",
                      "Clearnet host '" + host + "' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations.")
    link = address_helper(host, port, path)
    out = method + " " + path + " HTTP/1.1\r\n"
    host_done = False
    for name, value in headers:
        ln = lower(name)
        if ln in DROPPED or (ln == "referer" and not i2p_referer(value)):
            continue
        if ln == "host":
            if host_done:
                continue
            host_done = True
            if absolute:
                name, value = "Host", hostport(host, port)
        out += name + ": " + value + "\r\n"
    if not host_done:
        out += "Host: " + hostport(host, port) + "\r\n"
    out += "User-Agent: ZEZI/6.66 (AN/ON)\r\nConnection: close\r\n\r\n"
    return method, host, port, path, out, link


def hx(s):
    return s.encode("utf-8", "surrogatepass").hex() if s else ""


def main():
    with open(sys.argv[1]) as f, open(sys.argv[2], "w") as out:
        for line in f:
            line = line.strip()
            head = bytes.fromhex(line)
            try:
                method, host, port, path, text, link = parse(head)
            except Refused as r:
                out.write("E %d %s %s\n" % (r.status, hx(r.reason), hx(r.message)))
                continue
            helper = hx(link[1]) if link else "-"
            location = hx(link[0]) if link else "-"
            out.write("R %s %s %d %s %s %s %s\n" % (hx(method), hx(host), port, hx(path), hx(text), helper or "-",
                                                      location or "-"))


main()
