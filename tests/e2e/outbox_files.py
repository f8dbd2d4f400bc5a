"""The outbox's files seen from outside: read and written with Python's own struct and zlib,
from the layout documented in src/outbox/stored_report.cpp, never with the library's code."""

import struct
import zlib

from harness import appdata_folder

MAGIC = b"MOBX"


# --- the outbox seen from outside -----------------------------------------------------------

def local_appdata():
    return appdata_folder("Local")


def outbox_folder(app_id):
    return local_appdata() / "mirto" / app_id / "outbox"


def encode(host, path, body, priority=1, secure=True, port=443, created_ms=1700000000000):
    """One report, in the documented layout."""
    h, p = host.encode("utf-16-le"), path.encode("utf-16-le")
    head = MAGIC + struct.pack("<IIIIQIII", 1, priority, 1 if secure else 0, port, created_ms,
                               len(h) // 2, len(p) // 2, len(body))
    rest = h + p + body
    return head + struct.pack("<I", zlib.crc32(rest, zlib.crc32(head))) + rest


def part(sequence, report):
    """A report's part of an outbox file: its sequence number, then the report."""
    return struct.pack("<Q", sequence) + report


def decode(data):
    """(host, path, body) of a whole, undamaged report, or None."""
    if len(data) < 44 or data[:4] != MAGIC:
        return None
    fmt, prio, flags, port, created, hu, pu, bl = struct.unpack("<IIIIQIII", data[4:40])
    (crc,) = struct.unpack("<I", data[40:44])
    if fmt != 1 or len(data) != 44 + 2 * (hu + pu) + bl:
        return None
    if zlib.crc32(data[44:], zlib.crc32(data[:40])) != crc:
        return None
    text = data[44:]
    return (text[:2 * hu].decode("utf-16-le"), text[2 * hu:2 * (hu + pu)].decode("utf-16-le"),
            text[2 * (hu + pu):])


def parts(data):
    """The (sequence, decoded or None) of each report in an outbox file; None for a damaged
    rest."""
    found, at = [], 0
    while at < len(data):
        if len(data) - at < 52:
            return found + [(None, None)]
        (sequence,) = struct.unpack("<Q", data[at:at + 8])
        hu, pu, bl = struct.unpack("<III", data[at + 8 + 28:at + 8 + 40])
        size = 8 + 44 + 2 * (hu + pu) + bl
        if at + size > len(data):
            return found + [(None, None)]
        found.append((sequence, decode(data[at + 8:at + size])))
        at += size
    return found


def saved(app_id):
    """The saved reports still to be sent, oldest first: (sequence, decoded or None), and the
    report whose attempt began last. The attempt file holds that one's sequence number, then
    the last one the collector accepted: reports up to that one are never sent again."""
    folder = outbox_folder(app_id)
    mark = folder / "attempt"
    marks = (mark.read_bytes() if mark.exists() else b"") + bytes(16)
    marked, accepted = struct.unpack("<QQ", marks[:16])
    reports = []
    for f in sorted(folder.glob("*.rpt")):
        reports.extend((seq, r) for seq, r in parts(f.read_bytes())
                       if seq is None or seq > accepted)
    return reports, marked
