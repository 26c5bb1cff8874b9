#!/usr/bin/env python3
"""Known-answer values for short tunnel build records.

An independent model of a two-hop short tunnel build, written with python3's
'cryptography' package (X25519, ChaCha20, ChaCha20-Poly1305), hashlib and HMAC: every byte
of the request records as the creator sends them, each hop's opening of its record, the
records after each hop wrote its reply, and the creator's reading of the replies.

It reuses the Noise symmetric state of tests/ntcp2/ntcp2_kat.py and the hop-key chain of
tests/tunnel/tunnel_kat.py and, before it prints anything, checks them and its plain
ChaCha20 against outside references: the Noise_N record of tests/data/noise-vectors.txt,
FIPS 197 / SP 800-38A / FIPS 180 / RFC 5869 (tunnel_kat's self check), and the RFC 8439
section 2.4.2 ChaCha20 vector, whose block counter starts at 1 as the build layers' does.

Run from the repository root with Debian's python3:
    /usr/bin/python3 tests/tunnel/build_kat.py > tests/tunnel/build_kat_vectors.inc
"""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "ntcp2"))

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms  # noqa: E402
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305  # noqa: E402

from ntcp2_kat import Symmetric, check_noise, dh, pub  # noqa: E402
from tunnel_kat import emit, hop_keys, pattern, self_check, slot_nonce  # noqa: E402

PROTOCOL = b"Noise_N_25519_ChaChaPoly_SHA256"
RECORD = 218
SLOTS = 4


def sha256(data):
    return hashlib.sha256(data).digest()


def chacha20(key, nonce12, data):
    # The package's ChaCha20 takes the 32-bit block counter (little-endian) in front of the
    # 96-bit nonce; the build layers start at block 1.
    c = Cipher(algorithms.ChaCha20(key, struct.pack("<I", 1) + nonce12), mode=None).encryptor()
    return c.update(data) + c.finalize()


def check_chacha20():
    key = bytes(range(32))
    nonce = bytes.fromhex("000000000000004a00000000")
    text = (b"Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
            b"future, sunscreen would be it.")
    assert chacha20(key, nonce, text)[:16].hex() == "6e2e359a2568f98041ba0728dd0d6981"


def request_fields(r):
    out = struct.pack(">II", r["receive"], r["next_tunnel"]) + r["next_ident"]
    out += bytes([r["flags"]]) + b"\x00\x00" + bytes([0])
    out += struct.pack(">III", r["time_min"], r["expiration"], r["next_msg_id"])
    return out + b"\x00\x00"  # an empty Mapping


def cleartext(r, padding):
    fields = request_fields(r)
    return (fields + padding).ljust(154, b"\x00")


def noise_state(static_pub, eph_pub, dh_out):
    s = Symmetric(PROTOCOL)
    s.mix_hash(b"")
    s.mix_hash(static_pub)
    s.mix_hash(eph_pub)
    s.mix_key(dh_out)
    return s


def build(hops, slots):
    """The creator's records and each hop's keys (slot order of hops = travel order)."""
    keys = []
    for h in hops:
        s = noise_state(pub(h["static"]), pub(h["eph"]), dh(h["eph"], pub(h["static"])))
        sealed = s.enc(cleartext(h["request"], h["padding"]))
        slots[h["slot"]] = h["hash"][:16] + pub(h["eph"]) + sealed
        keys.append((h["slot"], hop_keys(s.ck, s.h, h["request"]["flags"] & 0x40 != 0)))
    for y in range(1, len(hops)):
        for earlier in range(y):
            slot = keys[y][0]
            slots[slot] = chacha20(keys[earlier][1]["reply_key"], slot_nonce(slot), slots[slot])
    return keys


def hop_handles(static_priv, own_hash, slots, random8, code=0):
    """One hop: finds and opens its record, writes its reply, layers the others."""
    own = next(i for i, rec in enumerate(slots) if rec[:16] == own_hash[:16])
    rec = slots[own]
    eph = rec[16:48]
    s = noise_state(pub(static_priv), eph, dh(static_priv, eph))
    clear = s.dec(rec[48:])
    flags = clear[40]
    keys = hop_keys(s.ck, s.h, flags & 0x40 != 0)
    reply = b"\x00\x00" + random8 + bytes(191) + bytes([code])
    out = []
    for j, rec in enumerate(slots):
        if j == own:
            out.append(ChaCha20Poly1305(keys["reply_key"]).encrypt(slot_nonce(j), reply, keys["reply_ad"]))
        else:
            out.append(chacha20(keys["reply_key"], slot_nonce(j), rec))
    return out, clear, keys


