#!/usr/bin/env python3
"""Writes ctimsg/messages/catalog.def from the message lists of the protocol document.

usage: gen_catalog.py DOCUMENT.md ctimsg/elementdict.def > ctimsg/messages/catalog.def

Reads the message-type table (one markdown row per type 1..282), the list of classes whose
constructor takes the two trace flags, and every message block ("**NAME** (type), `Class`,
from version N, ..." followed by "- Fixed:" and "- Floating:" lines). Each field is checked
against the element dictionary (class name, fixed or floating, tag, width); anything it does
not understand stops it. The columns are explained in ctimsg/messages/catalog.h.
"""
import re
import sys

# Classes that replace the validation slots, and how (see enum Check).
CHECKS = {
    "OpenReqMSG": "OpenService",
    "QueryAgentStateReqMSG": "AgentIdentity",
    "MonitorStartReqMSG": "MonitorTarget",
    "CallTerminationEventMSG": "Termination",
}
ECC_COUNT = ["SetCallDataReqMSG", "ConferenceCallReqMSG", "ConsultationCallReqMSG",
             "MakeCallReqMSG", "MakePredictiveCallReqMSG", "TransferCallReqMSG",
             "RegisterVariablesReqMSG", "CallTranslationRouteEventMSG", "BeginCallEventMSG",
             "CallDataUpdateEventMSG", "AgentPreCallEventMSG", "SnapshotCallConfMSG"]
PRESENT_SIZE = {"ConfigAgentEventMSG", "ConfigAgentServiceEventMSG"}
# The class that traces its call context whatever its first constructor flag says.
ECC_ALWAYS = {"AgentLegacyPrecallEventMSG"}

DIRS = {"to client": "ToClient", "to server": "ToServer", "both": "Both",
        "internal": "Internal", "neither": "Neither"}

# Width in bytes of each number notation, and the dictionary bases that fit it.
WIDTHS = {"u32": 4, "i32": 4, "u16": 2, "bool16": 2, "u8": 1, "task id": 12,
          "8 raw bytes": 8}
NUMERIC_BASES = {"UINTElement", "INTElement", "USHORTElement", "UCHARElement",
                 "BOOLElement", "TaskIDType", "DeviceIDType", "ConnectionDeviceIDType",
                 "CTIAgentState", "UNSPECElement"}


def die(msg):
    raise SystemExit(msg)


def load_dictionary(path):
    """class name -> (id, base, bytes, own version, tag)"""
    rows = {}
    for line in open(path, encoding="utf-8"):
        m = re.match(r"ELEM\((\d+), (\w+), (\w+), (\d+), (\d+), (\d+),", line)
        if m:
            eid, cls, base, nbytes, frm, tag = m.groups()
            rows[cls] = (int(eid), base, int(nbytes), int(frm), int(tag))
    return rows


def split_top(text, sep):
    """Splits at sep outside parentheses."""
    out, depth, cur = [], 0, ""
    for ch in text:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        if ch == sep and depth == 0:
            out.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        out.append(cur.strip())
    return out


