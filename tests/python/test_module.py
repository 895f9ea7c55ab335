"""The Python surface of orvex_chess: names, signatures, arguments, errors."""

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import orvex_chess
from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, PanicException


def test_module_exports_exactly_board_and_move_generator():
    public = {name for name in vars(orvex_chess) if not name.startswith("_")}
    assert public == {"Board", "MoveGenerator"}
    assert not hasattr(orvex_chess, "ChessMove")
    assert not hasattr(orvex_chess, "PanicException")


@pytest.mark.parametrize("cls, name", [(Board, "Board"), (MoveGenerator, "MoveGenerator")])
def test_class_identity(cls, name):
    assert cls.__name__ == name
    assert cls.__module__ == "orvex_chess"
    assert getattr(orvex_chess, name) is cls
    assert type(cls()) is cls


@pytest.mark.parametrize(
    "obj, expected",
    [
        (Board, f"(fen='{DEFAULT_FEN}', *, chess960=False)"),
        (MoveGenerator, "()"),
        (Board.fen, "(self, /, *, counters=False, shredder=False)"),
        (Board.push, "(self, /, chess_move)"),
        (Board.pop, "(self, /)"),
        (Board.bitboard, "(self, /)"),
        (Board.turn, "(self, /)"),
        (Board.reflect, "(self, /)"),
        (Board.copy, "(self, /, *, history=True)"),
        (Board.bitboard_from_fen, "(fen)"),
        (Board().push, "(chess_move)"),
    ],
)
def test_signature(obj, expected):
    assert str(inspect.signature(obj)) == expected


@pytest.mark.parametrize(
    "name, text_signature",
    [
        ("fen", "($self, *, counters=False, shredder=False)"),
        ("push", "($self, chess_move)"),
        ("pop", "($self)"),
        ("bitboard", "($self)"),
        ("turn", "($self)"),
        ("reflect", "($self)"),
        ("copy", "($self, *, history=True)"),
        ("bitboard_from_fen", "(fen)"),
    ],
)
def test_method_documentation_is_only_its_signature(name, text_signature):
    method = getattr(Board, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ is None


def test_bitboard_from_fen_is_static():
    assert isinstance(Board.__dict__["bitboard_from_fen"], staticmethod)
    fen = "4k3/8/8/8/8/8/8/4K3 w - -"
    assert Board().bitboard_from_fen(fen) == Board.bitboard_from_fen(fen)


@pytest.mark.parametrize("cls", [Board, MoveGenerator])
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", [Board, MoveGenerator])
def test_no_instance_dict_and_no_weakref(cls):
    obj = cls()
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


_board = Board()
_generator = MoveGenerator()

# (call, parameter named in the message, or None for a count error that names no parameter)
TYPE_ERRORS = [
    (lambda: Board(1), "fen"),
    (lambda: Board(None), "fen"),
    (lambda: Board(b"8/8/8/8/8/8/8/8 w - -"), "fen"),
    (lambda: Board(fen=1), "fen"),
    (lambda: Board(DEFAULT_FEN, fen=DEFAULT_FEN), "fen"),
    (lambda: Board(DEFAULT_FEN, DEFAULT_FEN), None),
    (lambda: Board(position=DEFAULT_FEN), "position"),
    (lambda: Board.bitboard_from_fen(), "fen"),
    (lambda: Board.bitboard_from_fen(1), "fen"),
    (lambda: Board.bitboard_from_fen(fen=["8"]), "fen"),
    (lambda: Board.bitboard_from_fen("8", "8"), None),
    (lambda: _board.push(), "chess_move"),
    (lambda: _board.push(1204), "chess_move"),
    (lambda: _board.push(chess_move=b"e2e4"), "chess_move"),
    (lambda: _board.push(move="e2e4"), "move"),
    (lambda: _board.push("e2e4", "e7e5"), None),
    (lambda: _board.fen(1), None),
    (lambda: _board.pop(1), None),
    (lambda: _board.bitboard(True), None),
    (lambda: _board.turn(None), None),
    (lambda: _board.reflect(0), None),
    (lambda: _board.copy(_board), None),
    (lambda: Board.fen(_generator), None),
    (lambda: Board.push(_generator, "e2e4"), None),
    (lambda: MoveGenerator(1), None),
    (lambda: MoveGenerator(tables=1), None),
    (lambda: _generator(), "board"),
    (lambda: _generator(DEFAULT_FEN), "board"),
    (lambda: _generator(board=_generator), "board"),
    (lambda: _generator(_board, _board), None),
]


@pytest.mark.parametrize("call, parameter", TYPE_ERRORS)
def test_type_errors(call, parameter):
    before = _board.fen()
    with pytest.raises(TypeError) as info:
        call()
    if parameter is not None:
        assert f"'{parameter}'" in str(info.value)
    assert _board.fen() == before


def test_keyword_arguments():
    fen = "4k3/8/8/8/8/8/4P3/4K3 w - -"
    board = Board(fen=fen)
    assert board.fen() == fen
    board.push(chess_move="e2e4")
    assert board.fen() == "4k3/8/8/8/4P3/8/8/4K3 b - e3"
    assert Board.bitboard_from_fen(fen=fen) == Board(fen).bitboard()
    assert Board(fen=DEFAULT_FEN).fen() == Board().fen() == DEFAULT_FEN
    # Board(...) has its own fast call; __new__ must read the same way.
    assert Board.__new__(Board, fen=fen).fen() == Board.__new__(Board, fen).fen() == fen
    with pytest.raises(TypeError, match="'fen'"):
        Board.__new__(Board, 1)


def test_generator_takes_board_by_position_or_keyword():
    board = Board()
    by_position = _generator(board)
    by_keyword = _generator(board=board)
    assert isinstance(by_position, list) and by_position
    assert by_position == by_keyword
    assert board.fen() == DEFAULT_FEN


def test_panic_exception_type():
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)


