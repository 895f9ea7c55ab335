"""Breaks the game rules one plausible way at a time and checks that the
default test run notices each break.

    python scripts/rule_mutants.py [mutant name ...]

Each mutant is a small edit of the core's rule code, the kind of slip a
change could make (a comparison dropped, a threshold off by one). For each,
the edit is applied, the module and the C++ tests are rebuilt in
build/mutants/, the C++ rule tests and the Python test files that call the
rule methods are run, and the edit is undone. A mutant that fewer than two
tests catch is reported, and the script fails. The sources are restored even
when the run is interrupted.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutants"
SITE = BUILD / "site"
OUTCOME = "src/rules/outcome.cpp"
REPETITION = "src/rules/repetition.cpp"

# name: (file, text, replacement)
MUTANTS = {
    "repetition-ignores-en-passant": (
        REPETITION, "if (other == file) ++found;", "++found;"),
    "knight-insufficient-whatever-the-other-side-has": (
        OUTCOME, "return std::popcount(ours) <= 2 && !(theirs & ~kings & ~queens);",
        "return std::popcount(ours) <= 2;"),
    "bishops-insufficient-on-both-colours": (
        OUTCOME, "const bool same_colour = !(bishops & kDarkSquares) || !(bishops & kLightSquares);",
        "const bool same_colour = true;"),
    "checkmate-without-check": (
        OUTCOME, "return in_check(tables, board) && !has_legal_move(tables, board);",
        "return !has_legal_move(tables, board);"),
    "stalemate-in-check": (
        OUTCOME, "return !in_check(tables, board) && !has_legal_move(tables, board);",
        "return !has_legal_move(tables, board);"),
    "move-count-rules-after-mate": (
        OUTCOME, "return board.halfmove_clock >= n && has_legal_move(tables, board);",
        "return board.halfmove_clock >= n;"),
    "fifty-moves-at-99": (
        OUTCOME, "return halfmoves(tables, board, 100);", "return halfmoves(tables, board, 99);"),
    "seventyfive-moves-at-149": (
        OUTCOME, "return halfmoves(tables, board, 150);", "return halfmoves(tables, board, 149);"),
    "fifty-claimed-after-any-move": (
        OUTCOME, "const bool found = next.halfmove_clock >= 100 && has_legal_move(tables, next);",
        "const bool found = has_legal_move(tables, next);"),
    "outcome-misses-stalemate": (
        OUTCOME, "if (!moves) return Outcome{Termination::kStalemate};", ""),
    "outcome-fivefold-at-four": (
        OUTCOME, "is_repetition(tables, board, 5)", "is_repetition(tables, board, 4)"),
    "threefold-claim-ignores-the-moves": (
        REPETITION, "    if (found) return true;\n  }\n  return false;\n}\n\n}  // namespace orvex",
        "    (void)found;\n  }\n  return false;\n}\n\n}  // namespace orvex"),
}

RULE_METHODS = ("is_checkmate", "is_stalemate", "is_insufficient_material", "is_fifty_moves",
                "is_seventyfive_moves", "is_repetition", "is_fivefold_repetition",
                "can_claim_threefold_repetition", "can_claim_fifty_moves", "outcome")


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, text=True, capture_output=True, **kwargs)


def build():
    if not (BUILD / "CMakeCache.txt").exists():
        configure = run(["cmake", "-S", ".", "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                         "-DORVEX_BUILD_MODULE=ON", "-DORVEX_BUILD_TESTS=ON",
                         f"-DPython_EXECUTABLE={sys.executable}"])
        if configure.returncode:
            sys.exit(configure.stdout + configure.stderr)
    made = run(["cmake", "--build", str(BUILD), "--parallel", "2"])
    if made.returncode:
        return made.stdout[-3000:] + made.stderr[-3000:]
    SITE.mkdir(exist_ok=True)
    installed = run(["cmake", "--install", str(BUILD), "--prefix", str(SITE)])
    return installed.stderr if installed.returncode else None


def python_test_files():
    pattern = re.compile(r"\.(" + "|".join(RULE_METHODS) + r")\(")
    return sorted(str(p.relative_to(ROOT)) for p in (ROOT / "tests" / "python").glob("test_*.py")
                  if pattern.search(p.read_text()))


def failures():
    """The number of failing C++ and Python tests of the default run."""
    failed = 0
    cpp = run([str(BUILD / "tests" / "cpp" / "orvex_core_tests"), "--gtest_brief=1"])
    failed += len(re.findall(r"^\[  FAILED  \] \S+\.\S+", cpp.stdout, re.M)) // 2 or int(cpp.returncode != 0)
    env = dict(os.environ, PYTHONPATH=str(SITE))
    if SITE not in map(Path, run([sys.executable, "-c", "import orvex_chess, os; "
                                  "print(os.path.dirname(orvex_chess.__file__))"],
                                 env=env).stdout.split()):
        sys.exit(f"orvex_chess does not load from {SITE}")
    py = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", "2",
              *python_test_files()], env=env)
    found = re.search(r"(\d+) failed", py.stdout)
    failed += int(found.group(1)) if found else int(py.returncode != 0)
    return failed


def main(names):
    chosen = names or list(MUTANTS)
    unknown = set(chosen) - set(MUTANTS)
    if unknown:
        sys.exit(f"no such mutant: {', '.join(sorted(unknown))}")
    error = build()
    if error or failures():
        sys.exit(f"the unchanged sources do not pass: {error or 'tests fail'}")
    weak = []
    for name in chosen:
        path, text, replacement = MUTANTS[name]
        source = ROOT / path
        original = source.read_text()
        if original.count(text) != 1:
            sys.exit(f"{name}: the text to change is not in {path} exactly once; update the mutant")
        try:
            source.write_text(original.replace(text, replacement))
            error = build()
            caught = failures() if not error else None
        finally:
            source.write_text(original)
        if error:
            sys.exit(f"{name}: does not build:\n{error}")
        print(f"{caught:4d} failing tests  {name}", flush=True)
        if caught < 2:
            weak.append(name)
    build()  # leave the build as the sources are
    if weak:
        sys.exit(f"caught by fewer than two tests: {', '.join(weak)}")
    print("every mutant is caught by at least two tests")


if __name__ == "__main__":
    main(sys.argv[1:])
