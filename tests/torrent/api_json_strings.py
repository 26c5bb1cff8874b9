"""Writes JSON request bodies the way client libraries do, to check the torrent API's string
member reader against them. One line per body:

    v<hex of the member's UTF-8 value> <hex of the body>

Each value is written by python's json.dumps with ensure_ascii on (every non-ASCII character
as a \\u escape, surrogate pairs above U+FFFF) and off (UTF-8 as is), and once more with every
"/" escaped as "\\/", as some libraries do. Every body is read back with json.loads first, so
each one is JSON that a strict reader takes. Backspace and form feed are left out: their short
escapes are outside the reader's rule.
"""
import json

VALUES = [
    "plain",
    "",
    "\u00e9",
    "/srv/donn\u00e9es/t\u00e9l\u00e9chargements",
    "\u65e5\u672c\u8a9e",
    "\U0001F600 and \U0001D11E",
    "\U00010000\U0010FFFF",
    "\u0080\u07ff\u0800\uffff",
    "\u2028\u2029",
    "say \"hi\" \\ back",
    "tab\tnl\ncr\r",
    "\x01\x1f\x7f",
    "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=\u00fcber",
]

for value in VALUES:
    for ensure_ascii in (True, False):
        body = json.dumps({"other": 1, "download_dir": value, "uri": "x"}, ensure_ascii=ensure_ascii)
        for text in (body, body.replace("/", "\\/")):
            assert json.loads(text)["download_dir"] == value
            print("v" + value.encode("utf-8").hex(), text.encode("utf-8").hex())
