"""The installed orvex-chess command: moves, perft, errors and help."""

import io
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
POSITION3 = "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"
POSITION4 = "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"
POSITION5 = "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"

# Published perft 3 of the start position, divided by root move.
START_DIVIDE_3 = {
    "a2a3": 380, "b2b3": 420, "c2c3": 420, "d2d3": 539, "e2e3": 599, "f2f3": 380,
    "g2g3": 420, "h2h3": 380, "a2a4": 420, "b2b4": 421, "c2c4": 441, "d2d4": 560,
    "e2e4": 600, "f2f4": 401, "g2g4": 421, "h2h4": 420, "b1a3": 400, "b1c3": 440,
    "g1f3": 440, "g1h3": 400,
}


def _command():
    beside = Path(sys.executable).parent / "orvex-chess"
    found = str(beside) if beside.exists() else shutil.which("orvex-chess")
    assert found, "the orvex-chess command is not installed (pip install .)"
    return found


COMMAND = _command()


def run(*args, stdin=None):
    return subprocess.run([COMMAND, *args], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "COLUMNS": "100"}, input=stdin)


def nodes_of(stdout):
    found = re.findall(r"^Nodes: (\d+)$", stdout, flags=re.MULTILINE)
    assert len(found) == 1, stdout
    return int(found[0])


@pytest.mark.parametrize("command", [[COMMAND], [sys.executable, "-m", "orvex_tools"]],
                         ids=["script", "python-m"])
