"""Journals as background logging writes them (a magic line, then frames of a
length, a CRC-32 and a payload), for the tests and benchmarks that plant them."""
import os
import struct
import zlib

MAGIC = b"tavro-journal 1\n"


def frame(payload):
    head = struct.pack("<I", len(payload))
    return head + struct.pack("<I", zlib.crc32(payload, zlib.crc32(head))) + payload


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return struct.pack("<I", len(data)) + data


def header(uri, run_id):
    return MAGIC + frame(b"H" + struct.pack("<I", 1) + text(uri) + text(run_id) + struct.pack("<qB", 4242, 0))


def metric(seq, key, value, step):
    return b"M" + struct.pack("<Q", seq) + text(key) + struct.pack("<dqq", value, 1700000000000 + step, step)


def plant(path, uri, run_id, *records):
    """A journal whose header names ``uri`` and ``run_id``, holding ``records`` (payloads)."""
    with open(path, "wb") as f:
        f.write(header(uri, run_id) + b"".join(frame(r) for r in records))
    os.chmod(path, 0o600)