PANICKING_CALLS = [
    lambda: Board("x w - -"),
    lambda: Board("8/8/8/8/8/8/8/8 w KQkq"),
    lambda: Board().pop(),
    lambda: Board().push("e3e4"),
    lambda: Board().push("E2E4"),
    lambda: Board.bitboard_from_fen(""),
]


@pytest.mark.parametrize("call", PANICKING_CALLS)
def test_panic_passes_through_except_exception(call):
    caught_as_exception = False
    with pytest.raises(PanicException):
        try:
            call()
        except Exception:  # noqa: BLE001 - must not catch it
            caught_as_exception = True
    assert not caught_as_exception


def _run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_second_initialisation_raises_import_error():
    result = _run_python(
        """
        import importlib, sys
        import orvex_chess
        first = orvex_chess.Board
        del sys.modules["orvex_chess"]
        try:
            importlib.import_module("orvex_chess")
        except ImportError as exc:
            print("ImportError:", exc)
        else:
            print("imported twice")
        # The first module object keeps working.
        print(first().fen())
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError:")
    assert "once" in lines[0]
    assert lines[1] == DEFAULT_FEN


# Refcounts: failed calls must not keep or drop references to their arguments,
# and every result must be a fresh object owned only by the caller.


def _fresh(text):
    return "".join(list(text))  # a new, uninterned str


@pytest.mark.parametrize(
    "text, call, error",
    [
        ("x w - -", Board, PanicException),
        ("8/8/8/8/8/8/8/8 x - -", Board, ValueError),
        ("8/8/8/8/8/8/8/8 w Kx -", Board, ValueError),
        ("8/8/8/8/8/8/8/8 w -", Board, PanicException),
        ("e2e", lambda s: Board().push(s), ValueError),
        ("e2e4x", lambda s: Board().push(s), ValueError),
        ("i2e4", lambda s: Board().push(s), PanicException),
        ("e3e4", lambda s: Board().push(s), PanicException),
        ("e7e8", lambda s: Board("4k3/4P3/8/8/8/8/8/4K3 w - -").push(s), ValueError),
        ("8/8/y", Board.bitboard_from_fen, PanicException),
        ("   ", Board.bitboard_from_fen, PanicException),
    ],
)
def test_failed_call_keeps_argument_refcount(text, call, error):
    arg = _fresh(text)
    before = sys.getrefcount(arg)
    for _ in range(3):
        with pytest.raises(error):
            call(arg)
    assert sys.getrefcount(arg) == before


@pytest.mark.parametrize(
    "text, call",
    [
        (DEFAULT_FEN, Board),
        ("e2e4", lambda s: Board().push(s)),
        (DEFAULT_FEN, Board.bitboard_from_fen),
    ],
)
def test_successful_call_keeps_argument_refcount(text, call):
    arg = _fresh(text)
    before = sys.getrefcount(arg)
    results = [call(arg) for _ in range(3)]
    assert sys.getrefcount(arg) == before
    del results


@pytest.mark.parametrize(
    "make",
    [
        lambda b: b.fen(),
        lambda b: b.bitboard(),
        lambda b: b.copy(),
        lambda b: Board.bitboard_from_fen(b.fen()),
        lambda b: Board(b.fen()),
    ],
)
def test_results_are_fresh(make):
    board = Board()
    board.push("e2e4")
    first = make(board)
    assert sys.getrefcount(first) == 2
    second = make(board)
    assert first is not second


def test_bitboard_rows_are_owned_by_the_result_only():
    view = Board().bitboard()
    control = [list(row) for row in view]
    for row, plain in zip(view, control):
        # Held by the outer list and the loop variable, like a plain Python list.
        assert sys.getrefcount(row) == sys.getrefcount(plain)
    assert len({id(row) for row in view}) == 12


def test_boards_do_not_leak_their_type():
    before = sys.getrefcount(Board)
    boards = [Board() for _ in range(50)] + [Board().copy() for _ in range(50)]
    for _ in range(20):
        with pytest.raises(ValueError):
            Board("8/8/8/8/8/8/8/8 white - -")
    del boards
    assert sys.getrefcount(Board) == before


def test_bitboard_does_not_leak_booleans():
    board = Board()
    gc.collect()
    gc.disable()
    try:
        before = sys.getrefcount(True), sys.getrefcount(False)
        for _ in range(20):
            board.bitboard()
            Board.bitboard_from_fen(DEFAULT_FEN)
        after = sys.getrefcount(True), sys.getrefcount(False)
    finally:
        gc.enable()
    assert after == before
