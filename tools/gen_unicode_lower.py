#!/usr/bin/env python3
"""Generate vorn_parser_core/src/lib/unicode_lower_table.inc.

Reads the Unicode Character Database (by default Debian's `unicode-data`
package under /usr/share/unicode) and writes the compact tables behind
`to_lower_unicode`:

  * kLowerRuns: the default lower-case mapping of every code point that maps
    to exactly one other code point, as runs of equal delta (stride 1, or
    stride 2 for the alternating upper/lower blocks);
  * kLowerSpecial: the unconditional multi-code-point mappings of
    SpecialCasing.txt (U+0130 -> U+0069 U+0307);
  * kCased, kCaseIgnorable: the two properties the final-sigma rule needs.

Every table is sorted for binary search. Usage:

  tools/gen_unicode_lower.py [--ucd DIR] [--out FILE]
  tools/gen_unicode_lower.py --check [--ucd DIR]

--check writes nothing; it decodes the packed tables again and compares them
with the running Python's str.lower() over every code point and with
single-character sigma contexts. Run it with the interpreter whose Unicode
version you want to compare against.
"""

from __future__ import annotations

import argparse
import bisect
import re
import sys
import unicodedata
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_OUT = REPO / "vorn_parser_core" / "src" / "lib" / "unicode_lower_table.inc"

MAX_CP = 0x10FFFF
SIGMA = 0x03A3

# Both packed forms keep the first code point above bit KEY_SHIFT, so that a
# plain integer comparison sorts them by it.
KEY_SHIFT = 11
# Packing of kLowerRuns entries: first code point in bits 31..11, stride-2 flag
# in bit 10, run length minus one in bits 9..0.
RUN_LEN_BITS = 10
# Packing of property ranges: first code point in bits 31..11, length minus one
# in bits 10..0.
RANGE_LEN_BITS = 11
MAX_SPECIAL = 3


def read_version(ucd: Path) -> str:
    head = (ucd / "DerivedCoreProperties.txt").read_text(encoding="utf-8").splitlines()[0]
    m = re.search(r"DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", head)
    if not m:
        sys.exit(f"cannot find the Unicode version in {head!r}")
    return m.group(1)


def data_lines(path: Path):
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            yield [field.strip() for field in line.split(";")]


def read_simple_lower(ucd: Path) -> dict[int, int]:
    """UnicodeData.txt field 13. First/Last ranges never carry case mappings."""
    lower = {}
    for fields in data_lines(ucd / "UnicodeData.txt"):
        if fields[13]:
            lower[int(fields[0], 16)] = int(fields[13], 16)
    return lower


def read_special_lower(ucd: Path) -> dict[int, list[int]]:
    """Unconditional lower-case entries of SpecialCasing.txt.

    Conditional entries are language rules (tr, lt, az), which we do not apply,
    and Final_Sigma for U+03A3, which the C++ code implements; anything else is
    a new rule this generator does not know and stops it.
    """
    special = {}
    for fields in data_lines(ucd / "SpecialCasing.txt"):
        cp = int(fields[0], 16)
        lower = [int(x, 16) for x in fields[1].split()]
        condition = fields[4] if len(fields) > 4 else ""
        if condition:
            conds = condition.split()
            is_language = re.fullmatch(r"[a-z]{2,3}", conds[0]) is not None
            if not is_language and not (conds == ["Final_Sigma"] and cp == SIGMA):
                sys.exit(f"unknown SpecialCasing condition {condition!r} for U+{cp:04X}")
            continue
        special[cp] = lower
    return special


def read_property(ucd: Path, name: str) -> list[tuple[int, int]]:
    ranges = []
    for fields in data_lines(ucd / "DerivedCoreProperties.txt"):
        if fields[1] != name:
            continue
        lo, _, hi = fields[0].partition("..")
        ranges.append((int(lo, 16), int(hi or lo, 16)))
    if not ranges:
        sys.exit(f"property {name} not found")
    ranges.sort()
    merged = [ranges[0]]
    for lo, hi in ranges[1:]:
        if lo <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], hi))
        else:
            merged.append((lo, hi))
    return merged


def full_lower(ucd: Path) -> dict[int, list[int]]:
    """Default full lower-case mapping: code point -> code points, changed ones only."""
    mapping = {cp: [lo] for cp, lo in read_simple_lower(ucd).items()}
    for cp, lower in read_special_lower(ucd).items():
        mapping[cp] = lower
    return {cp: m for cp, m in mapping.items() if m != [cp]}


