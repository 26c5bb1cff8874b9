#!/usr/bin/env python3
"""Known-answer values for tunnel cells, hop layers and hop keys.

An independent model of the tunnel byte transformations written with python3's
'cryptography' package (AES-256 ECB and CBC), hashlib (SHA-256) and an HKDF built on the
hmac module. Before it prints anything it checks AES against FIPS 197 and SP 800-38A,
SHA-256 against FIPS 180 and its HKDF against RFC 5869 (and against the package's own
HKDF), so the printed values rest on outside references, not on our C++.

Run from the repository root with Debian's python3:
    /usr/bin/python3 tests/tunnel/tunnel_kat.py > tests/tunnel/kat_vectors.inc
"""
import hashlib
import hmac
import struct

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


# ---- primitives ----
def aes_ecb(key, block, encrypt=True):
    c = Cipher(algorithms.AES(key), modes.ECB())
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(block) + op.finalize()


def aes_cbc(key, iv, data, encrypt=True):
    c = Cipher(algorithms.AES(key), modes.CBC(iv))
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(data) + op.finalize()


def sha256(data):
    return hashlib.sha256(data).digest()


def hkdf(salt, ikm, info, length):
    prk = hmac.new(salt, ikm, hashlib.sha256).digest()
    out, t, i = b"", b"", 1
    while len(out) < length:
        t = hmac.new(prk, t + info + bytes([i]), hashlib.sha256).digest()
        out += t
        i += 1
    return out[:length]


def self_check():
    key = bytes(range(32))
    assert aes_ecb(key, bytes.fromhex("00112233445566778899aabbccddeeff")).hex() == "8ea2b7ca516745bfeafc49904b496089"
    k = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
    iv = bytes.fromhex("000102030405060708090a0b0c0d0e0f")
    pt = bytes.fromhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51")
    assert aes_cbc(k, iv, pt).hex() == "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
    assert sha256(b"abc").hex() == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
    okm = hkdf(bytes(range(13)), b"\x0b" * 22, bytes(range(0xF0, 0xFA)), 42)
    assert okm.hex() == ("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865")
    salt, info = bytes(range(32)), b"SMTunnelReplyKey"
    ref = HKDF(algorithm=hashes.SHA256(), length=64, salt=salt, info=info).derive(b"")
    assert hkdf(salt, b"", info, 64) == ref


# ---- the model ----
def hop_keys(ck, h, outbound_endpoint):
    keys = {"reply_ad": h}
    out = hkdf(ck, b"", b"SMTunnelReplyKey", 64)
    ck, keys["reply_key"] = out[:32], out[32:]
    out = hkdf(ck, b"", b"SMTunnelLayerKey", 64)
    ck, keys["layer_key"] = out[:32], out[32:]
    if not outbound_endpoint:
        keys["iv_key"] = ck
        return keys
    out = hkdf(ck, b"", b"TunnelLayerIVKey", 64)
    ck, keys["iv_key"] = out[:32], out[32:]
    out = hkdf(ck, b"", b"RGarlicKeyAndTag", 64)
    keys["garlic_tag"], keys["garlic_key"] = out[:8], out[32:]
    return keys


def relay(layer_key, iv_key, cell):
    assert len(cell) == 1024
    iv1 = aes_ecb(iv_key, cell[:16])
    data = aes_cbc(layer_key, iv1, cell[16:])
    return aes_ecb(iv_key, iv1) + data


def remove_layers(hops, cell):
    for layer_key, iv_key in reversed(hops):
        iv1 = aes_ecb(iv_key, cell[:16], False)
        data = aes_cbc(layer_key, iv1, cell[16:], False)
        cell = aes_ecb(iv_key, iv1, False) + data
    return cell


LOCAL, TUNNEL, ROUTER = 0, 1, 2


def first(delivery, fragmented, msg_id, data):
    kind = delivery[0]
    out = bytes([kind << 5 | (0x08 if fragmented else 0)])
    if kind == TUNNEL:
        out += struct.pack(">I", delivery[1]) + delivery[2]
    elif kind == ROUTER:
        out += delivery[1]
    if fragmented:
        out += struct.pack(">I", msg_id)
    return out + struct.pack(">H", len(data)) + data


def follow_on(number, last, msg_id, data):
    return bytes([0x80 | number << 1 | (1 if last else 0)]) + struct.pack(">IH", msg_id, len(data)) + data


def pack(iv, body, padding_source):
    assert len(iv) == 16 and len(body) <= 1003
    pad_len = 1003 - len(body)
    pad = bytearray()
    for i in range(pad_len):
        if i < len(padding_source):
            pad.append(padding_source[i] or 1)
        else:
            pad.append(i % 254 + 1)
    cell = iv + sha256(body + iv)[:4] + bytes(pad) + b"\x00" + body
    assert len(cell) == 1024
    return cell


def instr_size(delivery):
    return {LOCAL: 0, TUNNEL: 36, ROUTER: 32}[delivery[0]]


