"""MoveGenerator.many and MoveGenerator.perft: the same answers as the one-call
API, on worker threads with the interpreter lock released."""

import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import orvex_chess
from chess_helpers import PERFT_FENS, PERFT_TABLE_ROWS, perft
from conftest import DEFAULT_FEN, PanicException, history_len, snapshot

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import suite  # noqa: E402

THREADS = [1, 2, None]


@pytest.fixture(scope="module")
def generator():
    return orvex_chess.MoveGenerator()


@pytest.fixture(scope="module")
def suite_fens():
    return [" ".join(p.fen.split()[:4]) for p in suite.build_suite()]


@pytest.mark.parametrize("threads", THREADS)
def test_many_equals_one_call_per_position_on_the_benchmark_suite(generator, suite_fens, threads):
    # Boards and FEN strings mixed, with more positions than one chunk holds.
    boards = [orvex_chess.Board(fen) for fen in suite_fens]
    for board in boards[::7]:  # some with history
        moves = generator(board)
        if moves:
            board.push(moves[0])
    expected = [generator(board) for board in boards] * 8
    positions = [b if i % 3 else b.fen() for i, b in enumerate(boards)] * 8
    histories = [history_len(board) for board in boards]
    assert generator.many(positions, threads=threads) == expected
    assert generator.many(tuple(positions), threads=threads) == expected
    assert [history_len(board) for board in boards] == histories


# The shared table's counts up to 5 million leaves (depths 1 to 5); those over
# 200,000 are marked slow (-m "not slow" leaves them out).
PUBLISHED = [
    pytest.param(name, depth, count, marks=[pytest.mark.slow] if count > 200_000 else [])
    for name, (_, counts) in PERFT_TABLE_ROWS.items()
    for depth, count in enumerate(counts[:5], start=1)
    if count <= 5_000_000
]


@pytest.mark.parametrize("name, depth, expected", PUBLISHED)
def test_perft_matches_published_counts(generator, name, depth, expected):
    board = orvex_chess.Board(PERFT_FENS[name])
    board.push(generator(board)[0])
    board.pop()
    before = snapshot(board)
    for threads in THREADS:
        assert generator.perft(board, depth, threads=threads) == expected
    assert snapshot(board) == before
    assert history_len(board) == 0


# Boards the FEN reader accepts though chess has no such position: several
# kings, none, two pieces on one square (a placement that wraps round).
ODD_FENS = [
    "k7/8/8/3K4/8/8/2K5/8 w - -",
    "8/8/3q4/8/8/2N5/8/8 w - -",
    "r3k2r/8/8/8/8/8/8/R3K2R/Q7 w KQkq -",
    "4k3/8/8/2pP4/8/8/8/4K2K w - c6",
]


@pytest.mark.parametrize("fen", ODD_FENS)
def test_perft_is_the_walk_of_the_python_api_on_odd_boards(generator, fen):
    board = orvex_chess.Board(fen)
    for depth in range(4):
        assert generator.perft(board, depth, threads=2) == perft(generator, board, depth), depth
    assert generator.many([fen, board], threads=2) == [generator(board)] * 2


def test_the_same_board_may_come_more_than_once(generator):
    board = orvex_chess.Board(PERFT_FENS["kiwipete"])
    other = orvex_chess.Board()
    positions = [board, other, board, DEFAULT_FEN, board] * 300
    result = generator.many(positions, threads=2)
    assert result == [generator(b) if isinstance(b, orvex_chess.Board) else generator(other)
                      for b in positions]
    # Every borrow was given back: the boards take moves again.
    board.push("e1f1")
    other.push("e2e4")


@pytest.mark.parametrize("kind", [list, tuple, iter, lambda items: (x for x in items)],
                         ids=["list", "tuple", "iterator", "generator"])
def test_many_takes_any_iterable(generator, kind):
    board = orvex_chess.Board()
    assert generator.many(kind([board, DEFAULT_FEN])) == [generator(board)] * 2
    assert generator.many(kind([])) == []


def test_an_iterator_that_fails_passes_its_error_on(generator):
    board = orvex_chess.Board()

    def positions():
        yield board
        raise LookupError("no more positions")

    with pytest.raises(LookupError, match="no more positions"):
        generator.many(positions())
    board.push("e2e4")  # not left borrowed


@pytest.mark.parametrize(
    "fen, reason",
    [
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq -", "Invalid side-to-move"),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkx -", "Invalid castling specifier"),
        ("rnbqkbnr/ppppXppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", "Invalid piece type"),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w", "FEN text has no castling field"),
        ("", "FEN text has no placement field"),
    ],
    ids=["side", "castling", "placement", "missing-field", "empty"],
)
@pytest.mark.parametrize("index", [0, 1, 700])
def test_a_bad_fen_is_a_value_error_naming_its_index(generator, fen, reason, index):
    board = orvex_chess.Board()
    positions = [board] * index + [fen] + [DEFAULT_FEN] * 800
    with pytest.raises(ValueError, match=rf"^Invalid fen: positions\[{index}\]: .*{reason}") as info:
        generator.many(positions, threads=2)
    assert info.value.index == index
    assert str(info.value) == f"Invalid fen: positions[{index}]: {info.value.reason}"
    # Nothing stays borrowed: the board takes a move.
    board.push("e2e4")


