#!/usr/bin/env python3
"""Generates src/support/unicode_tables.inc from the Unicode Character Database.

The reader's error messages, the services' screens and records show a text
that someone else chose in a quoted form that escapes what a terminal would
not show faithfully. Two sets decide that:

  not printable     every code point whose general category is Cc (control),
                    Cf (format), Cs (surrogate), Co (private use), Cn
                    (unassigned, i.e. absent from UnicodeData.txt), Zl (line
                    separator), Zp (paragraph separator) or Zs (space
                    separator), except U+0020 SPACE itself. Invisible or
                    layout-changing characters would otherwise hide inside
                    the message; a space between words stays readable.
                    Also every character a terminal draws as blank or as
                    nothing, whatever its category, so that none can pass
                    for a space, hide inside a word or pad a text out of
                    view: the Default_Ignorable_Code_Point property from
                    DerivedCoreProperties.txt (the Hangul fillers U+115F,
                    U+1160, U+3164, U+FFA0, the Khmer inherent vowels, the
                    Mongolian variation selectors, the musical format
                    characters, tags and variation selectors among them),
                    the conjoining Hangul vowels and final consonants
                    (Hangul_Syllable_Type V and T from HangulSyllableType.txt,
                    which terminals draw with no width of their own), and
                    the symbols whose glyph is empty (BLANK_GLYPHS below).
  grapheme extend   the Grapheme_Extend property from DerivedCoreProperties.txt:
                    combining marks would otherwise attach to the quote or to
                    the character before them.

Both are written as sorted, merged [first, last] ranges so that a lookup is a
binary search over a constant array.

Usage: tools/gen_unicode_tables.py [UCD_DIR] > src/support/unicode_tables.inc
UCD_DIR defaults to /usr/share/unicode (Debian package unicode-data).
"""

import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
# Symbols drawn as an empty cell, which no property of the database names:
# U+2800 BRAILLE PATTERN BLANK, U+1D159 MUSICAL SYMBOL NULL NOTEHEAD.
BLANK_GLYPHS = {0x2800, 0x1D159}


def read_categories(path):
    """Returns a list mapping every code point to its general category."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 3:
                continue
            code = int(fields[0], 16)
            name, category = fields[1], fields[2]
            if name.endswith(", First>"):
                range_start = code
                continue
            if name.endswith(", Last>"):
                for c in range(range_start, code + 1):
                    categories[c] = category
                range_start = None
                continue
            categories[code] = category
    return categories


def read_property(path, wanted):
    """Returns the set of code points that have the binary property `wanted`."""
    points = set()
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*(\w+)")
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = pattern.match(line)
            if not m or m.group(3) != wanted:
                continue
            first = int(m.group(1), 16)
            last = int(m.group(2), 16) if m.group(2) else first
            points.update(range(first, last + 1))
    return points


def to_ranges(points):
    ranges = []
    for c in sorted(points):
        if ranges and ranges[-1][1] + 1 == c:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def emit(name, ranges, out):
    out.write(f"inline constexpr CodePointRange {name}[] = {{\n")
    for first, last in ranges:
        out.write(f"    {{0x{first:04X}, 0x{last:04X}}},\n")
    out.write("};\n\n")


def read_version(ucd_dir):
    path = os.path.join(ucd_dir, "ReadMe.txt")
    try:
        with open(path, encoding="utf-8") as f:
            m = re.search(r"Version (\d+\.\d+\.\d+)", f.read())
            return m.group(1) if m else "unknown"
    except OSError:
        return "unknown"


def main():
    ucd_dir = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    categories = read_categories(os.path.join(ucd_dir, "UnicodeData.txt"))
    not_printable = {
        c for c in range(MAX_CODE_POINT + 1)
        if categories[c] in NOT_PRINTABLE_CATEGORIES and c != 0x20
    }
    core_properties = os.path.join(ucd_dir, "DerivedCoreProperties.txt")
    syllable_types = os.path.join(ucd_dir, "HangulSyllableType.txt")
    not_printable |= read_property(core_properties, "Default_Ignorable_Code_Point")
    not_printable |= read_property(syllable_types, "V") | read_property(syllable_types, "T")
    not_printable |= BLANK_GLYPHS
    extend = read_property(core_properties, "Grapheme_Extend")

    out = sys.stdout
    out.write("// Generated by tools/gen_unicode_tables.py from the Unicode Character\n")
    out.write(f"// Database {read_version(ucd_dir)}; do not edit by hand.\n")
    out.write("// Included inside namespace kelvane::visible by visible_text.cc.\n\n")
    emit("kNotPrintable", to_ranges(not_printable), out)
    emit("kGraphemeExtend", to_ranges(extend), out)


if __name__ == "__main__":
    main()
