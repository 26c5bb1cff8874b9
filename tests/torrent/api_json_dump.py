"""Reads a torrent API document with python's json module and prints it one member per line,
in document order, so that a test can compare it member by member with what it expects.

    python3 api_json_dump.py <document file>

Lines: "<path>=<value>" for a leaf (true, false, an integer, or a string written by
json.dumps with ASCII escapes), "<path>={n}" for an object of n members and "<path>=[n]" for
an array of n items. The first line is "compact" when the document equals python's own
compact writing of it (no blanks, the same escapes), else "not compact".
Exits with 1 when the text is not strict JSON, or holds a float or a repeated key.
"""
import json
import sys


def pairs(items):
    keys = [k for k, _ in items]
    if len(set(keys)) != len(keys):
        raise ValueError("repeated key")
    return ("object", items)


def walk(path, value, out):
    if isinstance(value, tuple) and value[0] == "object":
        out.append("%s={%d}" % (path, len(value[1])))
        for k, v in value[1]:
            walk(path + "." + k, v, out)
    elif isinstance(value, list):
        out.append("%s=[%d]" % (path, len(value)))
        for i, v in enumerate(value):
            walk("%s[%d]" % (path, i), v, out)
    elif value is True or value is False:
        out.append("%s=%s" % (path, "true" if value else "false"))
    elif isinstance(value, int):
        out.append("%s=%d" % (path, value))
    elif isinstance(value, str):
        out.append("%s=%s" % (path, json.dumps(value)))
    else:
        raise ValueError("unexpected value %r" % (value,))


def plain(value):
    if isinstance(value, tuple) and value[0] == "object":
        return {k: plain(v) for k, v in value[1]}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    text = raw.decode("utf-8")
    doc = json.loads(text, object_pairs_hook=pairs, strict=True)
    again = json.dumps(plain(doc), separators=(",", ":"), ensure_ascii=False)
    out = ["compact" if again == text else "not compact"]
    walk("", doc, out)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # noqa: BLE001 - any failure is a failed check
        sys.stderr.write("api_json_dump: %s\n" % e)
        sys.exit(1)
