"""Shared pieces of the independent garlic models: the Noise symmetric state over python3's
'cryptography' package (X25519, ChaCha20-Poly1305, HKDF) and hashlib (SHA-256), the
garlic block and clove encodings written from the protocol description, and the self-check
against the Noise_N record of tests/data/noise-vectors.txt that every model runs first.
"""
import hashlib
import os
import struct

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TESTDATA = os.path.join(ROOT, "tests", "data")


def pub(priv: bytes) -> bytes:
    return X25519PrivateKey.from_private_bytes(priv).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def dh(priv: bytes, pub_bytes: bytes) -> bytes:
    return X25519PrivateKey.from_private_bytes(priv).exchange(X25519PublicKey.from_public_bytes(pub_bytes))


def H(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()


def hkdf(salt: bytes, ikm: bytes, info: bytes, length: int) -> bytes:
    """HKDF-SHA256 of 'cryptography'; an empty salt stands for 32 zero bytes."""
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt if salt else b"\x00" * 32,
                info=info).derive(ikm)


def nonce(n: int) -> bytes:
    return b"\x00" * 4 + struct.pack("<Q", n)


def aead_enc(key, n, ad, pt):
    return ChaCha20Poly1305(key).encrypt(nonce(n), pt, ad)


def aead_dec(key, n, ad, ct):
    return ChaCha20Poly1305(key).decrypt(nonce(n), ct, ad)


class Symmetric:
    def __init__(self, name: bytes):
        self.h = name.ljust(32, b"\x00") if len(name) <= 32 else H(name)
        self.ck = self.h
        self.k = None
        self.n = 0

    @staticmethod
    def from_parts(ck, h):
        s = Symmetric(b"")
        s.ck, s.h = ck, h
        return s

    def mix_hash(self, data: bytes):
        self.h = H(self.h + data)

    def mix_key(self, ikm: bytes):
        okm = hkdf(self.ck, ikm, b"", 64)
        self.ck, self.k = okm[:32], okm[32:]
        self.n = 0

    def enc(self, pt: bytes) -> bytes:
        ct = pt if self.k is None else aead_enc(self.k, self.n, self.h, pt)
        if self.k is not None:
            self.n += 1
        self.mix_hash(ct)
        return ct

    def dec(self, ct: bytes) -> bytes:
        pt = ct if self.k is None else aead_dec(self.k, self.n, self.h, ct)
        if self.k is not None:
            self.n += 1
        self.mix_hash(ct)
        return pt


def load_records(path):
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


NOISE_N = b"Noise_N_25519_ChaChaPoly_SHA256"


def router_garlic(resp_static_pub: bytes, eph_priv: bytes, payload: bytes) -> bytes:
    s = Symmetric(NOISE_N)
    s.mix_hash(b"")
    s.mix_hash(resp_static_pub)
    e = pub(eph_priv)
    s.mix_hash(e)
    s.mix_key(dh(eph_priv, resp_static_pub))
    return e + s.enc(payload)


def check_noise_n():
    """Our Noise N (the router garlic) reproduces the independent transcript."""
    for r in load_records(os.path.join(TESTDATA, "noise-vectors.txt")):
        if r["handshake"] == NOISE_N.decode():
            msg = router_garlic(pub(bytes.fromhex(r["resp_static"])), bytes.fromhex(r["gen_init_ephemeral"]),
                                bytes.fromhex(r["msg_0_payload"]))
            assert msg.hex() == r["msg_0_ciphertext"], "Noise_N record"
            return
    raise AssertionError("no Noise_N record")


# ---- blocks and cloves ----
def block(t: int, body: bytes) -> bytes:
    return bytes([t]) + struct.pack(">H", len(body)) + body


def datetime_block(seconds: int) -> bytes:
    return block(0, struct.pack(">I", seconds))


def clove(flag: int, fields: bytes, message: bytes) -> bytes:
    return block(11, bytes([flag]) + fields + message)


def short_message(msg_type: int, msg_id: int, expiration_s: int, body: bytes) -> bytes:
    return struct.pack(">BII", msg_type, msg_id, expiration_s) + body


