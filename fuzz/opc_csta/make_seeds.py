#!/usr/bin/env python3
"""Writes the seed corpus of the CTI_CSTA_MESSAGE fuzz target: one message of every
confirmation type and of every event the stand-in OPC sends, laid out byte by byte here
(apart from opcmsg) so that the seeds also check the reader. Run from this folder."""
import os
import struct

def u16(v): return struct.pack('<H', v & 0xFFFF)
def u32(v): return struct.pack('<I', v & 0xFFFFFFFF)
def text(s, width): b = s.encode(); return b[:width] + b'\0' * (width - len(b[:width]))
def string(s):
    b = s.encode(); size = (len(b) + 6) & ~3
    return u16(len(b)) + b + b'\0' * (size - 2 - len(b))
def conn(cid, dev, typ=0): return u32(cid) + text(dev, 64) + u32(typ)
def static_device(dev): return text(dev, 64) + u32(0) + u32(0)

def ecc_block(data):
    return u32(len(data)) + data + b'\0' * ((4 - len(data) % 4) % 4)

def message(cls, typ, body, raw=b'', opc=b'', uii='', dev='', callid=0xFFFFFFFF, ecc=b'',
            texts=None):
    fixed = bytearray(244)
    fixed[0:4] = u32(5)                # PeripheralID
    fixed[4:6] = u16(17)               # peripheral type
    fixed[8:12] = u32(callid)
    fixed[12:16] = u32(0xFFFFFFFF)     # SkillTargetID
    fixed[28:32] = u32(0)
    for i in range(44): fixed[32 + 4 * i:36 + 4 * i] = u32(0xFFFFFFFF)
    fixed[208:212] = u32(len(body))
    fixed[212:216] = u32(len(raw))
    fixed[216:220] = u32(len(opc))
    fixed[220:224] = u32(1)            # voice domain
    # Position 17 is the ECC block; an empty one is four zero bytes, as an empty string is.
    texts = texts or [''] * 14
    strings = string(uii) + string(dev) + b''.join(string(t) for t in texts) + ecc_block(ecc) + \
        string('')
    return bytes(fixed) + strings + u16(5) + u16(cls) + u16(typ) + body + raw + opc

def conf(typ, fields=b'', raw=b'', opc=b''):
    return message(5, typ, u32(0x01000042) + u32(77) + fields, raw, opc, uii='sess1')

line_pd = u32(7) + u32(1)
seeds = {}
for t in (2, 4, 6, 8, 10, 16, 18, 20, 22, 40, 42, 44, 46, 48, 50, 131, 159, 210, 212):
    seeds['conf_%03d' % t] = conf(t)
parties = b''.join(conn(900 + i, '10%d' % i) + static_device('10%d' % i) for i in range(2))
for t in (12, 52):
    seeds['conf_%03d' % t] = conf(t, conn(900, '1001') + u32(2) + u32(0), parties, line_pd)
for t in (14, 24, 26):
    seeds['conf_%03d' % t] = conf(t, conn(901, '1001.22.3', 1), opc=line_pd)
for t in (135, 138, 141):
    seeds['conf_%03d' % t] = conf(t, conn(902, '2002'), opc=line_pd)
seeds['conf_028'] = conf(28, b'\x01')
seeds['conf_030'] = conf(30, b'\x00')
fwd = u16(2) + b'\0\0' + b''.join(u32(i) + b'\x01' + text('300%d' % i, 64) + b'\0' * 3 for i in range(2))
seeds['conf_032'] = conf(32, fwd)
seeds['conf_034'] = conf(34, u32(3))
seeds['conf_036'] = conf(36, text('5551234', 64))
devinfo = bytearray(960)
devinfo[0:4] = u32(17); devinfo[4:8] = u32(2)
for i in range(10):
    devinfo[44 + 4 * i:48 + 4 * i] = u32(i if i < 2 else 0xFFFFFFFF)
    devinfo[84 + 4 * i:88 + 4 * i] = u32(3)
seeds['conf_038'] = conf(38, text('1001', 64) + u32(0) + b'\x10' + b'\0' * 3, opc=bytes(devinfo))
seeds['conf_053'] = conf(53, u32(12), opc=u32(4711))
snap_entries = b''.join(static_device('10%d' % i) + conn(903, '10%d' % i) + u32(3) for i in range(2))
snapcall = bytearray(320)
snapcall[0:4] = u32(1); snapcall[4:8] = u32(2); snapcall[8:80] = conn(0xFFFFFFFF, '')
seeds['conf_121'] = conf(121, u32(2) + u32(0), snap_entries, bytes(snapcall))
lists = u32(3) + u32(4)
entries = conn(904, '1001') + u32(1) + u32(0) + u32(0) + conn(905, '1001') + u32(1) + u32(4) + u32(0)
seeds['conf_123'] = conf(123, u32(2) + u32(8), lists + entries)

def event(typ, fields=b'', opc=b'', cls=4):
    return message(cls, typ, u32(1) + fields, opc=opc, dev='1001', callid=906)
for t in (54, 56, 57, 59):
    seeds['event_%03d' % t] = event(t, conn(906, '1001') + u32(22))
si = u32(12) + u32(1) + u32(0) + u32(3) + conn(907, '1002.1.2', 1) + text('22', 16) + \
    u32(5000) + u32(150001) + u32(33) + string('corr5')
seeds['event_066'] = event(66, conn(906, '1001'), si)
rti = u32(1) + u32(0) + u32(2) + u32(1) + u32(0x7FFFFFFF) + u32(0) + b''.join(
    string(s) for s in ('corr', '', '10.0.0.9', 'term', 'fork', 'guid-1', 'cluster', 'sip:rec', ''))
seeds['event_208'] = event(208, conn(906, '1001'), rti)
seeds['private_093'] = event(93, u32(4) + u32(906), opc=u32(4) + u32(906), cls=6)

# Strings 3 to 16 and ECC blocks of several paddings, up to the 2000 bytes a block may hold.
ecc_var = u32(2) + b'\x05' + b'user.a' + b'\x02' + b'42'  # any BINDATA: the unpacker does not read it
texts = ['wrapup', 'script', 'app1', 'app2'] + ['cv%d' % i for i in range(1, 11)]
for n in (1, 2, 3, 4, 13):
    seeds['ecc_event_057_%04d' % n] = message(4, 57, u32(1) + conn(906, '1001') + u32(22), dev='1001',
                                              callid=906, ecc=(ecc_var * 4)[:n], texts=texts)
seeds['ecc_conf_024_2000'] = message(5, 24, u32(0x01000042) + u32(77) + conn(901, '1001'), opc=line_pd,
                                     uii='sess1', ecc=bytes(range(256)) * 7 + bytes(208))

for name, data in seeds.items():
    with open(os.path.join('corpus', name), 'wb') as f:
        f.write(data)
print(len(seeds), 'seeds')