def build_runs(single: dict[int, int]) -> list[tuple[int, int, int, int]]:
    """Greedy runs (first, length, stride, delta) over the one-to-one mappings.

    A run takes code points first, first + stride, ... that all share the same
    delta; stride 2 covers the blocks where upper and lower case alternate,
    and only steps over code points that have no mapping, so that runs never
    interleave and the last run starting at or before a code point is the
    only one that can hold it.
    """
    runs = []
    todo = sorted(single)
    done = set()
    max_len = 1 << RUN_LEN_BITS
    for cp in todo:
        if cp in done:
            continue
        delta = single[cp] - cp
        best = (1, 1)
        for stride in (1, 2):
            n = 1
            while (
                n < max_len
                and single.get(cp + n * stride) == cp + n * stride + delta
                and (stride == 1 or cp + n * stride - 1 not in single)
            ):
                n += 1
            if n > best[0]:
                best = (n, stride)
        n, stride = best
        for k in range(n):
            done.add(cp + k * stride)
        runs.append((cp, n, stride, delta))
    return runs


def split_ranges(ranges: list[tuple[int, int]]) -> list[tuple[int, int]]:
    out = []
    cap = 1 << RANGE_LEN_BITS
    for lo, hi in ranges:
        while hi - lo + 1 > cap:
            out.append((lo, lo + cap - 1))
            lo += cap
        out.append((lo, hi))
    return out


# Lookups over the packed tables, mirroring the C++ code, for --check and for
# the generator's own consistency test.


def lookup_run(keys: list[int], deltas: list[int], cp: int) -> int | None:
    i = bisect.bisect_right(keys, (cp << KEY_SHIFT) | ((1 << KEY_SHIFT) - 1)) - 1
    if i < 0:
        return None
    key, delta = keys[i], deltas[i]
    first = key >> KEY_SHIFT
    stride = 2 if key & (1 << RUN_LEN_BITS) else 1
    length = (key & ((1 << RUN_LEN_BITS) - 1)) + 1
    offset = cp - first
    if offset % stride or offset // stride >= length:
        return None
    return cp + delta


def in_ranges(packed: list[int], cp: int) -> bool:
    i = bisect.bisect_right(packed, (cp << KEY_SHIFT) | ((1 << KEY_SHIFT) - 1)) - 1
    if i < 0:
        return False
    first = packed[i] >> KEY_SHIFT
    length = (packed[i] & ((1 << RANGE_LEN_BITS) - 1)) + 1
    return cp - first < length


class Tables:
    def __init__(self, ucd: Path):
        self.version = read_version(ucd)
        mapping = full_lower(ucd)
        self.special = {cp: m for cp, m in mapping.items() if len(m) != 1}
        single = {cp: m[0] for cp, m in mapping.items() if len(m) == 1}
        for cp, m in self.special.items():
            if len(m) > MAX_SPECIAL:
                sys.exit(f"U+{cp:04X} lower-cases to {len(m)} code points")
        runs = build_runs(single)
        self.runs = [
            (((first << KEY_SHIFT) | ((stride == 2) << RUN_LEN_BITS) | (n - 1)), delta)
            for first, n, stride, delta in runs
        ]
        self.cased = [(lo << KEY_SHIFT) | (hi - lo) for lo, hi in split_ranges(read_property(ucd, "Cased"))]
        self.ignorable = [
            (lo << KEY_SHIFT) | (hi - lo) for lo, hi in split_ranges(read_property(ucd, "Case_Ignorable"))
        ]
        self.run_keys = [k for k, _ in self.runs]
        self.run_deltas = [d for _, d in self.runs]
        # The packed runs must reproduce the one-to-one mappings exactly: a
        # stride-2 run must not claim the code points it steps over.
        for cp in range(MAX_CP + 1):
            got = lookup_run(self.run_keys, self.run_deltas, cp)
            if got != single.get(cp):
                sys.exit(f"packed runs disagree at U+{cp:04X}: {got} vs {single.get(cp)}")

    def lower(self, cp: int) -> list[int]:
        if cp in self.special:
            return self.special[cp]
        got = lookup_run(self.run_keys, self.run_deltas, cp)
        return [cp if got is None else got]

    def cased_cp(self, cp: int) -> bool:
        return in_ranges(self.cased, cp)

    def ignorable_cp(self, cp: int) -> bool:
        return in_ranges(self.ignorable, cp)


