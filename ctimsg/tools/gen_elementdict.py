#!/usr/bin/env python3
"""Writes ctimsg/elementdict.def from the dictionary tables of the protocol document.

usage: gen_elementdict.py DOCUMENT.md > ctimsg/elementdict.def

Reads every markdown table row whose first cell is an element id 1..723 between the
headings of the three dictionary sections, and turns the free-text behaviour column into
CHECK_/TEXT_/Special tokens. Anything it does not understand stops it.
"""
import re
import sys

SECTIONS = ("Element dictionary, fixed-part fields 1 to 215",
            "Element dictionary, floating fields",
            "Element dictionary, fixed-part fields 216 to 431")

# Ids with a name but no field class: (id, name, tag, tag name, element the tag fills).
NAME_ONLY = [
    (73, "AlertCallerFirst", 0, "", 0),
    (383, "EnvUpdateType", 0, "", 0),
    (504, "CallState", 75, "CALL_STATE_TAG", 504),
    (555, "ServiceMemberID", 135, "SERVICE_MEMBER_ID_TAG", 555),
    (556, "ServiceMemberPriority", 136, "SERVICE_MEMBER_PRIORITY_TAG", 556),
    (559, "SkillGroup", 139, "SKILL_GROUP_TAG", 559),
    (561, "Service", 142, "SERVICE_TAG", 561),
    (562, "RouteID", 143, "ROUTE_ID_TAG", 562),
    (563, "Day", 144, "DAY_TAG", 563),
    (564, "DateTime", 145, "DATE_TIME_TAG", 564),
    (565, "PeripheralCallType", 146, "PERIPHERAL_CALL_TYPE_TAG", 565),
    (566, "PeripheralCallKey", 147, "PERIPHERAL_CALL_KEY_TAG", 566),
    (577, "BillRate", 158, "BILL_RATE_TAG", 577),
    (578, "CallSegmentTime", 159, "CALL_SEGMENT_TIME_TAG", 578),
    (580, "NewTransaction", 161, "NEW_TRANSACTION_TAG", 580),
    (581, "RecoveryDay", 162, "RECOVERY_DAY_TAG", 581),
    (583, "NetworkTargetID", 164, "NETWORK_TARGET_ID_TAG", 583),
    (586, "NUVCallKey", 167, "NUV_CALL_KEY_TAG", 586),
    (587, "NUVCallKeyParent", 168, "NUV_CALL_KEY_PARENT_TAG", 587),
    (588, "AnsweredWithinServiceLevel", 169, "ANSWERED_WITHIN_SERVICE_LEVEL_TAG", 588),
    (589, "Priority", 170, "PRIORITY_TAG", 69),
    (591, "SuorceAgentSkillTargetID", 172, "SOURCE_AGENT_SKILL_TARGET_ID_TAG", 591),
    (618, "PriorityQueueNumber", 203, "PRIORITY_QUEUE_NUMBER_TAG", 618),
]

# Tags no row names: (tag, name, element it fills).
TAG_ONLY = [
    (54, "FORWARD_DEVID_TAG", 0),
    (55, "LAST_NUMBER_DEVID_TAG", 0),
    (82, "NAMED_VARIABLE_TAG", 511),
    (102, "LABEL_TAG", 0),
    (103, "SCRIPT_ID_TAG", 0),
    (104, "SCRIPT_CONFIGURATION_TAG", 0),
    (105, "HOSTNAME_TAG", 0),
    (106, "VER_NUMBER_TAG", 0),
    (124, "DEQUEUE_TYPE_TAG", 0),
] + [(t, "*INVALID TAG*", 0) for t in (127, 128, 140, 181, 182, 196, 197, 226, 227)] + [
    (256, "INVALID TAG", 0),
]

BASES = {"UINTElement", "INTElement", "USHORTElement", "UCHARElement", "BOOLElement",
         "STRINGElement", "UNSPECElement", "TaskIDType", "DataStructureField", "ECCElement",
         "MaskBits", "DeviceIDType", "ConnectionDeviceIDType", "CTIAgentState",
         "AgentID_Long"}


def num(s):
    return int(s, 16) if s.lower().startswith("0x") else int(s)


def parse_check(c):
    m = re.fullmatch(r"check (.+), else (\d+)", c)
    if not m:
        return None
    rule, code = m.group(1), int(m.group(2))
    if rule == "1-61, 1001-1066 or 0xFFFF":
        return f"CHECK_EVENT_CAUSE({code})"
    if rule == "not empty":
        return f"CHECK_NOT_EMPTY({code})"
    if rule == "digits only":
        return f"CHECK_DIGITS({code})"
    if rule == "must be 0":
        return f"CHECK_RANGE(0, 0, {code})"
    if rule == "0, 1 or 0xFFFF":
        return f"CHECK_RANGE_OR_NONE(0, 1, {code})"
    if rule == "1 or 2":
        return f"CHECK_RANGE(1, 2, {code})"
    m = re.fullmatch(r"count ≤ (\d+)", rule)
    if m:
        return f"CHECK_RANGE(0, {m.group(1)}, {code})"
    m = re.fullmatch(r"(\d+)-(\d+)", rule)
    if m:
        return f"CHECK_RANGE({m.group(1)}, {m.group(2)}, {code})"
    m = re.fullmatch(r"< (0x[0-9A-Fa-f]+|\d+)", rule)
    if m:
        return f"CHECK_RANGE(0, {hex(num(m.group(1)) - 1)}, {code})"
    m = re.fullmatch(r"≤ (\d+) or 0xFFFF", rule)
    if m:
        return f"CHECK_RANGE_OR_NONE(0, {m.group(1)}, {code})"
    m = re.fullmatch(r"≤ (\d+)", rule)
    if m:
        return f"CHECK_RANGE(0, {m.group(1)}, {code})"
    raise SystemExit(f"unknown check: {c}")