def test_the_first_bad_fen_is_the_one_reported(generator):
    positions = [DEFAULT_FEN] * 3000 + ["x w - -"] + [DEFAULT_FEN] * 3000 + ["8/8 w"]
    for threads in THREADS:
        with pytest.raises(ValueError, match=r"positions\[3000\]") as info:
            generator.many(positions, threads=threads)
        assert info.value.index == 3000
    with pytest.raises(ValueError) as info:
        generator.mask_many(positions, "az", threads=2)
    assert info.value.index == 3000


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g, b: g.many([b], threads=0), ValueError, "'threads' must be from 1 to 1024, not 0"),
        (lambda g, b: g.many([b], threads=-3), ValueError, "'threads' must be from 1 to 1024"),
        (lambda g, b: g.many([b], threads=1025), ValueError, "'threads' must be from 1 to 1024"),
        (lambda g, b: g.many([b], threads=2**80), ValueError, "'threads' must be from 1 to 1024"),
        (lambda g, b: g.many([b], threads=True), TypeError, "'threads' must be int or None, not bool"),
        (lambda g, b: g.many([b], threads=2.0), TypeError, "'threads' must be int or None, not float"),
        (lambda g, b: g.many([b], threads="2"), TypeError, "'threads' must be int or None, not str"),
        (lambda g, b: g.many([b], 2), TypeError, "takes 1 positional argument but 2 were given"),
        (lambda g, b: g.many(), TypeError, "missing required argument 'positions'"),
        (lambda g, b: g.many(DEFAULT_FEN), TypeError, "'positions' must be a sequence .* not str"),
        (lambda g, b: g.many(b), TypeError, "'positions' must be a sequence .* not orvex_chess.Board"),
        (lambda g, b: g.many([b, 3]), TypeError, r"positions\[1\] is int"),
        (lambda g, b: g.many([b, b"8/8 w - -"]), TypeError, r"positions\[1\] is bytes"),
        (lambda g, b: g.perft(b, -1), ValueError, "'depth' must be from 0 to 64, not -1"),
        (lambda g, b: g.perft(b, 65), ValueError, "'depth' must be from 0 to 64, not 65"),
        (lambda g, b: g.perft(b, 2**70), ValueError, "'depth' must be from 0 to 64"),
        (lambda g, b: g.perft(b, True), TypeError, "'depth' must be int, not bool"),
        (lambda g, b: g.perft(b, 3.0), TypeError, "'depth' must be int, not float"),
        (lambda g, b: g.perft(b, 3, threads=0), ValueError, "'threads' must be from 1 to 1024"),
        (lambda g, b: g.perft(b, 3, threads=False), TypeError, "not bool"),
        (lambda g, b: g.perft(b, 3, 2), TypeError, "takes 2 positional arguments but 3 were given"),
        (lambda g, b: g.perft(DEFAULT_FEN, 3), TypeError, "'str' object cannot be converted to 'Board'"),
        (lambda g, b: g.perft(b), TypeError, "missing required argument 'depth'"),
        (lambda g, b: g.perft(b, 3, depth=3), TypeError, "given by name"),
    ],
)
def test_bad_arguments(generator, call, error, message):
    board = orvex_chess.Board()
    with pytest.raises(error, match=message):
        call(generator, board)
    assert snapshot(board) == snapshot(orvex_chess.Board())
    board.push("e2e4")  # not left borrowed


def test_keywords_and_index_like_numbers(generator):
    board = orvex_chess.Board()

    class Three:
        def __index__(self):
            return 3

    assert generator.perft(board=board, depth=Three(), threads=Three()) == 8902
    assert generator.many(positions=[board], threads=1) == [generator(board)]


def test_batch_calls_never_raise_panic_exception(generator):
    # What Board(fen) reports as PanicException is a ValueError here.
    with pytest.raises(PanicException):
        orvex_chess.Board("x w - -")
    with pytest.raises(ValueError):
        generator.many(["x w - -"])


# --- The interpreter lock ------------------------------------------------------


def _run_with_counter(call):
    """Runs call on this thread while another thread counts; returns the count
    reached while call ran, and call's result."""
    count = 0
    running = True

    def counter():
        nonlocal count
        while running:
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while count == 0:
            time.sleep(0.001)
        before = count
        result = call()
        after = count
    finally:
        running = False
        thread.join()
    return after - before, result


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("method", ["perft", "many"])
def test_other_threads_run_during_a_batch_call(generator, method, threads):
    board = orvex_chess.Board()
    if method == "perft":
        # Deep enough to last a while: the last ply is counted, not walked.
        call = lambda: generator.perft(board, 6, threads=threads)  # noqa: E731
        expected = 119_060_324
    else:
        positions = [board, DEFAULT_FEN] * 40_000
        call = lambda: len(generator.many(positions, threads=threads))  # noqa: E731
        expected = 80_000
    advanced, result = _run_with_counter(call)
    assert result == expected
    # Holding the lock throughout, the call would let the counter advance not
    # at all; with the lock released it counts on while the workers run.
    assert advanced > 1000