class Gen:
    def __init__(self, dictionary):
        self.d = dictionary

    def elem(self, cls, where):
        if cls not in self.d:
            die(f"{where}: {cls} is not in the element dictionary")
        return self.d[cls]

    def version(self, cls, listed):
        return max(self.d[cls][3], listed)

    # Fixed part: "`Name` u32 (from 5)" / "`TeamConfigKey` 8 raw bytes (optional)"
    def fixed_item(self, item, where):
        m = re.fullmatch(r"`(\w+)` (u32|i32|u16|bool16|u8|task id|8 raw bytes)"
                         r"(?: \((from (\d+)|optional)\))?", item)
        if not m:
            die(f"{where}: bad fixed item {item!r}")
        cls, vt = m.group(1), m.group(2)
        eid, base, nbytes, own, tag = self.elem(cls, where)
        if eid >= 432:
            die(f"{where}: {cls} ({eid}) is not a fixed-part field")
        if nbytes != WIDTHS[vt] or base not in NUMERIC_BASES:
            die(f"{where}: {cls} is {base}/{nbytes}, listed as {vt}")
        listed = int(m.group(4)) if m.group(4) else 2
        need = "Opt" if m.group(3) == "optional" else "Req"
        return f"FIELD({cls}, {self.version(cls, listed)}, {need}, Always)"

    # Floating attributes: "tag 25, string, required, from 10, never traced"
    def attrs(self, cls, text, where, ctor):
        parts = [p.strip() for p in text.split(",")]
        m = re.fullmatch(r"tags? (\d+)(?: (and|to) (\d+))?", parts[0])
        if not m:
            die(f"{where}: bad tag in {text!r}")
        # The call context is filled by two tags; the dictionary row names the second.
        tag = int(m.group(3)) if m.group(2) == "and" else int(m.group(1))
        listed, need, trace = 2, "Opt", "Always"
        for p in parts[2:]:
            if p == "required":
                need = "Req"
            elif re.fullmatch(r"from \d+", p):
                listed = int(p.split()[1])
            elif p == "never traced":
                trace = "Never"
            elif p == "traced per the first constructor flag":
                trace = "EccFlag"
            elif p == "traced per the second constructor flag":
                trace = "CvFlag"
            else:
                die(f"{where}: unknown attribute {p!r}")
        vt = parts[1]
        if cls == "ExpandedCallContxt":
            if vt != "ECC variables":
                die(f"{where}: call context listed as {vt}")
            if where.split()[0] in ECC_ALWAYS:
                trace = "EccAlways"
            elif trace != "EccFlag":
                die(f"{where}: call context without its trace flag")
        if trace in ("EccFlag", "CvFlag", "EccAlways") and ctor != "TraceFlags":
            die(f"{where}: trace rule {trace} without the constructor's flags")
        return tag, vt, listed, need, trace

    def check_floating(self, cls, tag, vt, where):
        eid, base, nbytes, own, dtag = self.elem(cls, where)
        if eid < 432:
            die(f"{where}: {cls} ({eid}) is not a floating field")
        if dtag != tag:
            die(f"{where}: {cls} has tag {dtag}, listed {tag}")
        if vt in WIDTHS and (nbytes != WIDTHS[vt] or base not in NUMERIC_BASES):
            die(f"{where}: {cls} is {base}/{nbytes}, listed as {vt}")
        if vt == "string" and base not in ("STRINGElement", "AgentID_Long"):
            die(f"{where}: {cls} is {base}, listed as string")

    # "`A` (tag 1, string)" -> (cls, attrs text); also the CallVariable1..10 item
    def floating_field(self, item, where, ctor, out, indent):
        m = re.fullmatch(r"`CallVariable1` to `CallVariable10` \((.*)\)", item)
        if m:
            tag, vt, listed, need, trace = self.attrs("CallVariable1", m.group(1), where, ctor)
            if tag != 13 or vt != "string":
                die(f"{where}: bad call variables {item!r}")
            for i in range(1, 11):
                cls = f"CallVariable{i}"
                self.check_floating(cls, 12 + i, vt, where)
                out.append(f"{indent}FIELD({cls}, {self.version(cls, listed)}, {need}, {trace})")
            return
        m = re.fullmatch(r"`(\w+)` \(([^()]*)\)", item)
        if not m:
            die(f"{where}: bad floating item {item!r}")
        cls = m.group(1)
        self.elem(cls, where)
        tag, vt, listed, need, trace = self.attrs(cls, m.group(2), where, ctor)
        self.check_floating(cls, tag, vt, where)
        out.append(f"{indent}FIELD({cls}, {self.version(cls, listed)}, {need}, {trace})")

    # Members of a group: "`A` (tag 39, u32), `B` (tag 40, u16) (entries 0-9 from 3, ...)"
    def entries(self, text, where, ctor):
        split = None
        m = re.search(r" \(entries 0-(\d+) from (\d+), entries (\d+)-(\d+) from (\d+)\)$", text)
        if m:
            last_low, low, first_high, _, high = map(int, m.groups())
            if first_high != last_low + 1:
                die(f"{where}: bad entry split {m.group(0)}")
            split = (low, first_high, high)
            text = text[:m.start()]
        rows = []
        for item in split_top(text, ","):
            m = re.fullmatch(r"`(\w+)` \(([^()]*)\)", item)
            if not m:
                die(f"{where}: bad group member {item!r}")
            cls = m.group(1)
            self.elem(cls, where)
            tag, vt, listed, need, trace = self.attrs(cls, m.group(2), where, ctor)
            if need != "Opt" or trace != "Always":
                die(f"{where}: array entries are optional and traced: {item!r}")
            self.check_floating(cls, tag, vt, where)
            rows.append((cls, self.version(cls, listed)))
        return rows, split

    def floating(self, text, where, ctor):
        out = []
        items = split_top(text, ";")
        i = 0
        in_records = False
        while i < len(items):
            item = items[i]
            m = re.fullmatch(r"(\d+) (entries|records)", item)
            if m:
                if in_records:
                    out.append("  GROUP_END()")
                    in_records = False
                n = int(m.group(1))
                i += 1
                body = items[i]
                if m.group(2) == "entries":
                    mm = re.fullmatch(r"entry e carries occurrence e of (?:each of|its field): (.*)",
                                      body)
                else:
                    mm = re.fullmatch(r"record r carries occurrence r of each of: (.*)", body)
                if not mm:
                    die(f"{where}: bad group {body!r}")
                rows, split = self.entries(mm.group(1), where, ctor)
                if split:
                    low, at, high = split
                    out.append(f"  GROUP_BEGIN({n}, {low}, {at}, {high})")
                else:
                    out.append(f"  GROUP_BEGIN({n}, 2, 0, 0)")
                for cls, v in rows:
                    out.append(f"    ENTRY({cls}, {v})")
                if m.group(2) == "records":
                    in_records = True
                else:
                    out.append("  GROUP_END()")
                i += 1
                continue
            m = re.fullmatch(r"then, in each record, (\d+) entries carrying occurrences "
                             r"r×(\d+) to r×\d+\+(\d+) of each of: (.*)", item)
            if m:
                if not in_records:
                    die(f"{where}: list outside records")
                slots = int(m.group(1))
                if int(m.group(2)) != slots or int(m.group(3)) != slots - 1:
                    die(f"{where}: bad list {item!r}")
                rows, split = self.entries(m.group(4), where, ctor)
                if split:
                    die(f"{where}: split in a list")
                out.append(f"    LIST_BEGIN({slots}, {LIST_COUNTS[(where.split()[0], slots)]})")
                for cls, v in rows:
                    out.append(f"      ENTRY({cls}, {v})")
                out.append("    LIST_END()")
                i += 1
                continue
            if in_records:
                out.append("  GROUP_END()")
                in_records = False
            self.floating_field(item, where, ctor, out, "  ")
            i += 1
        if in_records:
            out.append("  GROUP_END()")
        return out