def creator_opens(slots, keys):
    codes = []
    for k, (slot, hk) in enumerate(keys):
        rec = slots[slot]
        for later in range(k + 1, len(keys)):
            rec = chacha20(keys[later][1]["reply_key"], slot_nonce(slot), rec)
        codes.append(ChaCha20Poly1305(hk["reply_key"]).decrypt(slot_nonce(slot), rec, hk["reply_ad"])[201])
    return codes


def main():
    self_check()
    check_noise(os.path.join(ROOT, "tests", "data", "noise-vectors.txt"))
    check_chacha20()

    gateway = sha256(b"reply gateway")
    hop_a = {
        "static": pattern(32, 0x11), "eph": pattern(32, 0x33), "hash": sha256(b"hop A"), "slot": 2,
        "padding": pattern(8, 0x77),
    }
    hop_b = {
        "static": pattern(32, 0x22), "eph": pattern(32, 0x44), "hash": sha256(b"hop B"), "slot": 0,
        "padding": pattern(8, 0x88),
    }
    hop_a["request"] = {"receive": 0x01020304, "next_tunnel": 0x0A0B0C0D, "next_ident": hop_b["hash"], "flags": 0,
                        "time_min": 29000000, "expiration": 600, "next_msg_id": 0x11223344}
    hop_b["request"] = {"receive": 0x0A0B0C0D, "next_tunnel": 0xCAFEBABE, "next_ident": gateway, "flags": 0x40,
                        "time_min": 29000000, "expiration": 600, "next_msg_id": 0x55667788}
    slots = [None, pattern(RECORD, 0x55), None, pattern(RECORD, 0x66)]
    keys = build([hop_a, hop_b], slots)
    sent = b"".join(slots)

    after_a, clear_a, keys_a = hop_handles(hop_a["static"], hop_a["hash"], slots, pattern(8, 0x99))
    after_b, clear_b, keys_b = hop_handles(hop_b["static"], hop_b["hash"], after_a, pattern(8, 0xAA))
    assert keys_a == keys[0][1] and keys_b == keys[1][1]
    assert clear_a == cleartext(hop_a["request"], hop_a["padding"])
    assert creator_opens(after_b, keys) == [0, 0]
    refused_b, _, _ = hop_handles(hop_b["static"], hop_b["hash"], after_a, pattern(8, 0xAA), code=30)
    assert creator_opens(refused_b, keys) == [0, 30]

    print("// Produced by tests/tunnel/build_kat.py (python3 'cryptography' X25519, ChaCha20 and")
    print("// ChaCha20-Poly1305; Noise state and hop keys self-checked against tests/data/")
    print("// noise-vectors.txt, FIPS 197, SP 800-38A, FIPS 180, RFC 5869 and RFC 8439). Do not edit")
    print("// by hand. A two-hop outbound build in 4 slots; pattern(n, seed)[i] = (seed + 13 i) mod 256.")
    print("// Hop A: static key pattern(32, 0x11), ephemeral pattern(32, 0x33), hash SHA-256(\"hop A\"),")
    print("// slot 2, padding pattern(8, 0x77), request {0x01020304, 0x0a0b0c0d, hop B's hash, flags 0,")
    print("// 29000000 min, 600 s, 0x11223344}. Hop B: static pattern(32, 0x22), ephemeral")
    print("// pattern(32, 0x44), hash SHA-256(\"hop B\"), slot 0, padding pattern(8, 0x88), request")
    print("// {0x0a0b0c0d, 0xcafebabe, SHA-256(\"reply gateway\"), flags 0x40, 29000000, 600,")
    print("// 0x55667788}. Unused slots 1 and 3: pattern(218, 0x55) and pattern(218, 0x66).")
    emit("kRequestCleartextA", clear_a)
    emit("kRequestCleartextB", clear_b)
    print("// The four records as sent, joined.")
    emit("kSentRecords", sent)
    for name, k in (("A", keys_a), ("B", keys_b)):
        emit("kReplyKey" + name, k["reply_key"])
        emit("kLayerKey" + name, k["layer_key"])
        emit("kIvKey" + name, k["iv_key"])
        emit("kReplyAd" + name, k["reply_ad"])
    emit("kGarlicKeyB", keys_b["garlic_key"])
    emit("kGarlicTagB", keys_b["garlic_tag"])
    print("// After hop A replied (random bytes pattern(8, 0x99)), then hop B (pattern(8, 0xaa)).")
    emit("kAfterHopA", b"".join(after_a))
    emit("kAfterHopB", b"".join(after_b))
    print("// The same with hop B refusing: code 30.")
    emit("kAfterHopBRefused", b"".join(refused_b))


if __name__ == "__main__":
    main()
