#!/usr/bin/env python3
"""Known-answer values for the NTCP2 handshake and data phase.

An independent model of the NTCP2 handshake written with python3's 'cryptography'
package (X25519, AES-256-CBC, ChaCha20-Poly1305, SHA-256, HMAC) and a plain SipHash-2-4.
Before it prints anything it checks its Noise symmetric state against the Noise_N and
Noise_XK records of tests/data/noise-vectors.txt and its SipHash against the
reference vectors, so the printed values rest on outside references, not on our C++.

Run from the repository root:
    python3 tests/ntcp2/ntcp2_kat.py > tests/ntcp2/kat_vectors.inc
"""
import hashlib
import hmac
import os
import struct
import sys

from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives import serialization

RAW = serialization.Encoding.Raw


def pub(priv: bytes) -> bytes:
    return X25519PrivateKey.from_private_bytes(priv).public_key().public_bytes(RAW, serialization.PublicFormat.Raw)


def dh(priv: bytes, pub_bytes: bytes) -> bytes:
    return X25519PrivateKey.from_private_bytes(priv).exchange(X25519PublicKey.from_public_bytes(pub_bytes))


def H(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()


def HMAC(key: bytes, data: bytes) -> bytes:
    return hmac.new(key, data, hashlib.sha256).digest()


def hkdf2(ck: bytes, ikm: bytes):
    temp = HMAC(ck, ikm)
    out1 = HMAC(temp, b"\x01")
    out2 = HMAC(temp, out1 + b"\x02")
    return out1, out2


def nonce(n: int) -> bytes:
    return b"\x00" * 4 + struct.pack("<Q", n)


class Symmetric:
    def __init__(self, name: bytes):
        self.h = name.ljust(32, b"\x00") if len(name) <= 32 else H(name)
        self.ck = self.h
        self.k = None
        self.n = 0

    def mix_hash(self, data: bytes):
        self.h = H(self.h + data)

    def mix_key(self, ikm: bytes):
        self.ck, self.k = hkdf2(self.ck, ikm)
        self.n = 0

    def enc(self, pt: bytes) -> bytes:
        if self.k is None:
            ct = pt
        else:
            ct = ChaCha20Poly1305(self.k).encrypt(nonce(self.n), pt, self.h)
            self.n += 1
        self.mix_hash(ct)
        return ct

    def dec(self, ct: bytes) -> bytes:
        if self.k is None:
            pt = ct
        else:
            pt = ChaCha20Poly1305(self.k).decrypt(nonce(self.n), ct, self.h)
            self.n += 1
        self.mix_hash(ct)
        return pt


def aes_cbc_enc(key, iv, data):
    e = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return e.update(data) + e.finalize()


def aes_cbc_dec(key, iv, data):
    d = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    return d.update(data) + d.finalize()


# ---- SipHash-2-4 (Aumasson and Bernstein), 64-bit output ----
M64 = (1 << 64) - 1


def rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & M64


def siphash24(key: bytes, msg: bytes) -> int:
    k0, k1 = struct.unpack("<QQ", key)
    v0 = k0 ^ 0x736F6D6570736575
    v1 = k1 ^ 0x646F72616E646F6D
    v2 = k0 ^ 0x6C7967656E657261
    v3 = k1 ^ 0x7465646279746573

    def rnd():
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & M64; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32)
        v2 = (v2 + v3) & M64; v3 = rotl(v3, 16); v3 ^= v2
        v0 = (v0 + v3) & M64; v3 = rotl(v3, 21); v3 ^= v0
        v2 = (v2 + v1) & M64; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32)

    full = len(msg) // 8 * 8
    for i in range(0, full, 8):
        m = struct.unpack("<Q", msg[i:i + 8])[0]
        v3 ^= m; rnd(); rnd(); v0 ^= m
    tail = msg[full:] + b"\x00" * (7 - (len(msg) - full))
    m = struct.unpack("<Q", tail + bytes([len(msg) & 0xFF]))[0]
    v3 ^= m; rnd(); rnd(); v0 ^= m
    v2 ^= 0xFF
    for _ in range(4):
        rnd()
    return v0 ^ v1 ^ v2 ^ v3


class LengthMask:
    def __init__(self, key: bytes, iv: bytes):
        self.key, self.iv = key, iv

    def xor_length(self, length: int) -> int:
        self.iv = struct.pack("<Q", siphash24(self.key, self.iv))
        return length ^ (self.iv[0] | self.iv[1] << 8)


# ---- self checks against outside references ----
def check_siphash():
    key = bytes(range(16))
    assert siphash24(key, b"") == 0x726FDB47DD0E0E31
    assert siphash24(key, bytes(range(15))) == 0xA129CA6149BE45E5  # the paper's example
    assert siphash24(key, bytes(range(8))) == 0x93F5F5799A932462


