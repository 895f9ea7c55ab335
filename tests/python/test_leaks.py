"""Reference counts and memory across many calls of every method.

Each test runs one call many times, then checks that the reference counts of
its arguments and of the objects it hands out or shares (True, False, the
returned move strings, the class objects) are what they were, and that the
resident memory of the process has not grown beyond a small slack.
"""

import ctypes
import gc
import os
import sys
import threading
from contextlib import contextmanager

import pytest

from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, SANITIZED, PanicException

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
PROMOTION = "8/P6k/8/8/8/8/6Kp/8 w - -"
GENERATOR = MoveGenerator()


# Under AddressSanitizer freed memory is held in quarantine, so the resident
# size says nothing; LeakSanitizer checks for leaks instead.
# The sanitized build is many times slower: it runs a tenth of each loop.
SCALE = 10 if SANITIZED else 1
SLACK_KB = 3 * 1024
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


try:
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None


def rss_kb():
    """The resident size, after handing free heap pages back to the system so
    that memory freed earlier cannot hide memory that is never freed."""
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KB


def fresh(text):
    """An equal str object that nothing else refers to."""
    return "".join(list(text))


@contextmanager
def unchanged(*objects):
    """Checks on leaving that the reference counts of objects are as on
    entering, and that the resident memory has not grown beyond the slack.
    True, False and None are left out while other threads run (a Dask loop
    left by another test file in this process moves their counts)."""
    if threading.active_count() > 1:
        objects = [o for o in objects if o is not True and o is not False and o is not None]
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    rss = rss_kb()
    yield
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    for obj, before, now in zip(objects, counts, after):
        assert now == before, f"reference count of {obj!r:.60} went from {before} to {now}"
    if not SANITIZED:
        grown = rss_kb() - rss
        assert grown < SLACK_KB, f"resident memory grew by {grown} kB"


def repeat(count, call, warm_up=None):
    """Runs call count // SCALE times, after a warm-up of a tenth of that."""
    count //= SCALE
    for _ in range(warm_up if warm_up is not None else count // 10):
        call()
    return count


def test_generator_calls_keep_counts_and_memory():
    generator = MoveGenerator()
    board = Board(fresh(KIWIPETE))
    first = generator(board)
    assert len(first) == 48
    n = repeat(200_000, lambda: generator(board))
    with unchanged(generator, board, MoveGenerator, Board, *first):
        for _ in range(n):
            generator(board)
    assert generator(board) == first


def test_generator_on_a_position_without_moves():
    generator = MoveGenerator()
    board = Board("7k/5Q2/6K1/8/8/8/8/8 b - -")
    assert generator(board) == []
    n = repeat(200_000, lambda: generator(board))
    with unchanged(generator, board):
        for _ in range(n):
            generator(board)


FAILED_PUSHES = [
    pytest.param(DEFAULT_FEN, "e2e", ValueError, "Invalid chess move: Unsupported move notation", id="length"),
    pytest.param(DEFAULT_FEN, "e2e4x", ValueError, "Invalid chess move: Unsupported promotion", id="letter"),
    pytest.param(PROMOTION, "a7a8", ValueError, "Invalid chess move: ", id="needs-promotion"),
    pytest.param(DEFAULT_FEN, "i2e4", PanicException, "assertion failed: from_file", id="assertion"),
    pytest.param(DEFAULT_FEN, "a1\u00e9", PanicException, "", id="missing-character"),
    pytest.param(DEFAULT_FEN, "e\udc32", PanicException, "", id="surrogate"),
    pytest.param(DEFAULT_FEN, "e4e5", PanicException, "missing value", id="empty-square"),
    pytest.param(DEFAULT_FEN, b"e2e4", TypeError, "", id="bytes"),
]


@pytest.mark.parametrize("fen, move, error, message", FAILED_PUSHES)
def test_failed_push_keeps_counts_and_memory(fen, move, error, message):
    board = Board(fen)
    before = board.fen(), board.bitboard()
    move = fresh(move) if isinstance(move, str) else bytes(move)
    with pytest.raises(error, match="^" + message.replace("(", r"\(")):
        board.push(move)

    def attempt():
        try:
            board.push(move)
        except error:
            return
        raise AssertionError(f"push({move!r}) did not fail")

    n = repeat(200_000, attempt)
    with unchanged(board, move, error, Board):
        for _ in range(n):
            try:
                board.push(move)
            except error:
                pass
            else:
                raise AssertionError(f"push({move!r}) did not fail")
    assert (board.fen(), board.bitboard()) == before


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda board: board.push(), id="push-no-argument"),
        pytest.param(lambda board: board.push("e2e4", "e7e5"), id="push-two-arguments"),
        pytest.param(lambda board: board.push(move="e2e4"), id="push-wrong-keyword"),
        pytest.param(lambda board: board.fen(1), id="fen-argument"),
        pytest.param(lambda board: GENERATOR(1), id="generator-not-a-board"),
        pytest.param(lambda board: GENERATOR(board, board), id="generator-two-boards"),
        pytest.param(lambda board: Board.bitboard_from_fen(fen=3), id="bitboard-from-fen-int"),
    ],
)
def test_argument_errors_keep_counts_and_memory(call):
    board = Board()
    with pytest.raises(TypeError):
        call(board)

    def attempt():
        try:
            call(board)
        except TypeError:
            return
        raise AssertionError("the call did not fail")

    n = repeat(100_000, attempt)
    with unchanged(board, Board, MoveGenerator, GENERATOR):
        for _ in range(n):
            attempt()