def fragment_message(delivery, msg_id, message, base_iv, padding):
    b = instr_size(delivery)
    if len(message) <= 1000 - b:
        return [pack(base_iv, first(delivery, False, 0, message), padding)]
    n = 996 - b
    cells = [pack(base_iv, first(delivery, True, msg_id, message[:n]), padding)]
    at, g = n, 1
    while at < len(message):
        chunk = message[at:at + 996]
        at += len(chunk)
        iv = bytes(x ^ g for x in base_iv)
        cells.append(pack(iv, follow_on(g, at == len(message), msg_id, chunk), padding))
        g += 1
    assert g - 1 <= 63
    return cells


def slot_nonce(slot):
    return b"\x00" * 4 + struct.pack("<Q", slot)


# ---- fixed inputs, mirrored by tests/tunnel/tunnel_kat_test.cpp ----
def pattern(n, seed):
    return bytes((seed + 13 * i) & 0xFF for i in range(n))


GATEWAY = sha256(b"gateway router")
IV = bytes(range(0xA0, 0xB0))
PADDING = bytes((37 * i) & 0xFF for i in range(40))  # starts with a zero


def emit(name, value):
    print("const char* const %s =\n    \"%s\";" % (name, value.hex()))


def main():
    self_check()
    print("// Produced by tests/tunnel/tunnel_kat.py (python3 'cryptography', hashlib and an HMAC")
    print("// HKDF, self-checked against FIPS 197, SP 800-38A, FIPS 180 and RFC 5869). Do not edit")
    print("// by hand. Inputs: pattern(n, seed)[i] = (seed + 13 i) mod 256; gateway = SHA-256(")
    print("// \"gateway router\"); IV = a0..af; padding source = (37 i) mod 256 for i < 40.")

    cell = pattern(1024, 1)
    k1, k2, k3, k4 = pattern(32, 0x10), pattern(32, 0x30), pattern(32, 0x50), pattern(32, 0x70)
    print("// relay_cell: cell = pattern(1024, 1), layer_key = pattern(32, 0x10),")
    print("// iv_key = pattern(32, 0x30). Inbound: one hop (k1, k2); two hops (k1, k2) then")
    print("// (k3 = pattern(32, 0x50), k4 = pattern(32, 0x70)), each applied to the same cell.")
    emit("kRelayed", relay(k1, k2, cell))
    emit("kInboundOneHop", remove_layers([(k1, k2)], cell))
    emit("kInboundTwoHops", remove_layers([(k1, k2), (k3, k4)], cell))
    two = relay(k3, k4, relay(k1, k2, remove_layers([(k1, k2), (k3, k4)], cell)))
    assert two == cell

    ck, h = pattern(32, 0x90), pattern(32, 0xB0)
    print("// derive_hop_keys: ck = pattern(32, 0x90), h = pattern(32, 0xb0).")
    plain = hop_keys(ck, h, False)
    obep = hop_keys(ck, h, True)
    assert plain["reply_key"] == obep["reply_key"] and plain["layer_key"] == obep["layer_key"]
    emit("kHopReplyKey", plain["reply_key"])
    emit("kHopLayerKey", plain["layer_key"])
    emit("kHopIvKey", plain["iv_key"])
    emit("kEndpointIvKey", obep["iv_key"])
    emit("kEndpointGarlicKey", obep["garlic_key"])
    emit("kEndpointGarlicTag", obep["garlic_tag"])
    emit("kSlotNonce3", slot_nonce(3))
    emit("kSlotNonceBig", slot_nonce(0x0102030405060708))

    cases = [
        ("local", first((LOCAL,), False, 0, pattern(100, 1)), PADDING),
        ("tunnel", first((TUNNEL, 0x01020304, GATEWAY), True, 0xDEADBEEF, pattern(200, 2)), PADDING),
        ("router", first((ROUTER, GATEWAY), False, 0, pattern(50, 3)), PADDING),
        ("follow_on", follow_on(5, True, 0x11223344, pattern(30, 4)), PADDING),
        ("mixed", first((LOCAL,), False, 0, pattern(10, 5)) + follow_on(63, False, 0x55667788, pattern(20, 6))
         + first((ROUTER, GATEWAY), True, 7, pattern(40, 7)), PADDING),
        ("full", first((LOCAL,), False, 0, pattern(1000, 8)), PADDING),
        ("no_padding_source", first((LOCAL,), False, 0, pattern(5, 9)), b""),
    ]
    print("// pack_tunnel_cell, one cell per case with IV a0..af (see the test for the fragments).")
    print("struct PackVector { const char* name; const char* cell; };")
    print("const PackVector kPackVectors[] = {")
    for name, body, padding in cases:
        print("    {\"%s\",\n     \"%s\"}," % (name, pack(IV, body, padding).hex()))
    print("};")

    print("// fragment_message_to_cells: Local 2993 bytes pattern(2993, 10) under msg id 0x01020304,")
    print("// and Tunnel(0x0a0b0c0d, gateway) 965 bytes pattern(965, 11) under 0x99; base IV a0..af.")
    for name, cells in (
        ("kLocal2993", fragment_message((LOCAL,), 0x01020304, pattern(2993, 10), IV, PADDING)),
        ("kTunnel965", fragment_message((TUNNEL, 0x0A0B0C0D, GATEWAY), 0x99, pattern(965, 11), IV, PADDING)),
    ):
        print("const char* const %s[] = {" % name)
        for c in cells:
            print("    \"%s\"," % c.hex())
        print("};")


if __name__ == "__main__":
    main()