def load_noise_vectors(path):
    records, cur = [], {}
    for line in open(path):
        line = line.strip()
        if line.startswith("#"):
            continue
        if not line:
            if cur:
                records.append(cur)
            cur = {}
            continue
        k, _, v = line.partition("=")
        cur[k] = v
    if cur:
        records.append(cur)
    return records


def check_noise(path):
    seen = set()
    for r in load_noise_vectors(path):
        name = r["handshake"]
        rs_priv = bytes.fromhex(r["resp_static"])
        e_priv = bytes.fromhex(r["gen_init_ephemeral"])
        if name == "Noise_N_25519_ChaChaPoly_SHA256":
            s = Symmetric(name.encode())
            s.mix_hash(b"")
            s.mix_hash(pub(rs_priv))
            e = pub(e_priv)
            s.mix_hash(e)
            s.mix_key(dh(e_priv, pub(rs_priv)))
            msg0 = e + s.enc(bytes.fromhex(r["msg_0_payload"]))
            assert msg0.hex() == r["msg_0_ciphertext"], name
            seen.add(name)
        elif name == "Noise_XK_25519_ChaChaPoly_SHA256":
            is_priv = bytes.fromhex(r["init_static"])
            re_priv = bytes.fromhex(r["gen_resp_ephemeral"])
            s = Symmetric(name.encode())
            s.mix_hash(b"")
            s.mix_hash(pub(rs_priv))
            # -> e, es
            e = pub(e_priv)
            s.mix_hash(e)
            s.mix_key(dh(e_priv, pub(rs_priv)))
            msg0 = e + s.enc(bytes.fromhex(r["msg_0_payload"]))
            assert msg0.hex() == r["msg_0_ciphertext"], name
            # <- e, ee
            re = pub(re_priv)
            s.mix_hash(re)
            s.mix_key(dh(e_priv, re))
            msg1 = re + s.enc(bytes.fromhex(r["msg_1_payload"]))
            assert msg1.hex() == r["msg_1_ciphertext"], name
            # -> s, se
            part1 = s.enc(pub(is_priv))
            s.mix_key(dh(is_priv, re))
            msg2 = part1 + s.enc(bytes.fromhex(r["msg_2_payload"]))
            assert msg2.hex() == r["msg_2_ciphertext"], name
            seen.add(name)
    assert seen == {"Noise_N_25519_ChaChaPoly_SHA256", "Noise_XK_25519_ChaChaPoly_SHA256"}, seen


# ---- NTCP2 ----
PROTOCOL = b"Noise_XKaesobfse+hs2+hs3_25519_ChaChaPoly_SHA256"


def block(t: int, body: bytes) -> bytes:
    return bytes([t]) + struct.pack(">H", len(body)) + body


def fixed(start: int, n: int) -> bytes:
    return bytes((start + i) & 0xFF for i in range(n))


