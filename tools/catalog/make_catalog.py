#!/usr/bin/env python3
"""Writes the binary message catalog from the text table.

Layout: u32 total size, u32 count (452), then for message n = 2..453 an i32 at byte 4n
holding the offset of its text counted from that slot; the UTF-16LE texts, each ended
by a 0 unit, follow in message order from byte 1816.
Usage: make_catalog.py TABLE OUTPUT [--count N] [--size-delta N]
(the last two exist only to make broken catalogs for tests)."""
import argparse
import struct
import sys

FIRST, LAST = 2, 453
HEADER_BYTES = 4 * (LAST + 1)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(nxt, "\\" + nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def read_table(path):
    texts = {}
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            number, sep, text = line.partition("\t")
            n = int(number)
            if not sep or not FIRST <= n <= LAST or n in texts:
                sys.exit("%s:%d: bad or repeated message number" % (path, lineno))
            texts[n] = unescape(text)
    return texts


def build(texts, count, size_delta):
    body = bytearray()
    slots = []
    for n in range(FIRST, LAST + 1):
        slots.append(HEADER_BYTES + len(body) - 4 * n)
        body += texts.get(n, "").encode("utf-16-le") + b"\0\0"
    size = HEADER_BYTES + len(body)
    header = struct.pack("<II", (size + size_delta) & 0xFFFFFFFF, count)
    header += b"".join(struct.pack("<i", s) for s in slots)
    return header + bytes(body)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("table")
    ap.add_argument("output")
    ap.add_argument("--count", type=int, default=LAST - FIRST + 1)
    ap.add_argument("--size-delta", type=int, default=0)
    args = ap.parse_args()
    data = build(read_table(args.table), args.count, args.size_delta)
    with open(args.output, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
