"""Writes clipweave/voice/symbols.hpp: the code points the offline voices
must not read aloud, as ranges. Run with the newest CPython at hand (its
unicodedata decides the Unicode version):

    python3 scripts/symbol_ranges.py > clipweave/voice/symbols.hpp
"""
import sys
import unicodedata

# Read aloud with meaning ("25 degrees"), though Unicode files them as symbols.
SPOKEN = {0x00B0, 0x2103, 0x2109}
# Emoji blocks, whole: emoji newer than this unicodedata are unassigned here.
# Then what joins or dresses emoji: zero width joiner, keycap, variation
# selectors, tags.
BLOCKS = [(0x2600, 0x27BF), (0x2B00, 0x2BFF), (0x1F000, 0x1FAFF), (0x200D, 0x200D),
          (0x20E3, 0x20E3), (0xFE00, 0xFE0F), (0xE0000, 0xE007F), (0xE0100, 0xE01EF)]


def ranges():
    points = {c for c in range(sys.maxunicode + 1)
              if unicodedata.category(chr(c)) in ("So", "Sk") and c not in SPOKEN}
    for first, last in BLOCKS:
        points.update(range(first, last + 1))
    out = []
    for c in sorted(points):
        if out and out[-1][1] == c - 1:
            out[-1][1] = c
        else:
            out.append([c, c])
    return out


def main():
    rows = ranges()
    print(f"// Written by scripts/symbol_ranges.py (Unicode {unicodedata.unidata_version}): "
          "symbols (So, Sk), emoji and what joins them, which the offline voices would read "
          "by name.")
    print("#pragma once\n\nnamespace clipweave::voice {\n")
    print("struct CodeRange {\n    char32_t first, last;\n};\n")
    print(f"inline constexpr CodeRange kUnspoken[] = {{")
    line = "   "
    for first, last in rows:
        item = f" {{0x{first:X}, 0x{last:X}}},"
        if len(line) + len(item) > 100:
            print(line)
            line = "   "
        line += item
    print(line)
    print("};\n\n}  // namespace clipweave::voice")


if __name__ == "__main__":
    main()
