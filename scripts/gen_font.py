#!/usr/bin/env python3
"""Turns the glyph drawings of scripts/font_glyphs.txt into the font tables of
src/driver/module/font_data.cpp.

    scripts/gen_font.py            rewrite font_data.cpp
    scripts/gen_font.py --check    exit 1 when font_data.cpp is not what the drawings give
    scripts/gen_font.py --show 16 "V:3.3"   print a text as the display would draw it

Table layout, as show_char reads it: glyphs in code order from 32, each stored column
by column in bands of 8 rows (all columns of rows 0-7, then all columns of rows 8-15,
...), bit k of a byte being row band * 8 + k.
"""
import argparse
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "scripts" / "font_glyphs.txt"
OUTPUT = ROOT / "src" / "driver" / "module" / "font_data.cpp"

FIRST_CODE = 32
# size argument -> (table name, cell columns, bands of 8 rows, glyph count)
FONTS = {
    8: ("FONT_0806", 6, 1, 92),
    12: ("FONT_1206", 6, 2, 95),
    16: ("FONT_1608", 8, 2, 95),
    24: ("FONT_2412", 12, 3, 95),
}
# The size-24 font is the size-12 drawing at twice the scale.
SCALED = {24: (12, 2)}

# Glyphs the display firmware of the instrument has always shown; the drawings must
# keep them bit for bit.
PINNED = {
    (16, "A"): "00 00 C0 38 E0 00 00 00 20 3C 23 02 02 27 38 20",
    (16, "0"): "00 E0 10 08 08 10 E0 00 00 0F 10 20 20 10 0F 00",
    (16, " "): "00 " * 15 + "00",
}


class GlyphError(Exception):
    pass


def parse(text):
    """Returns {size: [rows of glyph 32, rows of glyph 33, ...]}, rows as strings."""
    fonts = {}
    size = width = height = None
    glyph = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip()
        where = f"{SOURCE.name}:{number}"
        # A comment is "#" alone or "# " and text; pixel rows hold no blanks.
        if not line or line == "#" or line.startswith("# "):
            continue
        if line.startswith("font "):
            _, s, dims = line.split()
            size = int(s)
            width, height = (int(v) for v in dims.split("x"))
            if size in fonts:
                raise GlyphError(f"{where}: font {size} drawn twice")
            fonts[size] = []
            glyph = None
            continue
        if line.startswith("[") and line.endswith("]") and len(line) >= 3:
            if size is None:
                raise GlyphError(f"{where}: glyph before any font line")
            name = line[1:-1]
            char = " " if name == "space" else name
            expected = chr(FIRST_CODE + len(fonts[size]))
            if len(char) != 1 or char != expected:
                raise GlyphError(f"{where}: expected the glyph of {expected!r}, found {line}")
            glyph = []
            fonts[size].append(glyph)
            continue
        if glyph is None:
            raise GlyphError(f"{where}: pixel row outside a glyph")
        if len(line) != width or not set(line) <= {"#", "."}:
            raise GlyphError(f"{where}: a row is {width} of '#' and '.', found {line!r}")
        if len(glyph) == height:
            raise GlyphError(f"{where}: more than {height} rows")
        glyph.append(line)
    for s, glyphs in fonts.items():
        for index, rows in enumerate(glyphs):
            if len(rows) != len(glyphs[0]) or not rows:
                raise GlyphError(f"font {s}: glyph {chr(FIRST_CODE + index)!r} is short of rows")
    return fonts


def scale(rows, factor):
    return ["".join(c * factor for c in row) for row in rows for _ in range(factor)]


def encode(rows, columns, bands):
    if len(rows) > bands * 8 or any(len(r) > columns for r in rows):
        raise GlyphError(f"a drawing of {len(rows[0])}x{len(rows)} does not fit {columns}x{bands * 8}")
    out = []
    for band in range(bands):
        for col in range(columns):
            byte = 0
            for k in range(8):
                row = band * 8 + k
                if row < len(rows) and col < len(rows[row]) and rows[row][col] == "#":
                    byte |= 1 << k
            out.append(byte)
    return out


def build(fonts):
    """Returns {size: [bytes of glyph 32, ...]} for every size of FONTS."""
    tables = {}
    for size, (name, columns, bands, count) in FONTS.items():
        source, factor = SCALED.get(size, (size, 1))
        if source not in fonts:
            raise GlyphError(f"no drawing for font {source}")
        drawings = fonts[source]
        if len(drawings) < count:
            raise GlyphError(f"font {source} has {len(drawings)} glyphs, {name} needs {count}")
        tables[size] = [encode(scale(rows, factor), columns, bands) for rows in drawings[:count]]
    for (size, char), hexes in PINNED.items():
        got = tables[size][ord(char) - FIRST_CODE]
        if got != [int(h, 16) for h in hexes.split()]:
            raise GlyphError(f"font {size}: glyph {char!r} is {' '.join(f'{b:02X}' for b in got)}, "
                             f"must stay {hexes}")
    for size, glyphs in tables.items():
        for index, data in enumerate(glyphs[1:], 1):
            if not any(data):
                raise GlyphError(f"font {size}: glyph {chr(FIRST_CODE + index)!r} is blank")
    return tables


def render_cpp(tables):
    lines = [
        "// Generated by scripts/gen_font.py from scripts/font_glyphs.txt. Do not edit:",
        "// change the drawings and run the script again.",
        '#include "driver/module/font.h"',
        "",
        "namespace driver::module::font {",
    ]
    for size, (name, columns, bands, count) in FONTS.items():
        lines.append("")
        lines.append(f"const std::uint8_t {name}[{count} * {columns * bands}] = {{")
        for index, data in enumerate(tables[size]):
            char = chr(FIRST_CODE + index)
            label = "space" if char == " " else char
            body = ",".join(f"0x{b:02X}" for b in data)
            # A backslash must not end a line comment.
            lines.append(f"    {body},  // {label!r}" if label == "\\" else f"    {body},  // {label}")
        lines.append("};")
    lines.append("")
    lines.append("}  // namespace driver::module::font")
    return "\n".join(lines) + "\n"


def show(tables, size, text):
    name, columns, bands, count = FONTS[size]
    rows = [""] * (bands * 8)
    for char in text:
        index = ord(char) - FIRST_CODE
        if not 0 <= index < count:
            continue
        data = tables[size][index]
        for r in range(bands * 8):
            band, k = divmod(r, 8)
            rows[r] += "".join("#" if data[band * columns + c] >> k & 1 else "." for c in range(columns))
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--show", nargs=2, metavar=("SIZE", "TEXT"), help="print TEXT in a font")
    args = parser.parse_args()
    try:
        tables = build(parse(SOURCE.read_text()))
    except GlyphError as e:
        print(f"gen_font: {e}", file=sys.stderr)
        return 1
    if args.show:
        size = int(args.show[0])
        if size not in FONTS:
            print(f"gen_font: sizes are {sorted(FONTS)}", file=sys.stderr)
            return 2
        print(show(tables, size, args.show[1]))
        return 0
    text = render_cpp(tables)
    if args.check:
        if not OUTPUT.exists() or OUTPUT.read_text() != text:
            print(f"gen_font: {OUTPUT.relative_to(ROOT)} is out of date; run scripts/gen_font.py",
                  file=sys.stderr)
            return 1
        return 0
    OUTPUT.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
