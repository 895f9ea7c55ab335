"""Writes src/board/polyglot_keys.h: the 781 random numbers of Polyglot
opening-book keys, taken from python-chess's copy of the published table.

    python scripts/gen_polyglot_keys.py           # write the header
    python scripts/gen_polyglot_keys.py --check   # exit 1 if it differs
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

HEADER = Path(__file__).resolve().parent.parent / "src" / "board" / "polyglot_keys.h"
PER_LINE = 3


def header_text() -> str:
    from chess.polyglot import POLYGLOT_RANDOM_ARRAY

    keys = POLYGLOT_RANDOM_ARRAY
    assert len(keys) == 781
    lines = [
        "// The 781 random numbers of Polyglot opening-book keys, as published with",
        "// the Polyglot book format. Written by scripts/gen_polyglot_keys.py; do not",
        "// edit by hand.",
        "//",
        "//   0 to 767    pieces: 64 * piece + square, piece = 2 * type + (1 if white),",
        "//               types pawn, knight, bishop, rook, queen, king",
        "//   768 to 771  castling rights K, Q, k, q",
        "//   772 to 779  en-passant file a to h",
        "//   780         white to move",
        "#pragma once",
        "",
        "#include <array>",
        "#include <cstdint>",
        "",
        "namespace orvex {",
        "",
        "inline constexpr std::array<std::uint64_t, 781> kPolyglotKeys = {",
    ]
    for i in range(0, len(keys), PER_LINE):
        lines.append("    " + " ".join(f"0x{k:016X}," for k in keys[i:i + PER_LINE]))
    lines += ["};", "", "}  // namespace orvex", ""]
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the header with the table instead of writing it")
    args = parser.parse_args()
    text = header_text()
    if args.check:
        if HEADER.read_text() != text:
            print(f"{HEADER} differs from the python-chess table", file=sys.stderr)
            return 1
        return 0
    HEADER.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