def _hold(generator, board, method):
    """Starts a long batch call holding board on another thread and waits
    until it holds it. Returns the thread and the list its result goes to, or
    None if the call ended before it was seen holding the board."""
    outcome = []

    def run():
        if method == "perft":
            outcome.append(generator.perft(board, 5, threads=1))
        else:
            outcome.append(len(generator.many([board] * 300_000, threads=1)))

    thread = threading.Thread(target=run)
    thread.start()
    while thread.is_alive():
        try:
            board.turn()
        except RuntimeError:
            return thread, outcome
    thread.join()
    return None


@pytest.mark.parametrize("method", ["perft", "many"])
def test_a_board_held_by_a_batch_call_refuses_other_calls(generator, method):
    board = orvex_chess.Board(PERFT_FENS["position4"])
    before = snapshot(board)
    for _ in range(5):  # a call may end before this thread gets to look
        held = _hold(generator, board, method)
        if held:
            break
    assert held, "the call was never seen holding the board"
    thread, outcome = held
    try:
        for call, message in [
            (board.fen, "Already mutably borrowed"),
            (board.copy, "Already mutably borrowed"),
            (lambda: board.push("e2e4"), "Already borrowed"),
            (board.pop, "Already borrowed"),
            (lambda: generator(board), "Already borrowed"),
            (lambda: generator.perft(board, 1), "Already borrowed"),
            (lambda: generator.many([board]), "Already borrowed"),
        ]:
            if not thread.is_alive():
                break
            with pytest.raises(RuntimeError, match=f"^{message}$"):
                call()
        # Another board is free meanwhile, and so is the generator.
        assert generator(orvex_chess.Board()) == generator.many([DEFAULT_FEN])[0]
    finally:
        thread.join()
    assert outcome == [15_833_292 if method == "perft" else 300_000]
    assert snapshot(board) == before
    assert history_len(board) == 0


# --- Ctrl-C ---------------------------------------------------------------------

INTERRUPT_SCRIPT = textwrap.dedent(
    """
    import os, signal, threading, time
    import orvex_chess

    generator = orvex_chess.MoveGenerator()
    board = orvex_chess.Board()
    board.push("e2e4")
    before = board.fen()
    # Boards with three white kings take the slow road of generation: seconds
    # for these, with small results.
    slow = orvex_chess.Board("1rQQ3K/8/5Q2/r3b3/6Q1/7Q/8/K2Q3K w - -")
    positions = [board] + [slow, "1rQQ3K/8/5Q2/r3b3/6Q1/7Q/8/K2Q3K w - -"] * 500_000

    def interrupt():
        time.sleep(0.3)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    try:
        if METHOD == "perft":
            generator.perft(board, 9, threads=THREADS)   # days of work
        else:
            generator.many(positions, threads=THREADS)
            print("finished before the signal")
    except KeyboardInterrupt:
        print("interrupted")
    assert board.fen() == before
    board.pop()                                        # usable, history intact
    assert board.fen() == orvex_chess.Board().fen()
    print("ok")
    """
)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("method", ["perft", "many"])
def test_ctrl_c_stops_a_batch_call_and_leaves_the_board(method, threads):
    script = INTERRUPT_SCRIPT.replace("METHOD", repr(method)).replace("THREADS", str(threads))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "ok"]


# --- Memory -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda g, b, f: g.many([b, f] * 300, threads=2), None),
        (lambda g, b, f: g.many([b, f] * 300 + ["x w - -"], threads=2), ValueError),
        (lambda g, b, f: g.many([b, f, 3], threads=2), TypeError),
        (lambda g, b, f: g.perft(b, 2, threads=2), None),
        (lambda g, b, f: g.perft(b, 3, threads=0), ValueError),
    ],
    ids=["many", "many-bad-fen", "many-bad-item", "perft", "perft-bad-threads"],
)
def test_batch_calls_keep_counts_and_memory(call, error):
    from test_leaks import fresh, repeat, unchanged

    generator = orvex_chess.MoveGenerator()
    board = orvex_chess.Board(fresh(PERFT_FENS["kiwipete"]))
    fen = fresh(PERFT_FENS["position4"])
    strings = generator(board) + generator(orvex_chess.Board(fen))

    def once():
        try:
            call(generator, board, fen)
        except Exception as exc:  # noqa: BLE001 - checked below
            assert error is not None and isinstance(exc, error), exc
        else:
            assert error is None

    n = repeat(2_000, once)
    with unchanged(generator, board, fen, *strings):
        for _ in range(n):
            once()
    board.push("e1f1")  # not left borrowed