def hex_rows(values: list[str], per_line: int) -> str:
    lines = []
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join(values[i : i + per_line]) + ",")
    return "\n".join(lines)


def render(t: Tables) -> str:
    runs = hex_rows([f"{{0x{k:08X}u, {d}}}" for k, d in t.runs], 4)
    special_rows = []
    for cp in sorted(t.special):
        m = t.special[cp] + [0] * (MAX_SPECIAL - len(t.special[cp]))
        special_rows.append(f"    {{0x{cp:04X}, {len(t.special[cp])}, {{{', '.join(f'0x{x:04X}' for x in m)}}}}},")
    cased = hex_rows([f"0x{v:08X}u" for v in t.cased], 6)
    ignorable = hex_rows([f"0x{v:08X}u" for v in t.ignorable], 6)
    return f"""\
// Lower-case tables for Unicode {t.version}. Generated by tools/gen_unicode_lower.py
// from UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt; do not edit.
//
// kLowerRuns: {{first << 11 | stride2 << 10 | (length - 1), delta}}, sorted by
//   first code point; the run maps first + k * stride (k < length) to itself
//   plus delta, stride being 2 when the flag is set and 1 otherwise.
// kLowerSpecial: unconditional mappings to more than one code point.
// kCased, kCaseIgnorable: first << 11 | (length - 1), sorted, disjoint.

constexpr LowerRun kLowerRuns[] = {{
{runs}
}};

constexpr LowerSpecial kLowerSpecial[] = {{
{chr(10).join(special_rows)}
}};

constexpr std::uint32_t kCased[] = {{
{cased}
}};

constexpr std::uint32_t kCaseIgnorable[] = {{
{ignorable}
}};
"""


def py_final_sigma(before: str, after: str) -> bool:
    """Whether str.lower() turns the U+03A3 between before and after into U+03C2."""
    # `before` never holds a sigma here, so lower-casing it alone gives the
    # length that it takes in the whole result (U+0130 takes two).
    return (before + "\u03a3" + after).lower()[len(before.lower())] == "\u03c2"


def check(t: Tables) -> int:
    """Compare the packed tables with this interpreter's str.lower()."""
    py_version = unicodedata.unidata_version
    print(f"tables: Unicode {t.version}; Python {sys.version.split()[0]}: Unicode {py_version}")
    diffs = 0

    def report(kind: str, cp: int, ours, theirs) -> None:
        nonlocal diffs
        diffs += 1
        if diffs <= 50:
            print(f"  {kind} U+{cp:04X} ({unicodedata.name(chr(cp), '?')}): ours {ours}, python {theirs}")

    for cp in range(MAX_CP + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        ours = "".join(map(chr, t.lower(cp)))
        theirs = chr(cp).lower()
        if ours != theirs:
            report("lower", cp, [hex(ord(c)) for c in ours], [hex(ord(c)) for c in theirs])

        # The final-sigma rule only asks "case-ignorable?" of every scanned
        # character and "cased?" of the first one that is not. With c between
        # a cased letter and the sigma, or after the sigma, a case-ignorable c
        # gives U+03C2 both times, any other c exactly once; and c alone
        # before the sigma gives U+03C2 exactly when c is cased and not
        # case-ignorable. Whether a case-ignorable c is cased never matters.
        c = chr(cp)
        if cp == SIGMA:
            continue
        ign_py = py_final_sigma("A" + c, "") and py_final_sigma("A", c)
        if ign_py != t.ignorable_cp(cp):
            report("case-ignorable", cp, t.ignorable_cp(cp), ign_py)
        elif not ign_py:
            cased_py = py_final_sigma(c, "")
            if cased_py != t.cased_cp(cp):
                report("cased", cp, t.cased_cp(cp), cased_py)
    print(f"{diffs} difference(s)")
    return 1 if diffs else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ucd", type=Path, default=Path("/usr/share/unicode"), help="Unicode data directory")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="table file to write")
    ap.add_argument("--check", action="store_true", help="compare with str.lower() instead of writing")
    args = ap.parse_args()
    tables = Tables(args.ucd)
    if args.check:
        return check(tables)
    args.out.write_text(render(tables), encoding="utf-8")
    print(
        f"wrote {args.out}: Unicode {tables.version}, {len(tables.runs)} runs, "
        f"{len(tables.special)} special, {len(tables.cased)} cased and "
        f"{len(tables.ignorable)} case-ignorable ranges"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
