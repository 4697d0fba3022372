#!/usr/bin/env python3
"""Writes the seed corpus of opc_callmsgs: OPC's call message bodies laid out field by field
from the message tables (not with opcmsg), and a few hostile ones, each behind the byte that
makes the fuzz target choose its reader. Run from this folder: ./make_seeds.py"""
import os
import struct

def u32(*vals):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in vals)

def u16(*vals):
    return b"".join(struct.pack("<H", v & 0xFFFF) for v in vals)

def text(s):
    raw = s.encode()
    total = (len(raw) + 6) & ~3
    return struct.pack("<H", len(raw)) + raw + b"\0" * (total - 2 - len(raw))

def ecc(data, stated=None):
    fill = (4 - len(data) % 4) % 4
    return u32(len(data) if stated is None else stated) + data + b"\0" * fill

CREATED, DATA_UPDATE, STATE, RECLASSIFIED, TYPE_CHANGED = range(5)
UNREAD = 0xA5A5A5A5

TEXTS = ["4001", "8000", "6175551212", "", "800", "12345", "918005551212", "", "", ""]
VARIABLES = ["var1", "", "", "", "", "", "", "", "", "x" * 50]
# The reader keeps the BINDATA as it stands; 13 bytes leave 3 bytes of fill.
ECC = bytes(range(1, 14))
HISTORY = [("parlo-client", 0x5F000001), ("desk-7", 0x5F000002)]

def strings(texts, variables, extra=()):
    return b"".join(text(t) for t in list(texts) + list(variables) + list(extra))

def history(entries):
    return b"".join(text(sig) + u32(stamp) for sig, stamp in entries)

def created(call_id, hint=0, ecc_data=b"", entries=(), count=None, stated_ecc=None,
            texts=TEXTS, variables=VARIABLES):
    n = len(entries) if count is None else count
    fixed = (u32(5000) + u16(30, n, 1, 0) + u32(0, 0, UNREAD, call_id, 0, 0, 12)
             + u32(151234, 9876, 3) + u32(hint))
    return fixed + strings(texts, variables) + ecc(ecc_data, stated_ecc) + history(entries)

def data_update(call_id, hint=0, active=1, ecc_data=b"", entries=(), count=None, stated_ecc=None,
                src_ext="4001", dest_ext=""):
    n = len(entries) if count is None else count
    fixed = (u32(5000) + u16(30, n, 1, 0) + u32(0, 0, call_id, 12) + u16(active, 0xA5A5)
             + u32(0, 0) + u32(151234, 9876, 3) + u16(hint, 3, 2) + u16(0xA5A5))
    return (fixed + strings(TEXTS, VARIABLES, (src_ext, dest_ext)) + ecc(ecc_data, stated_ecc)
            + history(entries))

def state(call_id, dev_type, hint, dev):
    return u32(5000, UNREAD, call_id, dev_type, hint) + text(dev)

def reclassified(old_id, new_id, hint, old_dev, new_src, new_dest):
    return u32(5000, UNREAD, old_id, new_id, 0, 0, 0, hint) + text(old_dev) + text(new_src) + text(new_dest)

def type_changed(call_id, dev_type, call_type, dev):
    return u32(5000, call_id, dev_type, call_type) + text(dev)

SEEDS = [
    ("created_plain", CREATED, created(3001)),
    ("created_ecc_history", CREATED, created(3002, ecc_data=ECC, entries=HISTORY)),
    ("created_twenty_history", CREATED,
     created(3003, entries=[("client%d" % i, 100 + i) for i in range(20)])),
    ("created_negative_history", CREATED, created(3004, count=-1)),
    ("created_ecc_2000", CREATED, created(3005, ecc_data=bytes(range(250)) * 8)),
    ("created_ecc_lies", CREATED, created(3006, ecc_data=ECC, stated_ecc=400)),
    ("created_history_lies", CREATED, created(3007, entries=HISTORY, count=9)),
    ("update_query_response", DATA_UPDATE, data_update(3001, hint=5, ecc_data=ECC, entries=HISTORY)),
    ("update_inactive", DATA_UPDATE, data_update(3002, active=0, src_ext="", dest_ext="4002")),
    ("update_ecc_2001", DATA_UPDATE, data_update(3003, ecc_data=bytes(2001))),
    ("terminated_private", STATE, state(0xFFFFFFFF, 0xFFFFFFFF, 0, "")),
    ("terminated_transfer_primary", STATE, state(3001, 0, 2, "4001")),
    ("deactivated", STATE, state(3001, 0, 0, "4001")),
    ("state_string_lies", STATE, state(3001, 0, 0, "4001")[:20] + u16(300) + b"4001"),
    ("reclassified", RECLASSIFIED, reclassified(3001, 3002, 0, "4001", "4002", "8000")),
    ("reclassified_no_dest", RECLASSIFIED, reclassified(3001, 3002, 3, "4001", "4002", "")),
    ("type_changed", TYPE_CHANGED, type_changed(3001, 0, 27, "4001")),
]

def main():
    os.makedirs("corpus", exist_ok=True)
    for name, reader, body in SEEDS:
        with open(os.path.join("corpus", name), "wb") as f:
            f.write(bytes([reader]) + body)

if __name__ == "__main__":
    main()