# The count field of each record list, by (class, slots per record).
LIST_COUNTS = {}


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    # Only the catalogue's own sections: other tables of the document also start with numbers.
    start = text.index("CTI message classes and the message-type table\n")
    text = text[start:text.index("\n# Order of building", start)]
    gen = Gen(load_dictionary(sys.argv[2]))

    # The message-type table.
    types = {}
    for m in re.finditer(r"^\| (\d+) \| `([^`]+)` \| (.*?) \| (.*?) \| (.*?) \| (.*?) \|$",
                         text, re.M):
        t = int(m.group(1))
        if not 1 <= t <= 282 or t in types:
            continue
        name, cls, ver, direction = m.group(2), m.group(3), m.group(4), m.group(5)
        if cls == "none, not implemented":
            types[t] = (name, "NotImplemented")
        elif cls == "none, invalid":
            types[t] = (name, "Invalid")
        else:
            classes = re.findall(r"`(\w+)`", cls)
            types[t] = (name, classes, int(ver), DIRS[direction])
    if sorted(types) != list(range(1, 283)):
        die("type table incomplete")

    # Constructors with the two trace flags.
    m = re.search(r"The 27 classes (.*?) take two one-byte flags", text)
    flagged = set(re.findall(r"`(\w+)`", m.group(1)))
    if len(flagged) != 27:
        die("expected 27 two-flag classes")

    # Record-list count fields, keyed by (class, slots) once the classes are known.
    counts = {}
    for m in re.finditer(r"^\| (\d+) \| `(\w+)` \| [^|]* \| (\d+) \|$", text, re.M):
        counts[(int(m.group(1)), int(m.group(3)))] = m.group(2)

    # Message blocks.
    blocks = {}
    lines = text.splitlines()
    for k, line in enumerate(lines):
        m = re.match(r"\*\*([A-Z_0-9]+)\*\* \((\d+)\), `(\w+)`, from version (\d+), (.*)$", line)
        if not m:
            continue
        name, t, cls, ver = m.group(1), int(m.group(2)), m.group(3), int(m.group(4))
        fixed, floating = lines[k + 1], lines[k + 2]
        if not fixed.startswith("- Fixed: ") or not floating.startswith("- Floating: "):
            die(f"{cls}: block without Fixed/Floating lines")
        if cls in blocks:
            die(f"{cls}: listed twice")
        blocks[cls] = (name, t, ver, fixed[9:], floating[12:])

    for (t, slots), cnt in counts.items():
        for c in types[t][1]:
            LIST_COUNTS[(c, slots)] = cnt

    out = sys.stdout
    out.write("// Generated by ctimsg/messages/tools/gen_catalog.py; the columns are explained in\n"
              "// ctimsg/messages/catalog.h. Names keep the protocol's own spellings.\n")
    for mac in ("MSG_BEGIN", "MSG_END", "NO_CLASS", "FIELD", "GROUP_BEGIN", "GROUP_END",
                "ENTRY", "LIST_BEGIN", "LIST_END"):
        out.write(f"#ifndef {mac}\n#define {mac}(...)\n#define CATALOG_UNDEF_{mac}\n#endif\n")
    out.write("\n")
    seen = set()
    for t in range(1, 283):
        row = types[t]
        if len(row) == 2:
            out.write(f'NO_CLASS({t}, "{row[0]}", {row[1]})\n\n')
            continue
        name, classes, ver, direction = row
        for n, cls in enumerate(classes):
            if cls not in blocks:
                die(f"{cls} (type {t}) has no field list")
            bname, bt, bver, fixed, floating = blocks[cls]
            if bname != name or bt != t or bver != ver:
                die(f"{cls}: head line {bname} {bt} v{bver} disagrees with the type table")
            seen.add(cls)
            ctor = "TraceFlags" if cls in flagged else "NoArgs"
            check = CHECKS.get(cls, "EccCount" if cls in ECC_COUNT else "None")
            size = "PresentFields" if cls in PRESENT_SIZE else "Base"
            layout = "Main" if n == 0 else "Older"
            out.write(f'MSG_BEGIN({t}, "{name}", {cls}, {ver}, {direction}, {ctor}, {check}, '
                      f'{size}, {layout})\n')
            where = f"{cls} (type {t})"
            if fixed != "none":
                for item in split_top(fixed, ";"):
                    out.write("  " + gen.fixed_item(item, where) + "\n")
            if floating != "none":
                for row_text in gen.floating(floating, where, ctor):
                    out.write(row_text + "\n")
            out.write("MSG_END()\n\n")
    if set(blocks) != seen:
        die(f"field lists without a type: {sorted(set(blocks) - seen)}")
    for mac in ("MSG_BEGIN", "MSG_END", "NO_CLASS", "FIELD", "GROUP_BEGIN", "GROUP_END",
                "ENTRY", "LIST_BEGIN", "LIST_END"):
        out.write(f"#ifdef CATALOG_UNDEF_{mac}\n#undef {mac}\n#undef CATALOG_UNDEF_{mac}\n#endif\n")


if __name__ == "__main__":
    main()
