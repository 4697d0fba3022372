#!/usr/bin/env python3
"""Writes the seed corpus of opc_arm: one message of every type that OPC sends, laid out
field by field from the message tables (not with opcmsg), each behind the byte that makes
the fuzz target choose its type. Run from this folder: ./make_seeds.py"""
import os
import struct

def i32(*vals):
    return b"".join(struct.pack("<i", v) for v in vals)

def i16(*vals):
    return b"".join(struct.pack("<h", v) for v in vals)

def text(s):
    raw = s.encode()
    total = (len(raw) + 6) & ~3
    return struct.pack("<H", len(raw)) + raw + b"\0" * (total - 2 - len(raw))

def ecc(data):
    total = (len(data) + 7) & ~3
    return struct.pack("<i", len(data)) + data + b"\0" * (total - 4 - len(data))

# Valid BINDATA: scalar 1 = "abc", scalar 2 = "hello", array 3 with two elements.
BINDATA = i32(1) + b"abc\0" + i32(2) + b"hello\0" + i32(-3) + bytes([2]) + b"x\0" + b"yz\0"
UII = text("parlo-uii-1")
TASK = i32(1, 2, 3)
CALL_VARIABLES = b"".join(text("call variable %d" % n) for n in range(1, 11))
SNAPSHOT_TEXTS = text("script") + text("app one") + text("app two") + CALL_VARIABLES

SEEDS = [
    ("050_media_login_resp", i32(101, 0, 5001, 7) + UII),
    ("054_not_routable_resp", i32(102, 0, 8) + UII),
    ("057_not_ready_resp", i32(103, 0, 9) + UII),
    ("060_offer_app_task_resp", i32(104, 0, 10) + TASK + UII),
    ("063_start_app_task_resp", i32(105, 0, 11) + TASK + text("")),
    ("068_made_not_routable", i32(5000, 5001)),
    ("069_interrupt_advisory", i32(106, 5000, 5002, 5001)),
    ("072_interrupt_done_advisory", i32(107, 5000, 5001)),
    ("075_change_limit_resp", i32(108, 5000, 5001, 0, 12, 2) + UII),
    ("077_override_limit_resp", i32(109, 5000, 5001, 0, 13) + UII),
    ("081_agent_init_resp", i32(110, 0, 14) + UII),
    ("084_agent_init_ready", i32(3, 12)),
    ("085_failure_resp", i32(111, 25, 51, 12, 15) + UII),
    ("099_app_path_up_resp", i32(112, 0, 77, 12) + bytes([1, 0, 0, 0]) + i32(3, 5000, 5001, 5002, 1, 1, 2)),
    ("101_max_task_lifetime", TASK + i32(5001, 5000)),
    ("104_task_init_resp", i32(113, 0, 16) + TASK + UII),
    ("105_app_path_removed", i32(77)),
    ("113_get_agent_tasks_resp", i32(114, 5000, 5001, 0, 2, 17) + TASK + i32(4, 5, 6) + UII),
    ("115_snapshot_task_resp", i32(115, 5000, 5001) + TASK + i32(0, 10, 20, 1, 2, 3, 4, 5, 6, 18, 1)
     + SNAPSHOT_TEXTS + ecc(BINDATA) + UII),
    ("117_agent_tasks_begin", i32(5001, 12)),
    ("118_agent_tasks", i32(12, 5000, 5001, 2) + TASK + i32(4, 5, 6)),
    ("119_snapshot_task_event", i32(12, 5000, 5001) + TASK + i32(10, 20, 1, 2, 3, 4, 5, 6, 1)
     + SNAPSHOT_TEXTS + ecc(BINDATA)),
    ("120_agent_tasks_end", i32(5001, 12, 0)),
    ("107_route_register_resp", i32(116, 19) + i16(0, 0)),
    ("108_route_request", i32(117, 5000, 77, 9) + i16(3, -1) + i32(10) + i16(3, 1)
     + text("8000") + text("5551234") + text("4001") + text("4002") + text("42") + CALL_VARIABLES + ecc(BINDATA)),
    ("110_route_end", i32(118, 77) + i16(1008, 0)),
]

def main():
    os.makedirs("corpus", exist_ok=True)
    for index, (name, body) in enumerate(SEEDS):
        with open(os.path.join("corpus", name), "wb") as f:
            f.write(bytes([index]) + body)

if __name__ == "__main__":
    main()