def fixed(start: int, n: int) -> bytes:
    return bytes((start + i) & 0xFF for i in range(n))


def arr(name, b):
    return "const char* const %s =\n    \"%s\";" % (name, b.hex())


# ---- Elligator2 (RFC 9380, map_to_curve_elligator2 for curve25519, Z = 2) ----
P = 2 ** 255 - 19
A = 486662
SQRT_M1 = pow(2, (P - 1) // 4, P)


def inv0(x):
    return pow(x, P - 2, P)


def is_square(x):
    return x % P == 0 or pow(x, (P - 1) // 2, P) == 1


def sqrt(x):
    """A square root of x mod p, or None."""
    x %= P
    r = pow(x, (P + 3) // 8, P)
    if r * r % P != x:
        r = r * SQRT_M1 % P
    return r if r * r % P == x else None


def elligator2_decode(rep: bytes) -> bytes:
    """The u-coordinate a representative maps to; its top two bits carry nothing."""
    r = int.from_bytes(rep, "little") & ((1 << 254) - 1)
    tv1 = 2 * r * r % P
    if tv1 == P - 1:
        tv1 = 0
    x1 = (-A) * inv0(tv1 + 1) % P
    gx1 = (x1 * x1 * x1 + A * x1 * x1 + x1) % P
    x2 = (-x1 - A) % P
    return (x1 if is_square(gx1) else x2).to_bytes(32, "little")


def check_elligator2():
    n = 0
    for line in open(os.path.join(TESTDATA, "elligator2-vectors.txt")):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        rep, u = line.split()
        assert elligator2_decode(bytes.fromhex(rep)).hex() == u, rep
        n += 1
    assert n >= 5, n


def elligator_keypair(draw):
    """Ephemeral key pair with a representative: two draws per attempt (the private key;
    then byte 0 for the top two bits and byte 1 bit 0 for which representative), at most
    128 attempts. Returns (private, public, representative, draws used)."""
    used = 0
    for _ in range(128):
        priv = draw()
        extra = draw()
        used += 2
        public = pub(priv)
        top, second = extra[0] & 0xC0, extra[1] & 1
        u = int.from_bytes(public, "little") % P
        if u == 0:
            if second:
                continue
            r = 0
        else:
            if (u + A) % P == 0:
                continue
            num, den = (u, u + A) if second else (u + A, u)
            r2 = (-num) * inv0(2 * den) % P
            r = sqrt(r2)
            if r is None:
                continue
        if r > (P - 1) // 2:
            r = P - r
        rep = bytearray(r.to_bytes(32, "little"))
        rep[31] |= top
        assert elligator2_decode(bytes(rep)) == public
        return priv, public, bytes(rep), used
    raise AssertionError("no encodable key in 128 attempts")


def check_noise_xk():
    """The three XK messages: two DH mixes, a static key sealed, then a payload."""
    for r in load_records(os.path.join(TESTDATA, "noise-vectors.txt")):
        if r["handshake"] != "Noise_XK_25519_ChaChaPoly_SHA256":
            continue
        rs, e, re, is_ = (bytes.fromhex(r[k]) for k in
                          ("resp_static", "gen_init_ephemeral", "gen_resp_ephemeral", "init_static"))
        s = Symmetric(b"Noise_XK_25519_ChaChaPoly_SHA256")
        s.mix_hash(b"")
        s.mix_hash(pub(rs))
        s.mix_hash(pub(e))
        s.mix_key(dh(e, pub(rs)))
        assert (pub(e) + s.enc(b"")).hex() == r["msg_0_ciphertext"]
        s.mix_hash(pub(re))
        s.mix_key(dh(e, pub(re)))
        assert (pub(re) + s.enc(b"")).hex() == r["msg_1_ciphertext"]
        part1 = s.enc(pub(is_))
        s.mix_key(dh(is_, pub(re)))
        assert (part1 + s.enc(b"")).hex() == r["msg_2_ciphertext"]
        return
    raise AssertionError("no Noise_XK record")
