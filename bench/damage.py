#!/usr/bin/env python3
"""Fault injection and counting for bench/damage.sh (standard library only).

  damage.py fault FORMAT CASE SRC_DIR DST_DIR   copies the set, applies one fault, prints the
                                                indices of the chunks whose own bytes it destroyed
  damage.py count RAW OUT CHUNK DAMAGED         prints "recovered intact": chunks of OUT equal to
                                                RAW at their offset, among those not in DAMAGED
  damage.py files TREE OUT DAMAGED              the same for the files of a logical container
  damage.py cases FORMAT                        the fault cases of a format, one a line

A chunk is "intact" when no byte of its stored data was touched by the fault; a fault in
structure (descriptors, tables, headers) destroys no chunk.
"""
import os
import shutil
import struct
import sys
import zlib


def flip(path, offset, mask=0x10):
    with open(path, 'r+b') as f:
        f.seek(offset)
        b = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([b ^ mask]))


def zero(path, offset, length):
    with open(path, 'r+b') as f:
        f.seek(offset)
        f.write(bytes(length))


# ---- EWF version 1 -----------------------------------------------------------------------------

def ewf1_sections(data):
    out, off = [], 13
    while off + 76 <= len(data):
        kind = data[off:off + 16].split(b'\0')[0].decode('latin1')
        nxt, size = struct.unpack_from('<QQ', data, off + 16)
        out.append((kind, off, nxt, size))
        if nxt <= off or kind in ('done', 'next'):
            break
        off = nxt
    return out


def ewf1_chunks(files):
    """(file index, start, end) of every chunk in image order."""
    chunks = []
    for fi, path in enumerate(files):
        data = open(path, 'rb').read()
        secs = ewf1_sections(data)
        mine = []
        for kind, off, nxt, size in secs:
            if kind != 'table':
                continue
            count, = struct.unpack_from('<I', data, off + 76)
            base, = struct.unpack_from('<Q', data, off + 84)
            for i in range(count):
                e, = struct.unpack_from('<I', data, off + 100 + 4 * i)
                mine.append(base + (e & 0x7FFFFFFF))
        for i, start in enumerate(mine):
            end = mine[i + 1] if i + 1 < len(mine) else min(o for _, o, _, _ in secs if o > start)
            chunks.append((fi, start, end))
    return chunks


def ewf1_section(data, kind, nth=1):
    for k, off, nxt, size in ewf1_sections(data):
        if k == kind:
            nth -= 1
            if nth == 0:
                return off
    raise SystemExit('no section %s' % kind)


EWF1_CASES = ['volume-next', 'volume-payload', 'sectors-next', 'table-entry', 'table-count',
              'next-type', 'segment-start', 'chunk-byte', 'truncated', 'lost-segment']


