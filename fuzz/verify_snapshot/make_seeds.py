#!/usr/bin/env python3
"""Writes the seed corpus of the device snapshot fuzz target: u32 Count, u32 entry offset,
a flag byte (1 fix, 2 create calls), then the raw data: 84-byte entries {CallID, device ID
of 64 bytes, ID type, state count, state-list offset, silent-monitor status} and their state
lists. Run from this folder."""
import os
import struct

def u32(v): return struct.pack('<I', v & 0xFFFFFFFF)
def text(s, width): b = s.encode(); return b[:width] + b'\0' * (width - len(b[:width]))

def entry(callid, dev, typ, nstates, states_at, status):
    return u32(callid) + text(dev, 64) + u32(typ) + u32(nstates) + u32(states_at) + u32(status)

def seed(count, offset, flags, data):
    return u32(count) + u32(offset) + bytes([flags]) + data

def fair(flags):
    # State lists first (as the confirmation keeps them), then the entries.
    states = u32(3) + u32(4) + u32(2)
    entries = (entry(1, '1002', 0, 1, 0, 0) + entry(2, '1002', 0, 1, 4, 2) +
               entry(3, '1002', 0, 1, 8, 0) + entry(7, '1002', 0, 0, 0, 1))
    return seed(4, len(states), flags, states + entries)

seeds = {
    'fair_traces': fair(0),
    'fair_fix': fair(1),
    'fair_create': fair(2),
    'fair_both': fair(3),
    'empty': seed(0, 0, 3, b''),
    'count_beyond': seed(9, 0, 3, entry(1, '1002', 0, 1, 84, 0) + u32(3)),
    'negative_count': seed(0xFFFFFFFF, 0, 3, entry(1, '1002', 0, 1, 84, 0) + u32(3)),
    'offset_wraps': seed(1, 0xFFFFFFF0, 3, entry(1, '1002', 0, 1, 84, 0) + u32(3)),
    'states_outside': seed(1, 0, 3, entry(1, '1002', 0, 1, 4000, 0) + u32(3)),
    'state_count_wraps': seed(1, 0, 3, entry(1, '1002', 0, 0x40000001, 84, 0) + u32(3)),
    'unterminated_id': seed(1, 0, 3, entry(5, 'x' * 64, 1, 1, 84, 0) + u32(3)),
}
os.makedirs('corpus', exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join('corpus', name), 'wb') as f:
        f.write(data)
