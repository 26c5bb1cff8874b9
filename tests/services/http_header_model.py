"""Reads header lines with python's http.client, as an independent reader of the grammar
"name: value". For each line given in hex on the command line, prints one line:

    <hex of the name> <hex of the value>

or "-" when http.client does not take the line as one header. The lines are parsed as a
head of their own ("<line>\r\n\r\n"); a header whose value python keeps with trailing blanks
is printed with them stripped, since the value of a field excludes them (RFC 9112 5.1), and
http.client leaves that to its caller.
"""
import email.errors
import http.client
import io
import sys

for arg in sys.argv[1:]:
    line = bytes.fromhex(arg)
    msg = http.client.parse_headers(io.BytesIO(line + b"\r\n\r\n"))
    items = msg.items()
    if len(items) != 1 or msg.defects:
        print("-")
        continue
    name, value = items[0]
    print("v" + name.encode("latin-1").hex(), "v" + value.strip(" \t").encode("latin-1").hex())
