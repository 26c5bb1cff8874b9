#!/usr/bin/env python3
"""Known answers for router garlic and ECIES lookup replies.

An independent model on python3's 'cryptography' package (see kat_model.py). Before it
prints anything it checks its Noise N against the record in tests/data/noise-vectors.txt.

Run from the repository root with Debian's python3:
    /usr/bin/python3 tests/ratchet/garlic_kat.py > tests/ratchet/garlic_kat_vectors.inc
"""
import struct
import sys

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
from kat_model import (H, aead_enc, arr, block, check_noise_n, clove, datetime_block, fixed, pub, router_garlic,
                       short_message)

DELIVERY_STATUS, DATABASE_STORE, GARLIC, DATA = 10, 1, 11, 20


def main():
    check_noise_n()

    static_priv = fixed(0x30, 32)
    eph_priv = fixed(0x50, 32)
    exp = 1700000060

    # A DateTime block and one clove of each delivery kind.
    local = short_message(DELIVERY_STATUS, 0x11111111, exp, struct.pack(">IQ", 0x01020304, 1700000000123))
    dest_hash = H(b"destination")
    to_dest = short_message(DATA, 0x22222222, exp, struct.pack(">I", 17) + b"hello destination")
    router_hash = H(b"router")
    store_body = H(b"stored key") + bytes([3]) + struct.pack(">I", 0) + b"stand-in LeaseSet2"
    to_router = short_message(DATABASE_STORE, 0x33333333, exp, store_body)
    gateway = H(b"gateway")
    inner = fixed(0xA0, 20)
    to_tunnel = short_message(GARLIC, 0x44444444, exp, struct.pack(">I", len(inner)) + inner)
    payload = (datetime_block(1700000000) + clove(0x00, b"", local) + clove(0x20, dest_hash, to_dest) +
               clove(0x40, router_hash, to_router) + clove(0x60, gateway + struct.pack(">I", 0x0A0B0C0D), to_tunnel))
    garlic = router_garlic(pub(static_priv), eph_priv, payload)

    # What only a foreign sender writes: a Tunnel clove with both skipped fields (flag 0xF0)
    # and blocks of types this router does not know.
    foreign_payload = (clove(0xF0, fixed(0xC0, 32) + gateway + struct.pack(">I", 7) + fixed(0xE0, 4), local) +
                       block(1, b"one") + block(255, b""))
    foreign = router_garlic(pub(static_priv), fixed(0x70, 32), foreign_payload)

    # A lookup reply holding a DatabaseStore clove.
    reply_key = fixed(0x90, 32)
    reply_tag = fixed(0xB0, 8)
    reply_store = H(b"looked-up key") + bytes([3]) + struct.pack(">I", 0) + b"stand-in LeaseSet2 of the answer"
    reply_payload = clove(0x00, b"", short_message(DATABASE_STORE, 0x55555555, exp, reply_store))
    reply = reply_tag + aead_enc(reply_key, 0, reply_tag, reply_payload)

    out = ["// Produced by tests/ratchet/garlic_kat.py (python3 'cryptography', self-checked against",
           "// tests/data/noise-vectors.txt). Do not edit by hand.",
           "// Router static key 30..4f, ephemeral 50..6f (foreign message: 70..8f); expiration",
           "// %d; lookup reply key 90..af, tag b0..b7." % exp]
    out.append(arr("kRouterGarlicPayload", payload))
    out.append(arr("kRouterGarlic", garlic))
    out.append(arr("kForeignPayload", foreign_payload))
    out.append(arr("kForeignGarlic", foreign))
    out.append(arr("kReplyPayload", reply_payload))
    out.append(arr("kLookupReply", reply))
    print("\n".join(out))


if __name__ == "__main__":
    sys.exit(main())
