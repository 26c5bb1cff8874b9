#!/usr/bin/env python3
"""Known-answer bytes of streaming packets and a repliable datagram.

An independent model of the I2P streaming packet layout and its Ed25519 signatures,
written from the published protocol description with python3's 'cryptography' package
(Ed25519) and hashlib (SHA-256). Every packet is laid out field by field here; nothing
is taken from the C++ code.

Run from the repository root:
    python3 tests/streaming/streaming_kat.py > tests/streaming/kat_vectors.inc
"""
import hashlib
import struct
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

RAW = serialization.Encoding.Raw

SYNCHRONIZE = 0x0001
CLOSE = 0x0002
SIGNATURE_INCLUDED = 0x0008
FROM_INCLUDED = 0x0020
MAX_PACKET_SIZE_INCLUDED = 0x0080
NO_ACK = 0x0400
OFFLINE_SIGNATURE = 0x0800

ALICE_ID = 0x11223344
BOB_ID = 0x55667788
EXPIRES = 1700000000


def seed_of(start):
    return bytes((start + i) & 0xFF for i in range(32))


def public_of(seed):
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(RAW, serialization.PublicFormat.Raw)


def sign(seed, data):
    sig = Ed25519PrivateKey.from_private_bytes(seed).sign(data)
    # The library's own check, so a wrong key never slips into the vectors.
    Ed25519PrivateKey.from_private_bytes(seed).public_key().verify(sig, data)
    return sig


def destination(seed, filler_start):
    """384-byte key area (filler, then the Ed25519 key in its last 32 bytes) and a Key
    certificate: type 5, length 4, signing type 7 (Ed25519), crypto type 0."""
    filler = bytes((filler_start + 7 * i) & 0xFF for i in range(352))
    return filler + public_of(seed) + bytes([5]) + struct.pack(">HHH", 4, 7, 0)


def hash_nacks(dest):
    h = hashlib.sha256(dest).digest()
    return [struct.unpack(">I", h[i:i + 4])[0] for i in range(0, 32, 4)]


def packet(send_id, recv_id, seq, ack, nacks, flags, options, payload):
    out = struct.pack(">IIII", send_id, recv_id, seq, ack)
    out += bytes([len(nacks)]) + b"".join(struct.pack(">I", n) for n in nacks)
    out += bytes([0]) + struct.pack(">HH", flags, len(options)) + options + payload
    return out


def signed_packet(seed, send_id, recv_id, seq, ack, nacks, flags, options_before_sig, payload):
    """The signature is made over the whole packet with 64 zero bytes in its place."""
    zeroed = packet(send_id, recv_id, seq, ack, nacks, flags, options_before_sig + bytes(64), payload)
    sig = sign(seed, zeroed)
    return packet(send_id, recv_id, seq, ack, nacks, flags, options_before_sig + sig, payload)


def main():
    alice_seed, bob_seed, transient_seed = seed_of(0x01), seed_of(0x21), seed_of(0x61)
    alice, bob = destination(alice_seed, 0x10), destination(bob_seed, 0x90)
    mps = struct.pack(">H", 1730)

    syn = signed_packet(alice_seed, 0, ALICE_ID, 0, 0, hash_nacks(bob),
                        SYNCHRONIZE | SIGNATURE_INCLUDED | FROM_INCLUDED | MAX_PACKET_SIZE_INCLUDED | NO_ACK,
                        alice + mps, b"")
    syn_ack = signed_packet(bob_seed, ALICE_ID, BOB_ID, 0, 0, [],
                            SYNCHRONIZE | SIGNATURE_INCLUDED | FROM_INCLUDED | MAX_PACKET_SIZE_INCLUDED,
                            bob + mps, b"")
    data_payload = b"GET / HTTP/1.1\r\nHost: example.i2p\r\n\r\n"
    data = packet(BOB_ID, ALICE_ID, 1, 0, [], 0, b"", data_payload)
    close = signed_packet(alice_seed, BOB_ID, ALICE_ID, 2, 0, [], CLOSE | SIGNATURE_INCLUDED, b"", b"")
    ack = packet(ALICE_ID, BOB_ID, 0, 2, [], 0, b"", b"")
    ack_nacks = packet(ALICE_ID, BOB_ID, 0, 5, [2, 4], 0, b"", b"")

    # A CLOSE from alice signed with a transient key that alice's own key signed offline.
    transient_public = public_of(transient_seed)
    offline_unsigned = struct.pack(">IH", EXPIRES, 7) + transient_public
    offline_block = offline_unsigned + sign(alice_seed, offline_unsigned)
    offline_close = signed_packet(transient_seed, BOB_ID, ALICE_ID, 3, 0, [],
                                  CLOSE | SIGNATURE_INCLUDED | FROM_INCLUDED | OFFLINE_SIGNATURE,
                                  alice + offline_block, b"")

    datagram_payload = b"d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe"
    datagram = alice + sign(alice_seed, datagram_payload) + datagram_payload

    def arr(name, b):
        return "const char* const %s =\n    \"%s\";" % (name, b.hex())

    out = ["// Produced by tests/streaming/streaming_kat.py (python3 'cryptography' Ed25519 and",
           "// hashlib SHA-256, packets laid out field by field). Do not edit by hand.",
           "// Seeds: alice 01..20, bob 21..40, alice's transient key 61..80. Destinations: 352",
           "// filler bytes (alice from 0x10, bob from 0x90, stepping by 7), the Ed25519 key, a Key",
           "// certificate (Ed25519 signing, crypto type 0). Stream ids: alice %08x, bob %08x;" % (ALICE_ID, BOB_ID),
           "// offline expiry %d." % EXPIRES]
    out.append(arr("kAliceDestination", alice))
    out.append(arr("kBobDestination", bob))
    out.append(arr("kSyn", syn))
    out.append(arr("kSynAck", syn_ack))
    out.append(arr("kDataPayload", data_payload))
    out.append(arr("kData", data))
    out.append(arr("kClose", close))
    out.append(arr("kAck", ack))
    out.append(arr("kAckNacks", ack_nacks))
    out.append(arr("kOfflineClose", offline_close))
    out.append(arr("kDatagramPayload", datagram_payload))
    out.append(arr("kDatagram", datagram))
    print("\n".join(out))


if __name__ == "__main__":
    sys.exit(main())