def ewf1_fault(case, files):
    """Applies the fault; returns the damaged byte ranges as (file index, start, end)."""
    blob = [open(p, 'rb').read() for p in files]
    if case == 'volume-next':        # a bit of the next offset of segment 1's volume descriptor
        flip(files[0], ewf1_section(blob[0], 'volume') + 17)
    elif case == 'volume-payload':   # a bit of the sectors per chunk of segment 1's volume section
        flip(files[0], ewf1_section(blob[0], 'volume') + 76 + 8, 0x02)
    elif case == 'sectors-next':     # a bit of the next offset of segment 2's sectors descriptor
        flip(files[1], ewf1_section(blob[1], 'sectors') + 18)
    elif case == 'table-entry':      # a bit of one entry of segment 2's table; its table2 is intact
        flip(files[1], ewf1_section(blob[1], 'table') + 100 + 4 * 100 + 1)
    elif case == 'table-count':      # a bit of the entry count of segment 2's table
        flip(files[1], ewf1_section(blob[1], 'table') + 76, 0x04)
    elif case == 'next-type':        # a bit of the type of segment 1's closing "next" descriptor
        flip(files[0], ewf1_section(blob[0], 'next') + 1)
    elif case == 'segment-start':    # the first 4 KiB of segment 3 zeroed
        zero(files[2], 0, 4096)
        return [(2, 0, 4096)]
    elif case == 'chunk-byte':       # one byte inside a chunk of segment 2
        fi, start, end = ewf1_chunks(files)[400]
        flip(files[fi], (start + end) // 2, 0xFF)
        return [(fi, (start + end) // 2, (start + end) // 2 + 1)]
    elif case == 'truncated':        # segment 3 cut at half
        size = len(blob[2])
        with open(files[2], 'r+b') as f:
            f.truncate(size // 2)
        return [(2, size // 2, size)]
    elif case == 'lost-segment':     # segment 2 gone
        os.remove(files[1])
        return [(1, 0, len(blob[1]))]
    else:
        raise SystemExit('unknown case ' + case)
    return []


# ---- EWF version 2 -----------------------------------------------------------------------------

def ewf2_sections(data):
    """(type, descriptor offset, data start) from the first section on."""
    out, at = [], len(data) - 64
    while at >= 32:
        kind, _, prev = struct.unpack_from('<IIQ', data, at)
        out.append((kind, at, prev + 64 if prev else 32))
        if prev == 0:
            break
        at = prev
    return out[::-1]


def ewf2_section(data, kind):
    for k, at, start in ewf2_sections(data):
        if k == kind:
            return at, start
    raise SystemExit('no section %d' % kind)


def ewf2_chunks(files):
    chunks = {}
    for fi, path in enumerate(files):
        data = open(path, 'rb').read()
        for kind, at, start in ewf2_sections(data):
            if kind != 4:
                continue
            first, count = struct.unpack_from('<QI', data, start)
            for i in range(count):
                off, size, flags = struct.unpack_from('<QII', data, start + 32 + 16 * i)
                chunks[first + i] = (fi, off, off + size)
    return [chunks[i] for i in sorted(chunks)]


EWF2_CASES = ['done-previous', 'table-type', 'data-descriptor', 'table-first', 'table-entry', 'segment-start',
              'chunk-byte', 'truncated', 'lost-segment']


def ewf2_fault(case, files):
    blob = [open(p, 'rb').read() for p in files]
    if case == 'done-previous':      # a bit of the previous offset of segment 1's last descriptor
        flip(files[0], len(blob[0]) - 64 + 9)
    elif case == 'table-type':       # a bit of the type of segment 2's sector table descriptor
        flip(files[1], ewf2_section(blob[1], 4)[0] + 2, 0x01)
    elif case == 'data-descriptor':  # segment 2's sector data descriptor zeroed
        zero(files[1], ewf2_section(blob[1], 3)[0], 64)
    elif case == 'table-first':      # a bit of the first chunk number of segment 2's table
        flip(files[1], ewf2_section(blob[1], 4)[1], 0x08)
    elif case == 'table-entry':      # a bit of one offset in segment 2's table: that chunk is lost
        start = ewf2_section(blob[1], 4)[1]
        first, = struct.unpack_from('<Q', blob[1], start)
        flip(files[1], start + 32 + 16 * 100 + 3, 0x01)
        return [('chunk', first + 100)]
    elif case == 'segment-start':    # the first 4 KiB of segment 3 zeroed
        zero(files[2], 0, 4096)
        return [(2, 0, 4096)]
    elif case == 'chunk-byte':
        fi, start, end = ewf2_chunks(files)[400]
        flip(files[fi], (start + end) // 2, 0xFF)
        return [(fi, (start + end) // 2, (start + end) // 2 + 1)]
    elif case == 'truncated':        # segment 3 cut at half (its table goes with it)
        size = len(blob[2])
        with open(files[2], 'r+b') as f:
            f.truncate(size // 2)
        return [(2, size // 2, size)]
    elif case == 'lost-segment':
        os.remove(files[1])
        return [(1, 0, len(blob[1]))]
    else:
        raise SystemExit('unknown case ' + case)
    return []


# ---- AFF ---------------------------------------------------------------------------------------

def aff_segments(data):
    """(name, start, data start, end) of each segment."""
    out, off = [], 8
    while off + 16 <= len(data) and data[off:off + 4] == b'AFF\0':
        nl, dl = struct.unpack_from('>II', data, off + 4)
        out.append((data[off + 16:off + 16 + nl].decode('latin1'), off, off + 16 + nl, off + 24 + nl + dl))
        off += 24 + nl + dl
    return out


def aff_chunks(files):
    """A page's whole segment, header and trailer included, is its own."""
    pages = {}
    for fi, path in enumerate(files):
        for name, start, data, end in aff_segments(open(path, 'rb').read()):
            if name.startswith('page') and name[4:].isdigit():
                pages[int(name[4:])] = (fi, start, end)
    return [pages[i] for i in sorted(pages)]


def aff_page(files, n):
    for fi, path in enumerate(files):
        for name, start, data, end in aff_segments(open(path, 'rb').read()):
            if name == 'page%d' % n:
                return fi, start, data, end
    raise SystemExit('no page %d' % n)


AFF_CASES = ['page-length', 'page-trailer', 'page-magic', 'file-start', 'truncated']
AFD_CASES = ['lost-file', 'file-start']


def aff_fault(case, files):
    if case == 'page-length':        # a bit of page 100's data length
        fi, start, data, end = aff_page(files, 100)
        flip(files[fi], start + 10, 0x04)
    elif case == 'page-trailer':     # a bit of page 100's trailer length
        fi, start, data, end = aff_page(files, 100)
        flip(files[fi], end - 2, 0x04)
    elif case == 'page-magic':       # page 100's segment magic
        fi, start, data, end = aff_page(files, 100)
        flip(files[fi], start, 0x20)
        return [(fi, start, start + 1)]
    elif case == 'file-start':       # the first 4 KiB (second file of a set) zeroed
        fi = 1 if len(files) > 1 else 0
        zero(files[fi], 0, 4096)
        return [(fi, 0, 4096)]
    elif case == 'truncated':        # cut at half
        size = os.path.getsize(files[0])
        with open(files[0], 'r+b') as f:
            f.truncate(size // 2)
        return [(0, size // 2, size)]
    elif case == 'lost-file':        # the set's second file gone
        size = os.path.getsize(files[1])
        os.remove(files[1])
        return [(1, 0, size)]
    else:
        raise SystemExit('unknown case ' + case)
    return []


# ---- WHX ---------------------------------------------------------------------------------------

def whx_data(data):
    """Where a volume's slice starts, and its size."""
    e1, = struct.unpack_from('<H', data, 272)
    d = 274 + e1
    unit, first, count = struct.unpack_from('<QII', data, d + 2)
    e2, = struct.unpack_from('<I', data, d + 64)
    at = d + 68 + e2
    tags, = struct.unpack_from('<I', data, at)
    at += 4
    while tags:
        tag, = struct.unpack_from('<H', data, at)
        at += 2
        if tag == 0xFFFF:
            break
        length, = struct.unpack_from('<H', data, at)
        at += 2 + length
    return at, unit * count


def whx_chunks(files):
    """32 KiB pieces of the image where the stored slices hold them."""
    pieces = []
    for fi, path in enumerate(files):
        start, size = whx_data(open(path, 'rb').read())
        for o in range(0, size, 32768):
            pieces.append((fi, start + o, start + min(size, o + 32768)))
    return pieces


WHX_CASES = ['lost-volume', 'volume-header', 'slice-byte', 'truncated']


def whx_fault(case, files):
    blob = [open(p, 'rb').read() for p in files]
    if case == 'lost-volume':        # the second of four volumes gone
        os.remove(files[1])
        return [(1, 0, len(blob[1]))]
    if case == 'volume-header':      # the second volume's signature
        flip(files[1], 3, 0x01)
        return [(1, 0, 16)]
    if case == 'slice-byte':         # one byte of the second volume's slice
        at = whx_data(blob[1])[0] + 100000
        flip(files[1], at, 0xFF)
        return [(1, at, at + 1)]
    if case == 'truncated':          # the last volume cut at half
        size = len(blob[-1])
        with open(files[-1], 'r+b') as f:
            f.truncate(size // 2)
        return [(len(files) - 1, size // 2, size)]
    raise SystemExit('unknown case ' + case)


# ---- AD1 ---------------------------------------------------------------------------------------

def ad1_space(files):
    """The joined data space and where each file's data begins in it."""
    space, starts, offset = b'', [], 0
    for path in files:
        d = open(path, 'rb').read()
        offset = struct.unpack_from('<I', d, 40)[0]
        starts.append(len(space))
        space += d[offset:]
    return space, starts, offset


def ad1_items(space):
    """(name, record position, end of its own bytes) of every file, walking the tree."""
    out, stack = [], [struct.unpack_from('<I', space, 36)[0]]
    while stack:
        p = stack.pop()
        nxt, child, meta, data, size, typ, nl = struct.unpack_from('<QQQQQII', space, p)
        end, m = p + 48 + nl, meta
        while m:
            mn, _, _, vl = struct.unpack_from('<QIII', space, m)
            end, m = max(end, m + 20 + vl), mn
        if data:
            n, = struct.unpack_from('<Q', space, data)
            end = max(end, struct.unpack_from('<Q', space, data + 8 + 8 * n)[0])
        if typ == 0:
            out.append((space[p + 48:p + 48 + nl].decode(), p, end))
        stack += [x for x in (nxt, child) if x]
    return out


def ad1_chunks(files):
    """A file's own bytes (record, name, metadata, chunks) in segment-file terms, in name order."""
    space, starts, offset = ad1_space(files)
    bounds = starts + [len(space)]
    spans = []
    for name, start, end in sorted(ad1_items(space)):
        # A file's bytes may run on into the next segment file.
        spans.append([(seg, max(start, bounds[seg]) - bounds[seg] + offset, min(end, bounds[seg + 1]) - bounds[seg] + offset)
                      for seg in range(len(starts)) if start < bounds[seg + 1] and bounds[seg] < end])
    return spans


def ad1_record(files, name):
    space, starts, offset = ad1_space(files)
    for n, start, end in ad1_items(space):
        if n == name:
            seg = max(i for i, s in enumerate(starts) if s <= start)
            return seg, start - starts[seg] + offset
    raise SystemExit('no item ' + name)


AD1_CASES = ['item-type', 'item-next', 'record-zeroed', 'chunk-byte', 'segment-header', 'lost-segment', 'truncated']


def ad1_fault(case, files):
    if case == 'item-type':          # a bit of a file record's type
        fi, at = ad1_record(files, 'f100.bin')
        flip(files[fi], at + 40, 0x20)
    elif case == 'item-next':        # a high bit of a file record's next pointer
        fi, at = ad1_record(files, 'f100.bin')
        flip(files[fi], at + 5, 0x40)
    elif case == 'record-zeroed':    # a file's record destroyed
        fi, at = ad1_record(files, 'f100.bin')
        zero(files[fi], at, 48)
        return [(fi, at, at + 48)]
    elif case == 'chunk-byte':       # a byte of a file's data
        fi, start, end = ad1_chunks(files)[200][-1]
        flip(files[fi], end - 100, 0xFF)
        return [(fi, end - 100, end - 99)]
    elif case == 'segment-header':   # the second segment's signature
        flip(files[1], 2, 0x01)
    elif case == 'lost-segment':
        size = os.path.getsize(files[1])
        os.remove(files[1])
        return [(1, 0, size)]
    elif case == 'truncated':        # the last segment cut at half
        size = os.path.getsize(files[-1])
        with open(files[-1], 'r+b') as f:
            f.truncate(size // 2)
        return [(len(files) - 1, size // 2, size)]
    else:
        raise SystemExit('unknown case ' + case)
    return []


# ---- driver ------------------------------------------------------------------------------------

FORMATS = {
    'e01': (EWF1_CASES, ewf1_fault, ewf1_chunks),
    'l01': (EWF1_CASES, ewf1_fault, ewf1_chunks),
    'ex01': (EWF2_CASES, ewf2_fault, ewf2_chunks),
    'lx01': (EWF2_CASES, ewf2_fault, ewf2_chunks),
    'aff': (AFF_CASES, aff_fault, aff_chunks),
    'afd': (AFD_CASES, aff_fault, aff_chunks),
    'whx': (WHX_CASES, whx_fault, whx_chunks),
    'ad1': (AD1_CASES, ad1_fault, ad1_chunks),
}


def damaged_chunks(ranges, chunks):
    """Chunks whose stored bytes a range touches; ('chunk', i) names a chunk whose entry is lost."""
    named = set(r[1] for r in ranges if r[0] == 'chunk')
    spans = [r for r in ranges if r[0] != 'chunk']
    pieces = [c if isinstance(c, list) else [c] for c in chunks]
    return sorted(i for i, ps in enumerate(pieces)
                  if i in named or any(f == fi and s < re and rs < e for fi, s, e in ps for f, rs, re in spans))


def main():
    cmd = sys.argv[1]
    if cmd == 'cases':
        print('\n'.join(FORMATS[sys.argv[2]][0]))
    elif cmd == 'fault':
        fmt, case, src, dst = sys.argv[2:6]
        cases, fault, chunk_map = FORMATS[fmt]
        shutil.rmtree(dst, ignore_errors=True)
        shutil.copytree(src, dst)
        # A WHX chain starts at its .whx volume; segment sets sort by name.
        files = sorted((os.path.join(dst, n) for n in os.listdir(dst)), key=lambda p: (not p.endswith('.whx'), p))
        chunks = chunk_map(files)
        ranges = fault(case, files)
        print(' '.join(str(i) for i in damaged_chunks(ranges, chunks)) or '-')
    elif cmd == 'count':
        raw, out, chunk, damaged = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
        bad = set(int(x) for x in damaged.split() if x != '-')
        size = os.path.getsize(raw)
        n = (size + chunk - 1) // chunk
        got = 0
        have = os.path.exists(out)
        with open(raw, 'rb') as r, open(out if have else os.devnull, 'rb') as o:
            for i in range(n):
                a, b = r.read(chunk), o.read(chunk)
                if i not in bad and a == b:
                    got += 1
        print(got, n - len(bad))
    elif cmd == 'files':
        # Files of one chunk each, in name order: file i is intact unless chunk i is damaged.
        tree, out, damaged = sys.argv[2], sys.argv[3], sys.argv[4]
        bad = set(int(x) for x in damaged.split() if x != '-')
        names = sorted(os.listdir(tree))
        got = 0
        for i, n in enumerate(names):
            found = [os.path.join(r, n) for r, _, fs in os.walk(out) if n in fs]
            if i not in bad and found and open(found[0], 'rb').read() == open(os.path.join(tree, n), 'rb').read():
                got += 1
        print(got, len(names) - len(bad))
    else:
        raise SystemExit('unknown command ' + cmd)


if __name__ == '__main__':
    main()