def handshake(init_static, resp_static, init_eph, resp_eph, resp_hash, resp_iv, pad1, pad2, ts1, ts2,
              m3_payload):
    """The three messages and the final (ck, h). Empty padding is not mixed into h."""
    s = Symmetric(PROTOCOL)
    s.mix_hash(b"")
    s.mix_hash(pub(resp_static))

    # message 1
    X = pub(init_eph)
    s.mix_hash(X)
    s.mix_key(dh(init_eph, pub(resp_static)))
    m3p2_len = len(m3_payload) + 16
    opts1 = struct.pack(">BBHHHII", 2, 2, len(pad1), m3p2_len, 0, ts1, 0)
    ct1 = s.enc(opts1)
    if pad1:
        s.mix_hash(pad1)
    xenc = aes_cbc_enc(resp_hash, resp_iv, X)
    msg1 = xenc + ct1 + pad1
    assert aes_cbc_dec(resp_hash, resp_iv, xenc) == X

    # message 2
    Y = pub(resp_eph)
    s.mix_hash(Y)
    s.mix_key(dh(resp_eph, X))
    opts2 = struct.pack(">HHIII", 0, len(pad2), 0, ts2, 0)
    ct2 = s.enc(opts2)
    if pad2:
        s.mix_hash(pad2)
    yenc = aes_cbc_enc(resp_hash, xenc[16:32], Y)
    msg2 = yenc + ct2 + pad2

    # message 3
    part1 = s.enc(pub(init_static))
    s.mix_key(dh(init_static, Y))
    part2 = s.enc(m3_payload)
    msg3 = part1 + part2
    assert len(part2) == m3p2_len

    return msg1, msg2, msg3, s.ck, s.h, m3p2_len


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    check_siphash()
    check_noise(os.path.join(root, "tests", "data", "noise-vectors.txt"))

    init_static = fixed(0x10, 32)
    resp_static = fixed(0x30, 32)
    init_eph = fixed(0x50, 32)
    resp_eph = fixed(0x70, 32)
    resp_hash = H(b"responder router identity")
    resp_iv = fixed(0xA0, 16)
    pad1 = fixed(0xC0, 16)
    pad2 = fixed(0xE0, 16)
    ts1, ts2 = 1700000000, 1700000001
    m3_payload = block(2, b"\x00" + b"stand-in RouterInfo bytes") + block(254, fixed(0x90, 16))

    msg1, msg2, msg3, ck, h, m3p2_len = handshake(init_static, resp_static, init_eph, resp_eph, resp_hash,
                                                   resp_iv, pad1, pad2, ts1, ts2, m3_payload)
    # the same keys with no padding in messages 1 and 2
    np_msg1, np_msg2, np_msg3, np_ck, np_h, _ = handshake(init_static, resp_static, init_eph, resp_eph,
                                                          resp_hash, resp_iv, b"", b"", ts1, ts2, m3_payload)

    # data phase
    k_ab, k_ba = hkdf2(ck, b"")
    temp = HMAC(ck, b"")
    ask_master = HMAC(temp, b"ask" + b"\x01")
    temp = HMAC(ask_master, h + b"siphash")
    sip_master = HMAC(temp, b"\x01")
    temp = HMAC(sip_master, b"")
    sipkeys_ab = HMAC(temp, b"\x01")
    sipkeys_ba = HMAC(temp, sipkeys_ab + b"\x02")

    mask_ab = LengthMask(sipkeys_ab[:16], sipkeys_ab[16:24])
    mask_ba = LengthMask(sipkeys_ba[:16], sipkeys_ba[16:24])
    masks_ab = [mask_ab.xor_length(0) for _ in range(3)]
    masks_ba = [mask_ba.xor_length(0) for _ in range(3)]

    # first data frames: fresh masks, nonce 0 in each direction
    mask_ab = LengthMask(sipkeys_ab[:16], sipkeys_ab[16:24])
    mask_ba = LengthMask(sipkeys_ba[:16], sipkeys_ba[16:24])
    payload_ab = block(0, struct.pack(">I", ts1)) + block(254, b"\x00\x01\x02")
    ct_ab = ChaCha20Poly1305(k_ab).encrypt(nonce(0), payload_ab, b"")
    frame_ab = struct.pack(">H", mask_ab.xor_length(len(ct_ab))) + ct_ab
    payload_ba = block(3, fixed(0x01, 20)) + block(4, struct.pack(">Q", 7) + b"\x02")
    ct_ba = ChaCha20Poly1305(k_ba).encrypt(nonce(0), payload_ba, b"")
    frame_ba = struct.pack(">H", mask_ba.xor_length(len(ct_ba))) + ct_ba

    def arr(name, b):
        return "const char* const %s =\n    \"%s\";" % (name, b.hex())

    out = ["// Produced by tests/ntcp2/ntcp2_kat.py (python3 'cryptography' + its own SipHash-2-4,",
           "// self-checked against tests/data/noise-vectors.txt). Do not edit by hand.",
           "// Inputs: init_static = 10..2f, resp_static = 30..4f, init_ephemeral = 50..6f,",
           "// resp_ephemeral = 70..8f, responder hash = SHA-256(\"responder router identity\"),",
           "// responder IV = a0..af, message 1 padding = c0..cf, message 2 padding = e0..ef,",
           "// timestamps %d and %d (now = seconds * 1000 + 123 ms), message 3 blocks" % (ts1, ts2),
           "// = RouterInfo(flag 0, \"stand-in RouterInfo bytes\") + Padding(90..9f).",
           "// Frames: initiator sends DateTime(%d) + Padding(00 01 02); responder sends" % ts1,
           "// I2np(01..14) + Termination(7, reason 2)."]
    out.append(arr("kResponderHash", resp_hash))
    out.append(arr("kMsg1", msg1))
    out.append(arr("kMsg2", msg2))
    out.append(arr("kMsg3", msg3))
    out.append(arr("kFinalH", h))
    out.append(arr("kFinalCk", ck))
    out.append(arr("kKeyAB", k_ab))
    out.append(arr("kKeyBA", k_ba))
    out.append(arr("kSipKeysAB", sipkeys_ab))
    out.append(arr("kSipKeysBA", sipkeys_ba))
    out.append("const std::uint16_t kMasksAB[3] = {%s};" % ", ".join(str(m) for m in masks_ab))
    out.append("const std::uint16_t kMasksBA[3] = {%s};" % ", ".join(str(m) for m in masks_ba))
    out.append(arr("kFrameAB", frame_ab))
    out.append(arr("kFrameBA", frame_ba))
    out.append("const std::uint32_t kM3p2Len = %d;" % m3p2_len)
    out.append("// The same handshake with no padding in messages 1 and 2.")
    out.append(arr("kMsg1NoPad", np_msg1))
    out.append(arr("kMsg2NoPad", np_msg2))
    out.append(arr("kMsg3NoPad", np_msg3))
    out.append(arr("kFinalHNoPad", np_h))
    out.append(arr("kFinalCkNoPad", np_ck))
    print("\n".join(out))


if __name__ == "__main__":
    sys.exit(main())
