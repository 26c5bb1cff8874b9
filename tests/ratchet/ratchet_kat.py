#!/usr/bin/env python3
"""Known answers for the garlic session key schedule and its three message kinds.

An independent model on python3's 'cryptography' package (X25519, ChaCha20-Poly1305, HKDF)
and an Elligator2 map written from RFC 9380 (see kat_model.py). Before it
prints anything it checks its Elligator2 map against tests/data/elligator2-vectors.txt and
its Noise state against the N and XK records of tests/data/noise-vectors.txt.

The ephemeral keys come from scripted random sources (SHA-256 of a label and a counter);
the draws each side consumed are printed, so the C++ test replays them exactly.

Run from the repository root with Debian's python3:
    /usr/bin/python3 tests/ratchet/ratchet_kat.py > tests/ratchet/ratchet_kat_vectors.inc
"""
import struct
import sys

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
from kat_model import (A, P, H, Symmetric, aead_enc, arr, block, check_elligator2, check_noise_n, check_noise_xk,
                       clove, datetime_block, dh, elligator_keypair, fixed, hkdf, inv0, is_square, pub,
                       short_message)

PROTOCOL = b"Noise_IKelg2+hs2_25519_ChaChaPoly_SHA256"
DATA = 20


class TagSet:
    def __init__(self, tag_chain, tag_const, key_chain):
        self.tag_chain, self.tag_const, self.key_chain, self.index = tag_chain, tag_const, key_chain, 0

    def fields(self):
        return self.tag_chain, self.tag_const, self.key_chain

    def next(self):
        kd = hkdf(self.tag_chain, self.tag_const, b"SessionTagKeyGen", 64)
        self.tag_chain, tag = kd[:32], kd[32:40]
        kd = hkdf(self.key_chain, b"", b"SymmetricRatchet", 64)
        self.key_chain, key = kd[:32], kd[32:]
        i = self.index
        self.index += 1
        return i, tag, key


def dh_initialize(rk, k):
    kd = hkdf(rk, k, b"KDFDHRatchetStep", 64)
    next_root, chain = kd[:32], kd[32:]
    kd = hkdf(chain, b"", b"TagAndKeyGenKeys", 64)
    tag_ck, key_ck = kd[:32], kd[32:]
    kd = hkdf(tag_ck, b"", b"STInitialization", 64)
    return next_root, TagSet(kd[:32], kd[32:], key_ck)


def reply_tag_set(ck):
    return dh_initialize(ck, hkdf(ck, b"", b"SessionReplyTags", 32))[1]


def split(ck):
    kd = hkdf(ck, b"", b"", 64)
    k_ab, k_ba = kd[:32], kd[32:]
    root_ab, ts_ab = dh_initialize(ck, k_ab)
    root_ba, ts_ba = dh_initialize(ck, k_ba)
    return root_ab, ts_ab, root_ba, ts_ba, hkdf(k_ba, b"", b"AttachPayloadKDF", 32)


class Source:
    """SHA-256(label || counter) draws, remembering what was taken."""

    def __init__(self, label):
        self.label, self.taken = label, []

    def __call__(self):
        v = H(self.label + struct.pack(">I", len(self.taken)))
        self.taken.append(v)
        return v


def new_session(init_static, resp_static_pub, source, payload, bound=True):
    e_priv, e_pub, rep, _ = elligator_keypair(source)
    s = Symmetric(PROTOCOL)
    s.mix_hash(b"")
    s.mix_hash(resp_static_pub)
    s.mix_hash(e_pub)
    s.mix_key(dh(e_priv, resp_static_pub))
    if bound:
        enc_static = s.enc(pub(init_static))
        s.mix_key(dh(init_static, resp_static_pub))
    else:
        enc_static = s.enc(b"\x00" * 32)
    msg = rep + enc_static + s.enc(payload)
    return msg, s, e_priv, e_pub


def data_clove(msg_id, text):
    return clove(0x00, b"", short_message(DATA, msg_id, 1700000600, struct.pack(">I", len(text)) + text))


def find_sources():
    """Labels whose first attempt fails for A, so the replay covers a retried draw."""
    for n in range(1000):
        a = Source(b"initiator %d" % n)
        if elligator_keypair(a)[3] >= 4:
            return b"initiator %d" % n
    raise AssertionError("no label")


