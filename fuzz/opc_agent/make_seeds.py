#!/usr/bin/env python3
"""Writes the seed corpus of opc_agent: well-formed agent-side bodies laid out field by field
from the message tables (not with opcmsg), and a few hostile ones, each behind the byte that
makes the fuzz target choose its reader. Run from this folder: ./make_seeds.py"""
import os
import struct

def u32(*vals):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in vals)

def i16(*vals):
    return b"".join(struct.pack("<h", v) for v in vals)

def text(s):
    raw = s.encode()
    total = (len(raw) + 6) & ~3
    return struct.pack("<H", len(raw)) + raw + b"\0" * (total - 2 - len(raw))

AGENT_EVENT, AGENT_STATE, AGENT_REMOVED, PG_STATUS, CLIENT_STATUS = range(5)

def agent_record(periph, state, agent_id, ext, inst, mrd=1, stid=9001):
    fixed = (u32(periph) + struct.pack("<H", 30) + i16(9, state) + struct.pack("<H", 0)
             + u32(10, 20, stid, 7, 9101, 0x80000011) + i16(1, 0)
             + u32(1, mrd, 0, 1, 0, 0, 0, 0))
    return fixed + text(ext) + text(agent_id) + text(inst) + text("desk") + text("term") + text("uii-1")

def agent_state(invoke, periph, ptype, state, agent_id, ext, inst, groups, lines, client_invoke=5):
    fixed = (u32(invoke, periph) + i16(ptype, state) + u32(30, 9002, 7, 9101, 0x80000011)
             + i16(len(lines), 0) + u32(0) + i16(len(groups), 1)
             + u32(0, 1, 0, 1, 0, 0, 0, client_invoke))
    body = fixed + text("uii-1") + text(ext) + text(agent_id) + text(inst) + text("sig")
    for number, stid, st in groups:
        body += u32(number, stid) + i16(st, 0)
    for index, ltype, call, stype, dtype, src, dst in lines:
        body += u32(index, ltype, call, stype, dtype) + text(src) + text(dst)
    return body

SEEDS = [
    ("event_login", AGENT_EVENT, u32(1) + agent_record(5000, 0, "1001", "4001", "4001")),
    ("event_two_records", AGENT_EVENT,
     u32(2) + agent_record(5000, 3, "1002", "4002", "4002") + agent_record(5000, 2, "1003", "-", "-", mrd=5)),
    ("event_count_lies", AGENT_EVENT, u32(3) + agent_record(5000, 1, "1001", "4001", "4001")),
    ("state_logged_in_call", AGENT_STATE,
     agent_state(0x75000001, 5000, 30, 4, "1002", "4002", "4002",
                 [(0x80000011, 9101, 3), (0xFFFFFFFF, 0, 9)],
                 [(0, 0, 3001, 0, 0, "4002", "8000"), (1, 3, 0xFFFFFFFF, 0, 0, "", "")])),
    ("state_unknown_agent", AGENT_STATE, agent_state(0xFFFFFFFF, 5000, -1, 9, "", "", "", [], [])),
    ("state_line_count_lies", AGENT_STATE,
     agent_state(0x75000002, 5000, 30, 1, "1001", "4001", "4001", [], [])[:32] + i16(200)
     + agent_state(0x75000002, 5000, 30, 1, "1001", "4001", "4001", [], [])[34:]),
    ("removed_one", AGENT_REMOVED, u32(5000) + text("1001")),
    ("removed_all", AGENT_REMOVED, u32(5000) + text("-1")),
    ("pg_online", PG_STATUS, u32(0, 3, 5000, 0, 0) + text("")),
    ("pg_text", PG_STATUS, u32(4, 5, 0, 0, 0) + text("abc")),
    ("client_status_resp", CLIENT_STATUS, u32(0x75000003, 0)),
]

def main():
    os.makedirs("corpus", exist_ok=True)
    for name, reader, body in SEEDS:
        with open(os.path.join("corpus", name), "wb") as f:
            f.write(bytes([reader]) + body)

if __name__ == "__main__":
    main()