def test_push_and_pop_keep_counts_and_memory():
    board = Board()
    moves = [fresh(m) for m in ("g1f3", "g8f6", "f3g1", "f6g8")]

    def cycle():
        for m in moves:
            board.push(m)
        for _ in moves:
            board.pop()

    n = repeat(50_000, cycle)
    with unchanged(board, *moves):
        for _ in range(n):
            cycle()
    assert board.fen() == DEFAULT_FEN


def test_long_history_is_released_with_the_board():
    def long_game():
        board = Board()
        for _ in range(2_000):
            for m in ("g1f3", "g8f6", "f3g1", "f6g8"):
                board.push(m)
        return board

    n = repeat(200, long_game, warm_up=20)
    with unchanged(Board):
        for _ in range(n):
            long_game()


def test_boards_built_and_dropped():
    fen = fresh(KIWIPETE)

    def build():
        board = Board(fen)
        board.push("e1g1")
        copy = board.copy()
        copy.reflect()
        return copy

    n = repeat(100_000, build)
    with unchanged(fen, Board):
        for _ in range(n):
            build()


FAILED_CONSTRUCTIONS = [
    pytest.param("8/8/8/8/8/8/8/8 x - -", ValueError, id="side"),
    pytest.param("8/8/8/8/8/8/8/8 w Kx -", ValueError, id="castling"),
    pytest.param("x w - -", PanicException, id="piece"),
    pytest.param("8/8/8/8/8/8/8/8 w KQkq", PanicException, id="missing-field"),
    pytest.param("", PanicException, id="empty"),
    pytest.param("8/8/8/8/8/8/8/\udc80 w - -", PanicException, id="surrogate"),
    pytest.param(17, TypeError, id="int"),
]


@pytest.mark.parametrize("fen, error", FAILED_CONSTRUCTIONS)
def test_failed_constructions_keep_counts_and_memory(fen, error):
    fen = fresh(fen) if isinstance(fen, str) else fen
    with pytest.raises(error):
        Board(fen)

    def attempt():
        try:
            Board(fen)
        except error:
            return
        raise AssertionError(f"Board({fen!r}) did not fail")

    n = repeat(100_000, attempt)
    with unchanged(fen, Board, error):
        for _ in range(n):
            attempt()


@pytest.mark.parametrize("fen", [DEFAULT_FEN, "x w - -", "   "], ids=["start", "bad-piece", "blank"])
def test_bitboard_from_fen_keeps_counts_and_memory(fen):
    fen = fresh(fen)

    def view():
        try:
            return Board.bitboard_from_fen(fen)
        except PanicException:
            return None

    n = repeat(50_000, view)
    with unchanged(fen, True, False, Board):
        for _ in range(n):
            view()


def test_queries_keep_counts_and_memory():
    board = Board(KIWIPETE)
    white = board.turn()
    board.push("e1g1")
    black = board.turn()
    assert (white, black) == ("white", "black")

    def queries():
        board.fen()
        board.turn()
        board.bitboard()

    n = repeat(50_000, queries)
    with unchanged(board, white, black, True, False):
        for _ in range(n):
            queries()


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda board, text: (board.push_san(text), board.pop()), id="push-san"),
        pytest.param(lambda board, text: board.parse_san(text), id="parse-san"),
        pytest.param(lambda board, text: board.san(board.parse_san(text)), id="san"),
        pytest.param(lambda board, text: (board.is_check(), board.zobrist()), id="check-key"),
        pytest.param(lambda board, text: board.parse_san(text + "=Q"), id="refused-san"),
        pytest.param(lambda board, text: board.san(text + "x"), id="refused-move"),
        pytest.param(lambda board, text: board.push_san(text * 100), id="long-text"),
    ],
)
def test_san_and_keys_keep_counts_and_memory(call):
    board = Board(KIWIPETE)
    text = fresh("Qxf6")

    def attempt():
        try:
            call(board, text)
        except ValueError:
            pass

    n = repeat(100_000, attempt)
    with unchanged(board, text, Board, True, False):
        for _ in range(n):
            attempt()
    assert board.fen() == KIWIPETE


def test_tensor_calls_keep_counts_and_memory():
    board = Board(KIWIPETE)
    planes = memoryview(bytearray(768)).cast("B", (12, 8, 8))
    mask = memoryview(bytearray(4672)).cast("?")
    wrong = memoryview(bytearray(100))
    encoding, move = fresh("az"), fresh("e1g1")

    def calls():
        board.planes()
        board.planes(mirror=True, out=planes)
        board.bitboards()
        GENERATOR.legal_indices(board, encoding)
        GENERATOR.legal_mask(board, "lc0")
        GENERATOR.legal_mask(board, encoding, out=mask)
        board.index_move(board.move_index(move, encoding), encoding)
        for failing in (lambda: board.planes(out=wrong), lambda: board.move_index("e7e5", encoding),
                        lambda: board.index_move(0, encoding), lambda: board.index_move(0, "xx")):
            try:
                failing()
            except ValueError:
                continue
            raise AssertionError("the call did not fail")

    n = repeat(20_000, calls)
    with unchanged(board, planes, mask, wrong, encoding, move, True, False):
        for _ in range(n):
            calls()


def test_large_new_arrays_keep_memory():
    # Blocks of several MB, mapped apart and kept for reuse: in two sizes,
    # dropped at once or after the next call, on one thread and on two.
    boards = [Board(KIWIPETE), Board(PROMOTION)] * 1000
    kept = []

    def calls():
        GENERATOR.mask_many(boards, "az")
        kept.append(GENERATOR.planes_many(boards * 4, threads=2))
        del kept[:-1]

    n = repeat(300, calls)
    with unchanged(GENERATOR, boards[0], boards[1]):
        for _ in range(n):
            calls()
