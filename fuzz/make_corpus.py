#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The archives and catalogs come from the project's fixture tool
(tools/fixtures/make_archive.py); serialized errors and command lines, which that tool
does not make, are written here in their own byte forms. The output is deterministic:
run it again after changing a seed and commit what changed.

  make_corpus.py [OUT_DIR]      (default: the corpus folder beside this script)
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE_TOOL = os.path.join(HERE, "..", "tools", "fixtures", "make_archive.py")

CATALOG = "ormivane_packed.msg"

# Archives: a handful of entries of each kind the reader meets.
ENTRIES = [
    {"name": "ormivane_tool.exe", "text": "#!/bin/sh\necho tool\n", "method": 8},
    {"name": "libzeta.dll", "repeat": ["abc", 40], "method": 8},
    {"name": "resource.xml", "text": "<resources/>\n"},
    {"name": "de/" + CATALOG, "text": "catalog stand-in", "method": 8, "descriptor": True},
    {"name": CATALOG, "text": "catalog stand-in"},
]

ZIP_SEEDS = {
    "plain.zip": {"entries": ENTRIES},
    "comment.zip": {"entries": ENTRIES[:2], "comment": "packed"},
    "prefix.zip": {"entries": ENTRIES[2:], "prefix": 40},
    "single_stored.zip": {"entries": [{"name": "a.txt", "text": "0123456789"}]},
    "empty_entry.zip": {"entries": [{"name": "dir/", "text": ""}, {"name": "DIR\\x", "text": "b"}]},
    "bad_crc.zip": {"entries": [{"name": "x.dll", "text": "payload", "method": 8, "crc": 1}]},
    "cut_deflate.zip": {"entries": [{"name": "x.dll", "random": [300, 7], "method": 8, "truncate": 20}]},
    "method_other.zip": {"entries": [{"name": "x.bin", "text": "raw", "method": 12}]},
}

ELF_SEEDS = {
    "elf32.elf": {"class": 32, "sections": [{"name": ".text", "hex": "90" * 16},
                                             {"name": ".zip", "zip": {"entries": ENTRIES[:3]}}]},
    "elf64.elf": {"class": 64, "sections": [{"name": ".zip", "zip": {"entries": ENTRIES[2:]}},
                                             {"name": ".bss", "size": 4096}]},
    "elf64_big_endian_byte.elf": {"class": 64, "data": 2,
                                  "sections": [{"name": ".zip", "zip": {"entries": ENTRIES[:1]}}]},
    "elf32_zip_with_comment.elf": {"class": 32, "sections": [
        {"name": ".zip", "zip": {"entries": ENTRIES[:1], "comment": "c"}}]},
}

CATALOG_SEEDS = {
    "generated.msg": [],
    "placeholders.msg": ["--text", "375={0} and {1} and {12345678901} and {", "--text", "2=Error"],
    "no_last_terminator.msg": ["--text", "453=tail", "--strip-last-terminator"],
    "odd_texts.msg": ["--odd-text", "26=Error", "--odd-text", "375=odd {0} text", "--odd-text", "367=x"],
}

CMDLINE_SEEDS = {
    "blanks": "a  b\tc",
    "shell_quotes": '"a b" c \'x\\y\'',
    "backslashes": 'a\\ b "a\\"b\\\\c\\d"',
    "adjacent_quotes": 'a""b "a""b" "a"\'b\'',
    "empty_token": '""',
    "windows_runs": 'a\\\\\\"b c\\\\"d e"',
    "unbalanced": '"abc',
    "trailing_backslash": "ab\\",
    "wide": "\u00e9\u4e2d \U0001F600",
}


def fixture(*args):
    subprocess.run([sys.executable, FIXTURE_TOOL] + list(args), check=True)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def archives(out, tmp):
    for name, spec in ZIP_SEEDS.items():
        fixture("zip", os.path.join(out, name), json.dumps(spec))
    for name, spec in ELF_SEEDS.items():
        fixture("elf", os.path.join(out, name), json.dumps(spec))


def catalogs(out, tmp):
    for name, options in CATALOG_SEEDS.items():
        fixture("catalog", os.path.join(out, name), *options)


def cstring(text):
    return text.encode("utf-8") + b"\0"


def blob_record(code, low, high, text, params, file=None, func=None, line=0):
    out = struct.pack("<III", code, low, high) + cstring(text)
    for name, kind, value in params:
        out += cstring(name) + kind.encode()
        out += struct.pack("<Q", value) if kind == "N" else cstring(value)
    if file is not None:
        out += cstring("$file") + b"A" + cstring(file)
    if func is not None:
        out += cstring("$func") + b"A" + cstring(func)
    if line:
        out += cstring("$line") + b"N" + struct.pack("<Q", line)
    return out + b"\0"