def main():
    check_noise_n()
    check_noise_xk()
    check_elligator2()

    out = ["// Produced by tests/ratchet/ratchet_kat.py (python3 'cryptography' with its HKDF, Elligator2",
           "// from RFC 9380; self-checked against tests/data/noise-vectors.txt and",
           "// tests/data/elligator2-vectors.txt). Do not edit by hand."]

    # ---- key schedule from fixed inputs ----
    root, ts = dh_initialize(fixed(0x01, 32), fixed(0x21, 32))
    out.append("// dh_initialize(root 01..20, k 21..40), then entries 0, 1 and 63 of its tag set.")
    out.append(arr("kDhNextRoot", root))
    for name, v in zip(("kDhTagChain", "kDhTagConstant", "kDhKeyChain"), ts.fields()):
        out.append(arr(name, v))
    entries = [ts.next() for _ in range(64)]
    for i in (0, 1, 63):
        out.append(arr("kEntry%dTag" % i, entries[i][1]))
        out.append(arr("kEntry%dKey" % i, entries[i][2]))

    out.append("// Reply tag set and key split of chaining keys 41..60 and 61..80.")
    reply = reply_tag_set(fixed(0x41, 32))
    for name, v in zip(("kReplyTagChain", "kReplyTagConstant", "kReplyKeyChain"), reply.fields()):
        out.append(arr(name, v))
    root_ab, ts_ab, root_ba, ts_ba, pk = split(fixed(0x61, 32))
    out.append(arr("kSplitRootAB", root_ab))
    for name, v in zip(("kSplitTagChainAB", "kSplitTagConstantAB", "kSplitKeyChainAB"), ts_ab.fields()):
        out.append(arr(name, v))
    out.append(arr("kSplitRootBA", root_ba))
    for name, v in zip(("kSplitTagChainBA", "kSplitTagConstantBA", "kSplitKeyChainBA"), ts_ba.fields()):
        out.append(arr(name, v))
    out.append(arr("kSplitPayloadKey", pk))

    # ---- the three message kinds between A (initiator) and B ----
    a_static, b_static = fixed(0x10, 32), fixed(0x30, 32)
    a_pub, b_pub = pub(a_static), pub(b_static)
    t1, t2, t3, t4 = 1700000000, 1700000001, 1700000002, 1700000003
    src_a, src_b, src_u = Source(find_sources()), Source(b"responder"), Source(b"unbound")

    ns_payload = datetime_block(t1) + data_clove(1, b"hello from A")
    ns, s, a_e_priv, a_e_pub = new_session(a_static, b_pub, src_a, ns_payload)
    nsr_tags_set = reply_tag_set(s.ck)
    nsr_tags = [nsr_tags_set.next()[1] for _ in range(6)]

    # B answers with the first reply tag.
    b_e_priv, b_e_pub, b_rep, _ = elligator_keypair(src_b)
    r = Symmetric.from_parts(s.ck, s.h)
    tag = nsr_tags[0]
    r.mix_hash(tag)
    r.mix_hash(b_e_pub)
    r.mix_key(dh(b_e_priv, a_e_pub))
    r.mix_key(dh(b_e_priv, a_pub))
    mac = r.enc(b"")
    # the initiator's view of the same DH values
    assert dh(a_e_priv, b_e_pub) == dh(b_e_priv, a_e_pub) and dh(a_static, b_e_pub) == dh(b_e_priv, a_pub)
    root_ab, ts_ab, root_ba, ts_ba, payload_key = split(r.ck)
    nsr_payload = data_clove(2, b"reply from B")
    nsr = tag + b_rep + mac + aead_enc(payload_key, 0, r.h, nsr_payload)

    # First ExistingSession each way: A sends on ab, B on ba.
    es_ab_payload = data_clove(3, b"first existing A to B")
    i, t, k = ts_ab.next()
    es_ab = t + aead_enc(k, i, t, es_ab_payload)
    es_ba_payload = data_clove(4, b"first existing B to A") + block(254, b"\x00\x00\x00")
    i, t, k = ts_ba.next()
    es_ba = t + aead_enc(k, i, t, es_ba_payload)

    # An unbound NewSession to B: no static key, its payload sealed at nonce 1.
    unbound_payload = datetime_block(t1) + data_clove(5, b"unbound")
    unbound, _, _, _ = new_session(None, b_pub, src_u, unbound_payload, bound=False)

    out.append("// A's static key 10..2f, B's 30..4f. NewSession at %d, reply at %d, ExistingSession" % (t1, t2))
    out.append("// A to B at %d and B to A at %d; Data cloves expire at 1700000600." % (t3, t4))
    out.append("constexpr std::uint32_t kT1 = %d, kT2 = %d, kT3 = %d, kT4 = %d;" % (t1, t2, t3, t4))

    def draws(name, src):
        out.append("const char* const %s[] = {\n%s};" % (name, "".join('    "%s",\n' % v.hex() for v in src.taken)))

    draws("kDrawsA", src_a)
    draws("kDrawsB", src_b)
    draws("kDrawsUnbound", src_u)
    out.append(arr("kNewSessionPayload", ns_payload))
    out.append(arr("kNewSession", ns))
    out.append("const char* const kReplyTags[] = {\n%s};" % "".join('    "%s",\n' % t.hex() for t in nsr_tags))
    out.append(arr("kReplyPayload", nsr_payload))
    out.append(arr("kNewSessionReply", nsr))
    out.append(arr("kExistingABPayload", es_ab_payload))
    out.append(arr("kExistingAB", es_ab))
    out.append(arr("kExistingBAPayload", es_ba_payload))
    out.append(arr("kExistingBA", es_ba))
    out.append(arr("kUnboundPayload", unbound_payload))
    out.append(arr("kUnboundNewSession", unbound))

    # A private key whose public key has no representative (with either choice), and one
    # whose key has.
    def encodable(priv):
        u = int.from_bytes(pub(priv), "little")
        return is_square(-(u + A) * inv0(2 * u) % P)

    bad = next(bytes([i]) * 32 for i in range(1, 256) if not encodable(bytes([i]) * 32))
    good = next(bytes([i]) * 32 for i in range(1, 256) if encodable(bytes([i]) * 32))
    out.append("// Private keys (one byte repeated) whose public keys have no representative / have one.")
    out.append(arr("kNonEncodablePrivate", bad))
    out.append(arr("kEncodablePrivate", good))
    print("\n".join(out))


if __name__ == "__main__":
    sys.exit(main())
