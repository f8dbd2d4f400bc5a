"""The outbox's files seen from outside: read and written with Python's own struct and zlib,
from the layouts documented in src/outbox/file_layout.h, src/outbox/marks_layout.h and
src/outbox/stored_report.cpp, never with the library's code."""

import struct
import time
import zlib

from harness import appdata_folder

MAGIC = b"MOBX"


# --- the outbox seen from outside -----------------------------------------------------------

def local_appdata():
    return appdata_folder("Local")


def outbox_folder(app_id):
    return local_appdata() / "mirto" / app_id / "outbox"


def encode(host, path, body, priority=1, secure=True, port=443, created_ms=None):
    """One report, in the documented layout; built now unless `created_ms` says otherwise."""
    created_ms = int(time.time() * 1000) if created_ms is None else created_ms
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
    """The (sequence, decoded or None) of each report in an outbox file, in the layout of
    src/outbox/file_layout.h: a 16-byte header ("MOBF", layout 2, 0, CRC-32), then batches (a
    16-byte header: "MOBB", reports, payload bytes, CRC-32 of those 12 bytes and the payload;
    then per report its sequence number and the report). Files of the versions before are read
    too: bare parts, or one report alone. (None, None) stands for a damaged rest."""
    if data[:4] == b"MOBF":
        head_ok = (len(data) >= 16 and struct.unpack("<II", data[4:12]) == (2, 0) and
                   struct.unpack("<I", data[12:16])[0] == zlib.crc32(data[:12]))
        if not head_ok:
            return [(None, None)]
        found, at = [], 16
        while at < len(data):
            if len(data) - at < 16 or data[at:at + 4] != b"MOBB":
                return found + [(None, None)]
            count, size, crc = struct.unpack("<III", data[at + 4:at + 16])
            payload = data[at + 16:at + 16 + size]
            if len(payload) != size or zlib.crc32(payload, zlib.crc32(data[at:at + 12])) != crc:
                return found + [(None, None)]
            batch = bare_parts(payload)
            if len(batch) != count:
                return found + [(None, None)]
            found += batch
            at += 16 + size
        return found
    if data[:4] == MAGIC:
        return [(None, decode(data))]  # one report, its sequence number the file's name
    return bare_parts(data)


def bare_parts(data):
    """Sequence number and report, one after another."""
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


def batched_file(reports):
    """An outbox file of the current layout holding one batch of (sequence, report) pairs."""
    head = b"MOBF" + struct.pack("<II", 2, 0)
    head += struct.pack("<I", zlib.crc32(head))
    payload = b"".join(part(seq, report) for seq, report in reports)
    batch = b"MOBB" + struct.pack("<II", len(reports), len(payload))
    return head + batch + struct.pack("<I", zlib.crc32(payload, zlib.crc32(batch))) + payload


def batch_sizes(data):
    """How many reports each batch of an outbox file holds (a file of the versions before
    batches had headers is one batch)."""
    if data[:4] != b"MOBF":
        return [len(parts(data))]
    sizes, at = [], 16
    while at + 16 <= len(data):
        count, size = struct.unpack("<II", data[at + 4:at + 12])
        sizes.append(count)
        at += 16 + size
    return sizes


def windows_path(app_id, name):
    """A file of an application's outbox, as the game sees it."""
    user = appdata_folder("Local").parent.parent.name
    return "C:\\users\\%s\\AppData\\Local\\mirto\\%s\\outbox\\%s" % (user, app_id, name)


def marks(app_id):
    """(attempted, accepted ranges) from the outbox's "marks" file (src/outbox/marks_layout.h):
    two 4096-byte slots, the whole one with the higher generation counts. Each: "MOBM", layout 1,
    generation (8), attempted (8), ranges (4), CRC-32 of the 28 bytes before and of the ranges;
    then the ranges, (file, first, last) of 8 bytes each."""
    path = outbox_folder(app_id) / "marks"
    data = path.read_bytes() if path.exists() else b""
    best = None
    for at in (0, 4096):
        slot = data[at:at + 4096]
        if len(slot) < 32 or slot[:4] != b"MOBM":
            continue
        layout, generation, attempted, count, crc = struct.unpack("<IQQII", slot[4:32])
        ranges = slot[32:32 + 24 * count]
        if layout != 1 or len(ranges) != 24 * count or \
                zlib.crc32(ranges, zlib.crc32(slot[:28])) != crc:
            continue
        if best is None or generation > best[0]:
            best = (generation, attempted,
                    [struct.unpack("<QQQ", ranges[i:i + 24]) for i in range(0, len(ranges), 24)])
    return (best[1], best[2]) if best else (0, [])


def saved(app_id):
    """The saved reports still to be sent, oldest first: (sequence, decoded or None), and the
    report whose attempt began last. Reports in a range the marks hold for their file were
    accepted and are never sent again."""
    folder = outbox_folder(app_id)
    marked, accepted = marks(app_id)
    reports = []
    for f in sorted(folder.glob("*.rpt")):
        name = int(f.stem, 16)
        for seq, r in parts(f.read_bytes()):
            seq = name if seq is None and r is not None else seq
            if not any(file == name and first <= (seq or 0) <= last
                       for file, first, last in accepted):
                reports.append((seq, r))
    return reports, marked