def test_moves_of_the_start_position(command):
    result = subprocess.run([*command, "moves"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == " ".join(MoveGenerator()(Board())) + "\n"
    assert len(result.stdout.split()) == 20
    assert result.stderr == ""


@pytest.mark.parametrize(
    "args, fen, count",
    [
        ([KIWIPETE], KIWIPETE, 48),
        (KIWIPETE.split(), KIWIPETE, 48),
        ([POSITION3 + " 0 1"], POSITION3, 14),
        (["--", POSITION4], POSITION4, 6),
        (["8/8/8/8/8/8/8/8 w - -"], "8/8/8/8/8/8/8/8 w - -", 0),
    ],
    ids=["quoted", "separate-fields", "with-counters", "after-double-dash", "no-moves"],
)
def test_moves_of_a_fen(args, fen, count):
    result = run("moves", *args)
    assert result.returncode == 0, result.stderr
    assert result.stdout == " ".join(MoveGenerator()(Board(fen))) + "\n"
    assert len(result.stdout.split()) == count


def _moves_lines(*fens):
    generator = MoveGenerator()
    return "".join(" ".join(generator(Board(fen))) + "\n" for fen in fens)


@pytest.mark.parametrize(
    "args",
    [
        [KIWIPETE, POSITION3, "8/8/8/8/8/8/8/8 w - -", POSITION4],
        [*KIWIPETE.split(), *POSITION3.split(), "8/8/8/8/8/8/8/8", "w", "-", "-", POSITION4,
         "--threads", "2"],
    ],
    ids=["quoted", "separate-fields"],
)
def test_moves_of_several_fens_one_line_each(args):
    result = run("moves", *args)
    assert result.returncode == 0, result.stderr
    assert result.stdout == _moves_lines(KIWIPETE, POSITION3, "8/8/8/8/8/8/8/8 w - -", POSITION4)


def test_moves_of_fens_on_standard_input(monkeypatch):
    from orvex_tools import cli

    # Blocks smaller than the input, so that it is read in several.
    monkeypatch.setattr(cli, "STDIN_BLOCK", 3)
    fens = [KIWIPETE, POSITION3 + " 0 1", POSITION4, DEFAULT_FEN, POSITION5] * 3
    lines = "\n".join(fens[:7]) + "\n\n  \n" + "\n".join(fens[7:]) + "\n"
    monkeypatch.setattr(sys, "stdin", io.StringIO(lines))
    output = io.StringIO()
    monkeypatch.setattr(sys, "stdout", output)
    assert cli.main(["moves", "-"]) == 0
    assert output.getvalue() == _moves_lines(*fens)


@pytest.mark.parametrize(
    "args, stdin, detail",
    [
        (["-"], f"{DEFAULT_FEN}\n\nx w - -\n", "cannot read FEN 'x w - -' on line 3 of standard input: Invalid piece type"),
        ([DEFAULT_FEN, "8/8/8/8/8/8/8/8 w Kx -"], "", "cannot read FEN '8/8/8/8/8/8/8/8 w Kx -': Invalid castling"),
        ([DEFAULT_FEN, KIWIPETE, "--moves", "e2e4"], "", "--moves needs a single position, not 2"),
        (["-", "--moves", "e2e4"], "", "--moves needs a single position"),
    ],
)
def test_bad_input_of_several_positions(args, stdin, detail):
    result = subprocess.run([COMMAND, "moves", *args], input=stdin, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("orvex-chess: error: ")
    assert detail in result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr


@pytest.mark.parametrize("letter", ["q", "Q", "n", "N"])
def test_promotion_letter_in_either_case(letter):
    result = run("moves", "1r2k3/P7/8/8/8/8/8/4K3 w - -", "--moves", f"a7b8{letter}")
    assert result.returncode == 0, result.stderr
    board = Board("1r2k3/P7/8/8/8/8/8/4K3 w - -")
    board.push(f"a7b8{letter.lower()}")
    assert result.stdout.split() == MoveGenerator()(board)


def test_moves_after_played_moves():
    result = run("moves", "--moves", "e2e4 e7e5 g1f3")
    assert result.returncode == 0, result.stderr
    board = Board()
    for move in ["e2e4", "e7e5", "g1f3"]:
        board.push(move)
    assert result.stdout.split() == MoveGenerator()(board)


def test_perft_divide_on_the_start_position():
    result = run("perft", "--depth", "3", "--divide")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    divide = [line for line in lines if re.fullmatch(r"[a-h][1-8][a-h][1-8][nbrq]?: \d+", line)]
    assert len(divide) == 20
    counts = {move: int(n) for move, n in (line.split(": ") for line in divide)}
    assert counts == START_DIVIDE_3
    # Root moves in the library's order, then a blank line and the totals.
    assert list(counts) == MoveGenerator()(Board())
    assert lines[20] == ""
    assert nodes_of(result.stdout) == 8902


@pytest.mark.parametrize(
    "fen, depth, nodes",
    [
        (DEFAULT_FEN, 1, 20),
        (DEFAULT_FEN, 2, 400),
        (KIWIPETE, 1, 48),
        (KIWIPETE, 2, 2039),
        (POSITION3, 3, 2812),
        (POSITION4, 2, 264),
        (POSITION5, 2, 1486),
    ],
)
def test_perft_counts(fen, depth, nodes):
    result = run("perft", fen, "--depth", str(depth))
    assert result.returncode == 0, result.stderr
    assert nodes_of(result.stdout) == nodes
    assert not re.search(r"^[a-h][1-8][a-h][1-8]", result.stdout, flags=re.MULTILINE)


@pytest.mark.parametrize("threads", [[], ["--threads", "1"], ["-t", "3"]])
def test_perft_divide_sums_to_the_total_on_kiwipete(threads):
    result = run("perft", KIWIPETE, "-d", "2", "--divide", "--no-progress", *threads)
    assert result.returncode == 0, result.stderr
    counts = [int(n) for n in re.findall(r"^[a-h][1-8][a-h][1-8][nbrq]?: (\d+)$", result.stdout,
                                         flags=re.MULTILINE)]
    assert len(counts) == 48
    assert sum(counts) == nodes_of(result.stdout) == 2039


def test_perft_defaults_to_the_start_position_at_depth_5():
    result = run("perft", "--no-progress")
    assert result.returncode == 0, result.stderr
    assert nodes_of(result.stdout) == 4865609


def test_perft_reports_time_and_speed():
    result = run("perft", "--depth", "2")
    assert result.returncode == 0, result.stderr
    assert re.search(r"^Time: \d+\.\d{3} s$", result.stdout, flags=re.MULTILINE), result.stdout
    assert re.search(r"^Speed: (\d+|-) nodes/s$", result.stdout, flags=re.MULTILINE), result.stdout


def test_perft_after_played_moves():
    result = run("perft", "--moves", "e2e4", "--depth", "1")
    assert result.returncode == 0, result.stderr
    assert nodes_of(result.stdout) == 20


@pytest.mark.parametrize("flags, shown", [([], True), (["--no-progress"], False)])
def test_progress_bar_on_stderr(flags, shown):
    result = run("perft", "--depth", "2", *flags)
    assert result.returncode == 0, result.stderr
    assert ("perft 2" in result.stderr and "move" in result.stderr) == shown
    assert "perft 2:" not in result.stdout
    if not shown:
        assert result.stderr == ""


BAD_INPUT = [
    (["x w - -"], "Invalid piece type"),
    (["8/8/8/8/8/8/8/8 w KQkq"], "en-passant field"),
    ([""], "placement field"),
    (["8/8/8/8/8/8/8/8 x - -"], "Invalid side-to-move"),
    (["8/8/8/8/8/8/8/8 w Kx -"], "Invalid castling specifier"),
    (["x\nw - -"], "'x\\nw - -': Invalid piece type"),
    (["--moves", "e2e5"], "not a legal move"),
    (["--moves", "e2e4 e2e4"], "not a legal move"),
    (["--moves", "e2"], "cannot read move 'e2'"),
    (["--moves", "E2E4"], "cannot read move 'E2E4'"),
    (["--moves", "e7e8"], "not a legal move"),
    (["--moves", "i2e4"], "cannot read move 'i2e4'"),
    (["--moves", "e2e4x"], "cannot read move 'e2e4x'"),
]


@pytest.mark.parametrize("command", ["moves", "perft"])
@pytest.mark.parametrize("args, detail", BAD_INPUT)
def test_bad_input_gives_one_line_and_status_2(command, args, detail):
    extra = ["--depth", "1"] if command == "perft" else []
    result = run(command, *args, *extra)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("orvex-chess: error: ")
    assert detail in lines[0]
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "args",
    [
        ["perft", "--depth", "0"],
        ["perft", "--depth", "three"],
        ["perft", "--threads", "0"],
        ["moves", "--threads", "many"],
        ["perft", "--width", "3"],
        ["moves", "--divide"],
        ["pgn"],
        ["pgn", "games.pgn", "--errors", "ignore"],
        ["pgn", "games.pgn", "--threads", "0"],
        ["castle"],
        [],
    ],
)
def test_bad_options_exit_2_without_traceback(args):
    result = run(*args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert "usage: orvex-chess" in result.stderr


@pytest.mark.parametrize(
    "args, options",
    [
        ([], ["moves", "perft", "pgn", "--version", "--help"]),
        (["moves"], ["FEN", "--moves", "--threads", "--help", "one line", "standard input"]),
        (["perft"], ["FEN", "--depth", "--divide", "--moves", "--threads", "--no-progress",
                     "--help", "default: 5", "stderr"]),
        (["pgn"], ["FILE", "--san", "--errors", "--threads", "--no-progress", "standard input"]),
    ],
)
def test_help_documents_every_option(args, options):
    result = run(*args, "--help")
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    for option in options:
        assert option in text, option


def test_version():
    result = run("--version")
    assert result.returncode == 0
    assert re.fullmatch(r"orvex-chess \d+\.\d+\.\d+\S*\n", result.stdout)


NASTY = Path(__file__).resolve().parent.parent / "data" / "nasty.pgn"


def python_chess_lines(san):
    """One line per game of the hand-written file as python-chess reads it, the bad game left out."""
    import chess.pgn

    lines = []
    with open(NASTY, encoding="utf-8") as handle:
        while (game := chess.pgn.read_game(handle)) is not None:
            if game.errors or not any(True for _ in game.mainline_moves()):
                continue
            board = game.board()
            words = []
            for move in game.mainline_moves():
                words.append(board.san(move) if san else move.uci())
                board.push(move)
            lines.append(" ".join(words))
    return lines


@pytest.mark.parametrize("flags", [[], ["--san"], ["--threads", "2"]])
def test_pgn_prints_one_line_per_game(flags):
    result = run("pgn", str(NASTY), "--errors", "skip", *flags)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == python_chess_lines("--san" in flags)
    assert "skipped 1 game(s)" in result.stderr
    assert "game 4 (line 39): illegal move 'Ke3' on line 42" in result.stderr


def test_pgn_writes_normalised_pgn_that_reads_back_to_the_same_games():
    from orvex_tools import read_games

    result = run("pgn", str(NASTY), "--errors", "skip", "--write-pgn", "--no-progress")
    assert result.returncode == 0, result.stderr
    written = list(read_games(io.StringIO(result.stdout)))
    originals = list(read_games(str(NASTY), errors="skip"))
    assert [g.moves for g in written] == [g.moves for g in originals]
    assert [g.result for g in written] == [g.result for g in originals]
    assert all(len(line) <= 80 for line in result.stdout.splitlines())


def test_pgn_reads_compressed_standard_input():
    import gzip

    result = subprocess.run([COMMAND, "pgn", "-", "--errors", "skip"], capture_output=True,
                            input=gzip.compress(NASTY.read_bytes()), timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == python_chess_lines(False)


def test_pgn_stops_at_a_bad_game_with_status_2():
    result = run("pgn", str(NASTY), "--no-progress")
    assert result.returncode == 2
    assert len(result.stdout.splitlines()) == 4
    assert result.stderr == (
        "orvex-chess: error: game 4 (line 39): illegal move 'Ke3' on line 42\n")


def test_pgn_of_a_missing_file():
    result = run("pgn", "no/such/file.pgn")
    assert result.returncode == 2
    assert result.stderr == (
        "orvex-chess: error: cannot read 'no/such/file.pgn': No such file or directory\n")


# ---------------------------------------------------------------------------
# Failures: one line and status 2; Ctrl-C: one line and status 130


def _compressed_inputs(folder):
    """A PGN file compressed each way, then cut in half or with its data after
    the header replaced by noise; returns {kind: path}."""
    import bz2
    import gzip
    import random

    import zstandard

    noise = random.Random(7).randbytes(4000)
    text = NASTY.read_bytes() * 20 + b"".join(
        b'[Event "%d"]\n\n1. e4 e5 {%s} 1-0\n\n' % (i, noise[i:i + 40].hex().encode())
        for i in range(200))
    paths = {}
    for suffix, compress, header in [("gz", gzip.compress, 10), ("bz2", bz2.compress, 4),
                                     ("zst", zstandard.ZstdCompressor().compress, 4)]:
        data = compress(text)
        for kind, damaged in [("truncated", data[: len(data) // 2]),
                              ("damaged", data[:header] + noise[: len(data) - header])]:
            path = folder / f"{kind}.pgn.{suffix}"
            path.write_bytes(damaged)
            paths[f"{kind}-{suffix}"] = path
    return paths


@pytest.mark.parametrize("kind, reason", [
    ("truncated-gz", "the compressed data ends early"),
    ("truncated-bz2", "the compressed data ends early"),
    ("truncated-zst", "the compressed data ends early"),
    ("damaged-gz", "the compressed data is damaged"),
    ("damaged-bz2", "the compressed data is damaged"),
    ("damaged-zst", "the compressed data is damaged"),
])
def test_pgn_of_a_truncated_or_damaged_file_gives_one_line(tmp_path, kind, reason):
    path = _compressed_inputs(tmp_path)[kind]
    result = run("pgn", str(path), "--no-progress")
    assert result.returncode == 2
    assert result.stderr.startswith(f"orvex-chess: error: cannot read {str(path)!r}: {reason}")
    assert result.stderr.count("\n") == 1, result.stderr


@pytest.mark.parametrize("args, detail", [
    (["--scheduler", "nonsense://"], "cannot use the scheduler address 'nonsense://': unknown "
                                     "address scheme 'nonsense'"),
    (["--scheduler", ""], "the scheduler address is empty"),
])
def test_a_bad_scheduler_address_gives_one_line(args, detail):
    result = run("perft", "--depth", "1", *args)
    assert result.returncode == 2
    assert result.stderr.startswith(f"orvex-chess: error: {detail}")
    assert result.stderr.count("\n") == 1, result.stderr


@pytest.mark.parametrize("args, detail", [
    (["--depth", "65"], "depth must be from 1 to 64, not 65"),
    (["--depth", "100"], "depth must be from 1 to 64, not 100"),
    (["-t", "5000"], "threads must be from 1 to 1024, not 5000"),
])
def test_perft_depth_and_threads_are_bounded(args, detail):
    result = run("perft", *args)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1].endswith(f": {detail}")
    assert "Traceback" not in result.stderr


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[1] == str(pid):
                    found.append(int(entry))
        except (OSError, IndexError):
            continue
    return found


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("after", [0.0, 1.5], ids=["as-workers-start", "a-little-later"])
def test_ctrl_c_on_a_local_cluster_gives_one_line_and_status_130(after):
    """Ctrl-C at a terminal reaches the command's whole process group, its
    worker processes included: while the cluster starts, or once it runs."""
    import signal
    import time

    process = subprocess.Popen([COMMAND, "perft", "--depth", "8", "--workers", "2", "--no-progress"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        # The resource tracker of multiprocessing, then the worker processes.
        while len(_children(process.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(after)
        os.killpg(process.pid, signal.SIGINT)
        stdout, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert (process.returncode, stderr) == (130, "orvex-chess: interrupted\n")
    assert stdout == ""


def test_a_local_cluster_says_nothing_when_the_dashboard_port_is_taken():
    import socket

    taken = socket.socket()
    try:
        taken.bind(("127.0.0.1", 8787))
        taken.listen()
    except OSError:
        pass  # someone else holds it: just as good
    with taken:
        result = run("perft", "--depth", "2", "--workers", "1", "--no-progress")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert nodes_of(result.stdout) == 400


@pytest.mark.parametrize("make, args, detail", [
    (None, ["nope.pgn"], "cannot read 'nope.pgn': No such file or directory"),
    ("file", ["games.pgn"], "the output directory 'out' exists and is not a directory"),
    ("full", ["games.pgn"], "the output directory 'out' is not empty (it holds 'notes.txt'): "
                            "pass --overwrite to replace it"),
    ("part-dir", ["games.pgn", "--overwrite"], "cannot replace 'part-99999.parquet' in the output "
                                                "directory 'out': it is a directory"),
])
def test_dataset_checks_its_paths_before_any_cluster(tmp_path, make, args, detail):
    # The scheduler cannot be reached: a check made before connecting is the one reported.
    (tmp_path / "games.pgn").write_bytes(NASTY.read_bytes())
    out = tmp_path / "out"
    if make == "file":
        out.write_text("")
    elif make == "full":
        out.mkdir()
        (out / "notes.txt").write_text("")
    elif make == "part-dir":
        (out / "part-99999.parquet").mkdir(parents=True)
    result = subprocess.run([COMMAND, "dataset", *args, "--out", "out", "--scheduler",
                             "tcp://127.0.0.1:1"], capture_output=True, text=True, timeout=300,
                            cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr == f"orvex-chess: error: {detail}\n"


# ---------------------------------------------------------------------------
# Start-up and packaging


def test_importing_the_package_and_running_a_command_load_only_what_they_need():
    heavy = ("distributed", "dask", "pyarrow", "numpy", "tqdm", "importlib.metadata",
             "orvex_tools.dataset", "orvex_tools.cluster", "orvex_tools.pgn")
    probe = ("import sys, runpy\n"
             "import orvex_tools\n"
             "print(orvex_tools.__version__)\n"
             "print(sorted(m for m in sys.modules if m.split('.')[0] in {'orvex_tools', 'distributed', "
             "'dask', 'pyarrow', 'numpy', 'tqdm'} or m == 'importlib.metadata'))\n"
             "from orvex_tools import cli\n"
             "assert cli.main(['perft', '--depth', '1', '--no-progress']) == 0\n"
             "print(sorted(m for m in sys.modules if m.startswith(%r)))\n" % (heavy,))
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    version = lines[0]
    after_import, after_command = [line for line in lines if line.startswith("[")]
    from importlib.metadata import version as installed_version

    assert version == installed_version("orvex_chess")
    assert after_import == "['orvex_tools', 'orvex_tools._version']"
    assert after_command == "[]"


def test_package_metadata():
    from importlib.metadata import metadata

    meta = metadata("orvex_chess")
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert {"3.10", "3.11", "3.12", "3.13"} <= {
        c.rsplit(" :: ", 1)[1] for c in classifiers if c.startswith("Programming Language :: Python :: 3.")}
    assert meta["License-Expression"] == "MIT"
    assert {url.split(",")[0] for url in meta.get_all("Project-URL")} >= {"Homepage", "Source", "Issues"}
    pinned = [r for r in meta.get_all("Requires-Dist") if "==" in r.split(";")[0]]
    assert pinned == []
