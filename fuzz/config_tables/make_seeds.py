#!/usr/bin/env python3
# Writes the seed corpus: one well-formed record run per table, and a few cut ones.
import os
import struct

def s(text):
    b = text.encode()
    n = (len(b) + 6) & ~3
    return struct.pack('<H', len(b)) + b + b'\0' * (n - 2 - len(b))

def u(*v):
    return b''.join(struct.pack('<I', x & 0xFFFFFFFF) for x in v)

tables = {
    0: u(5000, 7, 1, 5, 6) + s('Blue'),
    1: u(7, 10) + s('1010'),
    2: u(7, 500) + s('boss'),
    3: u(10, 11, 2, 1, 0, 0, 0, 0, 1, 3) + struct.pack('<HHhH', 1, 0, 1, 0)
       + b''.join(s(x) for x in ['a', 'b', '1010', 'c', 'Ann', 'Lee', 'ann', 'desc', 'term'])
       + u(1, 2) + u(2) + struct.pack('<HH', 3, 0) + struct.pack('<hH', 3, 0),
    4: u(1, 11, 0) + struct.pack('<HH', 2, 0) + u(1, 0, 0, 0, 1, 0, 7) + b''.join(s(x) for x in ['', '', '', 'g', 'PG', 'pq']),
    5: u(20, 200, 20, 1, 0, 2, 1, 0, 1) + b''.join(s(x) for x in ['', '', '', 'svc', 'PG']) + u(1, 1, 2, 2),
    6: u(7) + struct.pack('<HH', 4, 0) + u(1, 7) + b''.join(s(x) for x in ['555', '', '100', 'dev']),
    7: u(30, 20, 1) + s('Sales') + s('ct'),
    8: u(*([0] * 10)) + struct.pack('<d', 12.5),
    9: u(1, 30, 11, 0),
    10: u(*range(15)) + struct.pack('<HH', 7, 0) + u(64, 68) + s('port'),
    11: u(2, 3600, 1) + s('Chat') + s('domain'),
    12: u(99, 0, 3, 2) + s('Phone1') + s('phone') + s('101') + s('102'),
}
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(here, exist_ok=True)
for table, rec in tables.items():
    for op, flags in ((1, 0), (3, 3)):
        with open(os.path.join(here, 'table%02d_op%d' % (table, op)), 'wb') as f:
            f.write(bytes([table, op, flags]) + rec + rec)
    with open(os.path.join(here, 'table%02d_cut' % table), 'wb') as f:
        f.write(bytes([table, 1, 0]) + rec[:len(rec) - 3])
