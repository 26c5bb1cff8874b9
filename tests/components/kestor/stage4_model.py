"""A model of reference correction, written from the format description, that plays the part of
a patch writer: for random elements with fixed reference lists it picks the target every
reference should get in the new element and writes the reference deltas that say so.

Groups (type tag: width, pool): 0: 4 bytes, pool 0; 1: 2 bytes, pool 1; 2: 4 bytes, pool 0.
The C++ test applies the patch with test-only disassemblers holding the same lists and
compares every write with the model's.

Output of case(seed): (patch bytes, text). The text has one line per item:
  sizes OLD NEW
  ref TYPE LOCATION TARGET      (the old element's references, by type and location)
  write TYPE LOCATION TARGET    (the expected writes, in order)
"""

import bisect
import random

import kestor_patch as kp

GROUPS = [(4, 0), (2, 1), (4, 0)]  # (width, pool) by type tag


def prune(equivalences):
    eqs = sorted(([s, d, n] for s, d, n in equivalences), key=lambda e: (e[0], (-e[2]) & 0xFFFFFFFF, e[1]))
    i = 0
    while i < len(eqs):
        cur = eqs[i]
        if cur[2] == 0:
            i += 1
            continue
        end = cur[0] + cur[2]
        j = i + 1
        longer = None
        while j < len(eqs) and eqs[j][0] < end:
            if eqs[j][2] > cur[2]:
                longer = j
                break
            j += 1
        if longer is not None:
            cur[2] = eqs[longer][0] - cur[0]
            for k in range(i + 1, longer):
                eqs[k][2] = 0
            i = longer
            continue
        for k in range(i + 1, j):
            e = eqs[k]
            d = min(e[2], end - e[0])
            e[2] -= d
            e[1] += d
            e[0] = end
        i += 1
    return [tuple(e) for e in eqs if e[2]]


def containing(pruned, t):
    for s, d, n in pruned:
        if s <= t < s + n:
            return s, d, n
    return None


def extended_projection(pruned, t, old_size, new_size):
    if t >= old_size:
        p = new_size + (t - old_size)
        return 0x7FFFFFFE if p >= 0x7FFFFFFF else p
    eq = containing(pruned, t)
    if eq is None:
        if t < pruned[0][0]:
            eq = pruned[0]
        elif t >= pruned[-1][0] + pruned[-1][2]:
            eq = pruned[-1]
        else:
            k = max(i for i, e in enumerate(pruned) if e[0] + e[2] <= t)
            prev, nxt = pruned[k], pruned[k + 1]
            eq = prev if t - (prev[0] + prev[2]) < nxt[0] - t else nxt
    s, d, _ = eq
    return min(max(d + (t - s), 0), new_size - 1)


def nearest(targets, p):
    if not targets:
        return 0
    # The smallest distance; on a tie the smaller target (the earlier index).
    return min(range(len(targets)), key=lambda i: (abs(targets[i] - p), i))


def case(seed):
    rng = random.Random(seed)
    old_size = rng.randint(100, 1500)
    new_size = rng.randint(100, 1500)
    # Destinations in order inside new[0, new_size - 4): every re-aimed body fits.
    equivalences = []
    dst = 0
    for _ in range(rng.randint(1, 10)):
        dst += rng.randint(0, 60)
        room = new_size - 4 - dst
        if room <= 0:
            break
        n = rng.randint(0, min(room, 300, old_size))
        src = rng.randint(0, old_size - n)
        equivalences.append((src, dst, n))
        dst += n
    copied = sum(n for _, _, n in equivalences)
    refs = {}
    for t, (width, _) in enumerate(GROUPS):
        locs = sorted(rng.sample(range(old_size - width + 1), rng.randint(0, 40)))
        refs[t] = [(loc, rng.randrange(old_size + 60)) for loc in locs]
    pruned = prune(equivalences)
    pools = {}
    extra = {}
    for pool in sorted(set(p for _, p in GROUPS)):
        types = [t for t, (_, p) in enumerate(GROUPS) if p == pool]
        old_targets = sorted(set(target for t in types for _, target in refs[t]))
        projected = []
        for target in old_targets:
            eq = containing(pruned, target)
            if eq is not None:
                projected.append(eq[1] + target - eq[0])
        extra[pool] = sorted(set(rng.sample(range(new_size + 60), rng.randint(1, 12))))
        pools[pool] = (types, sorted(set(projected) | set(extra[pool])))
    deltas, writes = [], []
    for pool in sorted(pools):
        types, targets = pools[pool]
        for t in types:
            for s, d, n in equivalences:
                for loc, target in refs[t]:
                    if not s <= loc < s + n:
                        continue
                    index = nearest(targets, extended_projection(pruned, target, old_size, new_size))
                    want = rng.randrange(len(targets))
                    deltas.append(want - index)
                    writes.append((t, loc + d - s, targets[want]))
    element = kp.Element(0, old_size, 0, new_size, exe_type="NoOp", equivalences=equivalences,
                         extra_data=bytes(rng.randrange(256) for _ in range(new_size - copied)),
                         reference_deltas=deltas, pools=[(p, extra[p]) for p in sorted(extra)])
    patch = kp.encode_patch([element], old_size, new_size)[0]
    lines = ["sizes %d %d" % (old_size, new_size)]
    lines += ["ref %d %d %d" % (t, loc, target) for t in refs for loc, target in refs[t]]
    lines += ["write %d %d %d" % w for w in writes]
    return patch, ("\n".join(lines) + "\n").encode()