TEXTS = {"text hex": "TEXT_HEX", "text N/A": "TEXT_NA", "text N/A at 255": "TEXT_NA255",
         "text time stamp": "TEXT_TIMESTAMP", "text bare": "TEXT_BARE",
         "text bit names": "TEXT_BITNAMES"}

SPECIALS = [
    ("encoding and checks by version", "ByVersion"),
    ("never traced", "NeverTraced"),
    ("own trace flag", "OwnTraceFlag"),
    ("built present with 0", "BuiltZero"),
    ("always 8 bytes", "FixedBytes"),
    ("family base", "FamilyBase"),
    ("REMask entries", "REMaskArray"),
    ("member of each", "REMaskMember"),
    # Described by the base or by the row's data alone.
    ("2-byte length in every version", None),
    ("element id 499, not 504", None),
    ("same element id as", None),
    ("tag without a name", None),
]


def parse_behaviour(own):
    check, text, special = "CHECK_NONE", "TEXT_NONE", "None"
    # Cross-references to other sections carry no behaviour of their own; a bare one means
    # the base class describes the field.
    own = re.sub(r"\s*\(Part [\d.]+\)", "", own)
    for part in [p.strip() for p in own.split(";") if p.strip()]:
        if re.fullmatch(r"Part [\d.]+", part):
            continue
        c = parse_check(part)
        if c:
            check = c
            continue
        m = re.fullmatch(r"text `(\w+)`", part)
        if m:
            text = f"TEXT_NAME({m.group(1)})"
            continue
        if part in TEXTS:
            text = TEXTS[part]
            continue
        for key, sp in SPECIALS:
            if key in part:
                if sp:
                    special = sp
                break
        else:
            raise SystemExit(f"unknown behaviour: {part}")
    return check, text, special


def unquote(s, what):
    m = re.fullmatch(r"`([^`]+)`", s)
    if not m:
        raise SystemExit(f"bad {what}: {s}")
    return m.group(1)


def main():
    lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
    rows = []
    section = None
    for line in lines:
        if line.startswith("# "):
            section = next((s for s in SECTIONS if s in line), None)
            continue
        if not section or not re.match(r"\| \d+ \|", line):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        floating = len(cells) == 8
        if floating:
            eid, cls, trace, tag, base, nbytes, frm, own = cells
        else:
            eid, cls, trace, base, nbytes, frm, own = cells
            tag = ""
        eid = int(eid)
        base = unquote(base, "base")
        if base not in BASES:
            raise SystemExit(f"unknown base {base}")
        member = cls.startswith("member of")
        cls = None if member else unquote(cls, "class")
        trace = trace.strip('"') if trace else cls
        if not trace:
            raise SystemExit(f"no trace name for {eid}")
        tagnum, tagname = 0, ""
        if tag:
            first = tag.split(",")[-1].strip()  # the call context lists 82 then its own 83
            m = re.fullmatch(r"(\d+)(?: `(\w+)`)?", first)
            if not m:
                raise SystemExit(f"bad tag {tag}")
            tagnum, tagname = int(m.group(1)), m.group(2) or ""
        check, text, special = parse_behaviour(own)
        rows.append((eid, cls, base, int(nbytes), int(frm) if frm else 2, tagnum, tagname,
                     trace, check, text, special))
    rows.sort(key=lambda r: r[0])  # stable: keeps the order of the two classes of an id

    out = sys.stdout
    out.write("// Generated by ctimsg/tools/gen_elementdict.py; the columns are explained in\n"
              "// ctimsg/elementdict.h. Keep the misspellings: they are the protocol's own.\n")
    for mac, params in (("ELEM", "..."), ("ELEM_MEMBER", "..."), ("NAME_ONLY", "..."),
                        ("TAG_ONLY", "...")):
        out.write(f"#ifndef {mac}\n#define {mac}({params})\n#define ELEMDICT_UNDEF_{mac}\n#endif\n")
    out.write("\n")
    for (eid, cls, base, nbytes, frm, tagnum, tagname, trace, check, text, special) in rows:
        tail = f'{base}, {nbytes}, {frm}, {tagnum}, "{tagname}", "{trace}", {check}, {text}, {special})'
        if cls:
            out.write(f"ELEM({eid}, {cls}, {tail}\n")
        else:
            out.write(f"ELEM_MEMBER({eid}, {tail}\n")
    out.write("\n")
    for (eid, name, tag, tagname, fills) in NAME_ONLY:
        out.write(f'NAME_ONLY({eid}, "{name}", {tag}, "{tagname}", {fills})\n')
    out.write("\n")
    for (tag, name, fills) in TAG_ONLY:
        out.write(f'TAG_ONLY({tag}, "{name}", {fills})\n')
    out.write("\n")
    for mac in ("ELEM", "ELEM_MEMBER", "NAME_ONLY", "TAG_ONLY"):
        out.write(f"#ifdef ELEMDICT_UNDEF_{mac}\n#undef {mac}\n#undef ELEMDICT_UNDEF_{mac}\n#endif\n")


if __name__ == "__main__":
    main()
