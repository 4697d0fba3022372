#!/usr/bin/env python3
"""The *_test.cpp files of a folder share one program: names that two of them define at
namespace scope outside an anonymous namespace (classes, functions, variables) are listed,
since the linker keeps one inline definition silently. Usage: odr_scan.py DIR...
(ODR=-v lists every such name). Exits 1 when two files of a folder define the same name."""
import re, sys, collections, os

def strip(src):
    src = re.sub(r'//[^\n]*', '', src)
    src = re.sub(r'/\*.*?\*/', '', src, flags=re.S)
    src = re.sub(r'R"([^(]*)\((.*?)\)\1"', '""', src, flags=re.S)
    src = re.sub(r'"(\\.|[^"\\\n])*"', '""', src)
    src = re.sub(r"'(\\.|[^'\\\n])*'", "''", src)
    src = re.sub(r'^\s*#[^\n]*(\\\n[^\n]*)*', '', src, flags=re.M)
    return src

def scan(path):
    src = strip(open(path, errors='replace').read())
    out = []
    # stack of (kind, anon) where kind in ns/other
    stack = []
    i = 0
    stmt = ''
    for m in re.finditer(r'[{};]|[^{};]+', src):
        tok = m.group(0)
        if tok not in '{};':
            stmt += tok
            continue
        s = ' '.join(stmt.split())
        stmt = ''
        at_ns = all(k == 'ns' for k, _ in stack)
        in_anon = any(a for _, a in stack)
        if tok == '{':
            mm = re.match(r'^(inline )?namespace\s*([A-Za-z_][\w:]*)?$', s)
            if mm:
                stack.append(('ns', mm.group(2) is None))
                continue
            if at_ns and not in_anon and s:
                if re.match(r'^(extern "C")$', s):
                    stack.append(('ns', False)); continue
                c = re.match(r'^(template\s*<.*>\s*)?(class|struct|union|enum(\s+class)?)\s+(\w+)', s)
                if c and not s.startswith('TEST'):
                    out.append(('type', c.group(4)))
                else:
                    f = re.search(r'([\w:~]+)\s*\([^()]*(\([^()]*\)[^()]*)*\)\s*(const)?\s*(noexcept)?\s*(override)?\s*(->\s*[\w:<>]+)?$', s)
                    if f and not re.match(r'^(TEST|TEST_F|TEST_P|TYPED_TEST|INSTANTIATE|static\b)', s) and '=' not in s.split('(')[0]:
                        out.append(('func', f.group(1)))
                    elif '=' in s and not s.startswith('static'):
                        v = re.match(r'^.*?(\w+)\s*(\[[^\]]*\])?\s*=', s)
                        if v: out.append(('var', v.group(1)))
            stack.append(('other', False))
        elif tok == '}':
            if stack: stack.pop()
        elif tok == ';':
            if at_ns and not in_anon and s and not s.startswith(('using', 'static', 'extern', 'template class', 'friend', 'typedef')) and '(' not in s:
                v = re.match(r'^(constexpr |const |inline )*[\w:<>, ]+?\s+\**(\w+)\s*(\[[^\]]*\])?\s*(=.*)?$', s)
                if v and not re.match(r'^(class|struct|enum|namespace)\b', s):
                    out.append(('var', v.group(2)))
    return out

folders = collections.defaultdict(list)
for root in sys.argv[1:]:
    for dp, dn, fn in os.walk(root):
        for f in fn:
            if f.endswith('_test.cpp'):
                folders[dp].append(os.path.join(dp, f))
bad = 0
for d, files in sorted(folders.items()):
    seen = collections.defaultdict(set)
    for f in files:
        for kind, name in scan(f):
            seen[name].add(os.path.basename(f))
            if '-v' in os.environ.get('ODR', ''):
                print(f'{f}: {kind} {name} (not in an anonymous namespace)')
    for name, fs in sorted(seen.items()):
        if len(fs) > 1:
            bad += 1
            print(f'{d}: {name} defined in {", ".join(sorted(fs))}')
sys.exit(1 if bad else 0)
