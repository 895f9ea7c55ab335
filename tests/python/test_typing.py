"""The installed type stubs: mypy --strict accepts correct use, rejects wrong use, and the stubs match the module."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent
EXAMPLE = HERE / "typing_example.py"


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    # A directory of its own: no project configuration, and a cache shared by the runs.
    return tmp_path_factory.mktemp("mypy")


def run_mypy(directory, *files):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-color-output",
         "--cache-dir", str(directory / "cache"), *map(str, files)],
        cwd=directory,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_example_passes_strict_mypy(mypy_dir):
    result = run_mypy(mypy_dir, EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 source file" in result.stdout


def test_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


# Each line is wrong on its own; mypy must report it with the error code.
WRONG_USES = [
    ("board.push(1)", "arg-type"),
    ("Board(fen=1)", "arg-type"),
    ("Board(position='8/8/8/8/8/8/8/8 w - -')", "call-arg"),
    ("Board.bitboard_from_fen()", "call-arg"),
    ("board.pop(1)", "call-arg"),
    ("generator(board.fen())", "arg-type"),
    ("generator(board, board)", "call-arg"),
    ("moves: list[int] = generator(board)", "assignment"),
    ("side: int = board.turn()", "assignment"),
    ("count: int = board.push('e2e4')", "func-returns-value"),
    ("fen: bytes = board.fen()", "assignment"),
    ("board.__setstate__('state')", "arg-type"),
    ("board.push_san(chess_move='e4')", "call-arg"),
    ("check: str = board.is_check()", "assignment"),
    ("board.frobnicate()", "attr-defined"),
    ("generator.many([board, 1])", "list-item"),
    ("generator.many(board)", "arg-type"),
    ("generator.many([board], 2)", "call-arg"),
    ("nodes: str = generator.perft(board, 2)", "assignment"),
    ("generator.perft(board, '2')", "arg-type"),
    ("orvex_chess.ChessMove", "attr-defined"),
    ("orvex_chess.PanicException", "attr-defined"),
    ("class Derived(Board): pass", "misc"),
    ("board.move_index('e2e4', 'alphazero')", "arg-type"),
    ("board.planes(True)", "call-overload"),
    ("generator.legal_mask(board, 'az', out=[0])", "call-overload"),
    ("generator.mask_many([board], 'lc1')", "call-overload"),
    ("generator.planes_many([board], out=bytearray(768), threads='2')", "call-overload"),
    ("generator.indices_many([board], 'az', out=None)", "call-arg"),
    ("index: str = board.move_index('e2e4', 'az')", "assignment"),
]

PROLOGUE = [
    "import orvex_chess",
    "from orvex_chess import Board, MoveGenerator",
    "board = Board()",
    "generator = MoveGenerator()",
]


@pytest.fixture(scope="module")
def wrong_use_report(mypy_dir):
    path = mypy_dir / "wrong_uses.py"
    path.write_text("\n".join(PROLOGUE + [code for code, _ in WRONG_USES]) + "\n")
    result = run_mypy(mypy_dir, path)
    return result.returncode, result.stdout


def test_prologue_alone_passes(mypy_dir):
    path = mypy_dir / "prologue.py"
    path.write_text("\n".join(PROLOGUE) + "\n")
    result = run_mypy(mypy_dir, path)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("index, code, error_code",
                         [(i, code, err) for i, (code, err) in enumerate(WRONG_USES)],
                         ids=[code for code, _ in WRONG_USES])
def test_mypy_rejects_wrong_use(wrong_use_report, index, code, error_code):
    returncode, report = wrong_use_report
    assert returncode == 1
    line = len(PROLOGUE) + index + 1
    errors = [text for text in report.splitlines() if text.startswith(f"wrong_uses.py:{line}: error:")]
    assert errors, f"line {line} ({code}) was accepted:\n{report}"
    assert any(f"[{error_code}]" in text for text in errors), errors


def test_stubs_match_the_module(mypy_dir):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orvex_chess"],
                            cwd=mypy_dir, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_are_installed_beside_the_module():
    import orvex_chess

    site = Path(orvex_chess.__file__).parent
    assert (site / "orvex_chess-stubs" / "__init__.pyi").is_file()


PGN_EXAMPLE = HERE / "typing_example_pgn.py"


def test_pgn_reader_example_passes_strict_mypy_and_runs(mypy_dir):
    result = run_mypy(mypy_dir, PGN_EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr
    run = subprocess.run([sys.executable, str(PGN_EXAMPLE)], capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


def test_companion_package_passes_strict_mypy(mypy_dir):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_dir / "cache"),
         "--disable-error-code", "import-untyped", "-p", "orvex_tools"],
        cwd=mypy_dir, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("code, error_code", [
    ("read_games('games.pgn', errors='ignore')", "arg-type"),
    ("read_games('games.pgn', threads='2')", "arg-type"),
    ("moves: list[int] = next(read_games('games.pgn')).moves", "assignment"),
    ("write_games(io.BytesIO(), [])", "arg-type"),
    ("write_games('games.pgn', [({}, None, ['e2e4'])])", "list-item"),
])
def test_mypy_rejects_wrong_use_of_the_pgn_reader(mypy_dir, code, error_code):
    path = mypy_dir / "wrong_pgn_use.py"
    path.write_text(f"import io\nfrom orvex_tools import read_games, write_games\n{code}\n")
    result = run_mypy(mypy_dir, path)
    assert result.returncode == 1 and f"[{error_code}]" in result.stdout, result.stdout


def test_pgn_stub_matches_the_extension(mypy_dir):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orvex_tools._pgn"],
                            cwd=mypy_dir, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