def error_blobs(out, tmp):
    module = ("$module", "A", "ormivane_packed_lx_31346")
    head = blob_record(0x4000E, 0x60C17F5C + 28, 0x86137B9D, "The operation is not supported.",
                       [module], "core/file/zipfile", "OpenDir", 28)
    errno = blob_record(0xFFF1, 0x64EDB7BE + 200, 0xBD28FDBD, "", [("code", "N", 2)])
    wide = blob_record(0x40001, 1, 2, "Error occurred while reading the file.\nsecond line",
                       [("path", "W", "/tmp/\u00e9t\u00e9"), ("file", "A", "x"), ("n", "N", 7)],
                       "core/common/zipopen", "Read", 74)
    seeds = {
        "empty.blob": b"\x01",
        "one_record.blob": b"\x01" + head,
        "chain.blob": b"\x01" + wide + head + errno,
        "cut_second.blob": (b"\x01" + head + errno)[:-5],
        "duplicate_names.blob": b"\x01" + blob_record(3, 0, 0, "t", [("a", "N", 1), ("a", "A", "s")]),
    }
    for name, data in seeds.items():
        write(os.path.join(out, name), data)


def command_lines(out, tmp):
    for name, text in CMDLINE_SEEDS.items():
        write(os.path.join(out, name), text.encode("utf-16-le"))


def chunk(kind, payload):
    return struct.pack("<BH", kind, len(payload)) + payload


def entry_record(kind, mode, uid=0xFFFFFFFF, gid=0xFFFFFFFF, extra=b""):
    return struct.pack("<IIIII", 20 + len(extra), kind, uid, gid, mode) + extra


def stream(ident, body, name=b""):
    return struct.pack("<IIQI", ident, 0, len(body), len(name)) + name + body


def restores(out, tmp):
    """Restore scripts: a control byte (bit 0 a callback, bit 1 ignore times, bits 2-3
    the answer to the security question, bits 4-6 the name restored: 0 the plain entry,
    the others a planted link or a name through one), a cancellation byte (cancelled from
    that question on; 0 never), then chunks: type, u16 length, payload."""
    times = struct.pack("<QQ", 1600000000000, 1500000000000)
    xattr = struct.pack("<HQ", len(b"user.fuzz") + 1, 3) + b"user.fuzz\0" + b"abc"
    link = "dest/x".encode("utf-16-le")
    streams = (stream(1, b"data from a stream") + stream(9, struct.pack("<Q", 4096) + b"sparse")
               + stream(1, b"skipped", name="n".encode("utf-16-le")) + stream(9, struct.pack("<Q", 8192)))
    seeds = {
        "file": bytes([0x01, 0]) + chunk(1, struct.pack("<I", 0x20)) + chunk(4, b"hello, world\n")
                + chunk(5, times) + chunk(6, entry_record(0, 0o100640)) + chunk(7, xattr)
                + chunk(10, struct.pack("<I", 0)),
        "directory": bytes([0x00, 0]) + chunk(1, struct.pack("<I", 0x10)) + chunk(5, times)
                     + chunk(6, entry_record(128, 0o40750)),
        "symlink": bytes([0x05, 0]) + chunk(6, entry_record(5, 0o120777, extra=struct.pack("<H", 6) + link + b"\0\0")),
        "fifo": bytes([0x03, 0]) + chunk(6, entry_record(3, 0o10600)),
        "streams": bytes([0x00, 0]) + chunk(2, streams) + chunk(4, b"appended"),
        "cancel": bytes([0x01, 2]) + chunk(4, b"first") + chunk(4, b"second"),
        "owner_refused": bytes([0x01, 0]) + chunk(4, b"x") + chunk(6, entry_record(0, 0o100600, 4000000000, 12)),
        "reserved_first": bytes([0x00, 0]) + chunk(3, b"") + chunk(4, b"never"),
        "device_short": bytes([0x00, 0]) + chunk(6, entry_record(1, 0o20600)),
        "file_over_hard_link": bytes([0x10, 0]) + chunk(4, b"over a hard link") + chunk(5, times)
                               + chunk(6, entry_record(0, 0o104755, 0, 0)),
        "symlink_over_link": bytes([0x20, 0])
                             + chunk(6, entry_record(5, 0o120777, extra=struct.pack("<H", 6) + link + b"\0\0")),
        "directory_below_link": bytes([0x40, 0]) + chunk(1, struct.pack("<I", 0x10))
                                + chunk(6, entry_record(128, 0o40700, 0, 0)),
        "file_through_link": bytes([0x50, 0]) + chunk(4, b"through a link") + chunk(6, entry_record(0, 0o100600)),
        "fifo_over_directory_link": bytes([0x60, 0]) + chunk(6, entry_record(3, 0o10666, 0, 0)),
    }
    for name, data in seeds.items():
        write(os.path.join(out, name), data)


TARGETS = {
    "zip_archive": archives,
    "catalog": catalogs,
    "error_blob": error_blobs,
    "cmdline": command_lines,
    "restore": restores,
}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
    with tempfile.TemporaryDirectory() as tmp:
        for target, make in TARGETS.items():
            out = os.path.join(root, target)
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            make(out, tmp)


if __name__ == "__main__":
    main()
