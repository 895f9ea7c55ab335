"""Random text through every method: only TypeError, ValueError or
PanicException may come out, and a failed call leaves the board as it was."""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvex_chess
from orvex_chess import Board, MoveGenerator

from conftest import DEFAULT_FEN, PanicException

GENERATOR = MoveGenerator()

ALLOWED = (TypeError, ValueError, PanicException)

# Every code point with the Unicode White_Space property.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
# Separators that Python's str.split() knows but that are not White_Space.
NOT_WHITE_SPACE = "\x1c\x1d\x1e\x1f\u180e\u200b\ufeff"

MOVE_TEXT = re.compile(r"[a-h][1-8][a-h][1-8][nbrqNBRQ]?")

PROPERTIES = settings(
    max_examples=120,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


def fields(text):
    """The fields of a text split at runs of White_Space, as FEN reading does."""
    return [f for f in re.split("[" + re.escape(WHITE_SPACE) + "]+", text) if f]


def full_state(board):
    """fen(), bitboard() and every earlier position a copy can pop back to."""
    history = []
    probe = board.copy()
    while True:
        try:
            probe.pop()
        except PanicException:
            break
        history.append(probe.fen())
        assert len(history) < 10_000
    return board.fen(), board.bitboard(), board.turn(), history


def check_allowed(exc):
    assert isinstance(exc, ALLOWED), f"{type(exc).__name__}: {exc}"
    if isinstance(exc, PanicException):
        assert type(exc).__name__ == "PanicException"
        assert not isinstance(exc, Exception)
        assert not hasattr(orvex_chess, "PanicException")
    assert isinstance(str(exc), str)


# ---------------------------------------------------------------- strategies

junk = st.text(
    alphabet=st.characters(categories=["L", "N", "P", "S", "Z", "Cc", "Cs", "Co"]),
    max_size=6,
)
spaces = st.text(alphabet=st.sampled_from(WHITE_SPACE), min_size=1, max_size=3)


def mostly(common, rare, odds=5):
    """rare one time in odds, else common."""
    return st.integers(min_value=1, max_value=odds).flatmap(lambda n: rare if n == 1 else common)


rank_token = mostly(
    st.sampled_from(list("pnbrqkPNBRQK") + list("12345678") + ["8", "8", "8", "8"]),
    st.sampled_from(list("09") + ["\u00e9", "x", "/"]) | junk,
    odds=200,
)
rank = st.lists(rank_token, max_size=8).map("".join)
placement = mostly(st.lists(rank, min_size=8, max_size=8), st.lists(rank, max_size=10)).map("/".join)
side = mostly(st.sampled_from(["w", "b"]), st.sampled_from(["W", "B", "-", "white", "wb"]) | junk)
castling = mostly(
    st.sampled_from(["KQkq", "-", "K", "Qk", "kq", "q", "KQ"]),
    st.sampled_from(["K-Q", "Kx", "KKQQ", "-x", "k\u00e9"]) | junk,
)
en_passant = mostly(
    st.sampled_from(["-", "e3", "e6", "d6", "a3", "h6"]),
    st.sampled_from(["e", "z9", "\u00e93", ")", "\U0001f600"]) | junk,
)
counters = st.sampled_from(["", "0 1", "12 40", "x", "- -"])


@st.composite
def fen_like(draw):
    """Text shaped like FEN: its fields with all kinds of white space, often
    with a piece changed into junk or a field missing."""
    parts = [draw(placement), draw(side), draw(castling), draw(en_passant), draw(counters)]
    parts = parts[: draw(st.sampled_from([0, 1, 2, 3, 4, 4, 4, 4, 5, 5]))]
    text = draw(st.text(alphabet=st.sampled_from(WHITE_SPACE), max_size=2))
    for part in parts:
        text += part + draw(spaces)
    if draw(st.booleans()):
        text = text.rstrip(WHITE_SPACE)
    if text and draw(st.integers(min_value=0, max_value=9)) == 0:
        at = draw(st.integers(min_value=0, max_value=len(text) - 1))
        text = text[:at] + draw(junk | st.sampled_from(NOT_WHITE_SPACE)) + text[at + 1 :]
    return text


REAL_FENS = [
    DEFAULT_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6",
    "8/P6k/8/8/8/8/6Kp/8 w - -",
    "KKKK/8/8/8/8/8/8/kkkk b KQkq -",
    "8/8/8/3Q4/8/8/8/8 w - -",
    "N9999999q w - -",
    "8/8/P6k/8/8/8/6Kp/8 w - -",
    "4k3/1P6/8/8/8/8/6p1/4K3 b - -",
]

# Ways of turning a generated move into another text.
VARIANTS = [
    lambda m: m[:4],  # without its promotion letter
    lambda m: m[:4],
    lambda m: m[:4],
    lambda m: m[:4] + "q",
    lambda m: m[:4] + "x",
    lambda m: m.upper(),
    lambda m: m[2:4] + m[:2],  # backwards
    lambda m: m[:3] + "9",
    lambda m: m[:3],
    lambda m: m + "qq",
    lambda m: m[:1] + "\u00e9" + m[2:],
    lambda m: m[:2] + m[:2],  # onto its own square
]


def is_pawn_move(board, move):
    square = "abcdefgh".index(move[0]) + 8 * (int(move[1]) - 1)
    view = board.bitboard()
    return view[0][square] or view[6][square]


def play_prelude(board, data):
    """Plays a few generated moves, pawn moves three times out of four."""
    for _ in range(data.draw(st.integers(min_value=0, max_value=4))):
        moves = GENERATOR(board)
        pawn_moves = [m for m in moves if is_pawn_move(board, m)]
        pool = pawn_moves if pawn_moves and data.draw(st.integers(0, 3)) else moves
        if not pool:
            return
        board.push(data.draw(st.sampled_from(pool)))

fen_text = st.one_of(st.sampled_from(REAL_FENS), fen_like(), st.text(max_size=30))

square = st.builds(lambda f, r: f + r, st.sampled_from("abcdefghi"), st.sampled_from("0123456789"))
move_text = st.one_of(
    st.builds(lambda a, b: a + b, square, square),
    st.builds(lambda a, b, p: a + b + p, square, square, st.sampled_from("nbrqNBRQkxK1 ")),
    st.text(alphabet=st.sampled_from("abcdefgh12345678qnQN"), max_size=7),
    st.text(max_size=6),
    junk,
    st.text(alphabet=st.characters(categories=["Cs"]), min_size=1, max_size=5),
    st.sampled_from(["", "e2e4", "e7e8", "e7e8q", "\u00e92e4", "\u0161\u0161q", "e2e\ud800", "\x00e2e4x"]),
)
not_a_str = st.one_of(
    st.none(), st.integers(), st.binary(max_size=5), st.floats(allow_nan=False),
    st.lists(st.integers(), max_size=2), st.just(DEFAULT_FEN.encode()),
)

operation = st.one_of(
    st.tuples(st.just("push"), move_text),
    st.tuples(st.just("push_keyword"), move_text),
    st.tuples(st.just("push_generated"), st.integers(min_value=0, max_value=300)),
    st.tuples(st.just("push_variant"), st.integers(min_value=0, max_value=300),
              st.sampled_from(VARIANTS)),
    st.tuples(st.just("push_bad_type"), not_a_str),
    st.tuples(st.just("pop")),
    st.tuples(st.just("generate")),
    st.tuples(st.just("reflect")),
    st.tuples(st.just("copy"), st.booleans()),
    st.tuples(st.just("bitboard_from_fen"), fen_text),
    st.tuples(st.just("generate_bad_argument"), not_a_str),
)


# ---------------------------------------------------------------- properties


@PROPERTIES
@given(fen_text)
def test_construction_fails_only_with_allowed_errors(text):
    fields_of_text = fields(text)
    try:
        board = Board(text)
    except BaseException as exc:  # noqa: BLE001 - the type is what is checked
        check_allowed(exc)
        assert not isinstance(exc, TypeError), exc
        if isinstance(exc, ValueError):
            assert str(exc).startswith("Invalid fen: ")
        return
    # A board is only made from at least four fields with a valid side to move.
    assert len(fields_of_text) >= 4
    assert fields_of_text[1] in ("w", "b")
    assert board.turn() == ("white" if fields_of_text[1] == "w" else "black")
    assert board.fen() == Board(board.fen()).fen()
    with pytest.raises(PanicException):
        board.pop()


@PROPERTIES
@given(fen_text)
def test_bitboard_from_fen_fails_only_with_allowed_errors(text):
    try:
        view = Board.bitboard_from_fen(text)
    except BaseException as exc:  # noqa: BLE001
        check_allowed(exc)
        assert isinstance(exc, PanicException), exc
        return
    assert fields(text), "a text without fields has no placement"
    assert len(view) == 12 and all(len(kind) == 64 for kind in view)
    assert all(type(v) is bool for kind in view for v in kind)
    try:
        board = Board(text)
    except ALLOWED:
        return
    assert board.bitboard() == view


@settings(PROPERTIES, max_examples=40)
@given(not_a_str)
def test_arguments_of_other_types_are_type_errors(value):
    board = Board()
    before = full_state(board)
    for call in (Board, Board.bitboard_from_fen, board.push, GENERATOR):
        with pytest.raises(TypeError):
            call(value)
    with pytest.raises(TypeError):
        Board(fen=value)
    with pytest.raises(TypeError):
        board.push(chess_move=value)
    assert full_state(board) == before


def attempt(call, before_state, board):
    """Runs call; returns (True, result), or (False, exception) after checking
    that the exception is an allowed one and that board did not change."""
    try:
        return True, call()
    except BaseException as exc:  # noqa: BLE001 - the type is what is checked
        check_allowed(exc)
        assert full_state(board) == before_state, f"failed with {exc!r} and changed the board"
        return False, exc


@settings(PROPERTIES, max_examples=200)
@given(fen_text, st.lists(operation, max_size=25))
def test_random_programs_keep_every_board_consistent(text, program):
    try:
        board = Board(text)
    except BaseException as exc:  # noqa: BLE001
        check_allowed(exc)
        board = Board()
    # The position (fen, bitboard) before each move still on the board.
    made = []
    for name, *args in program:
        before = full_state(board)
        assert len(before[3]) == len(made), "history length differs from the moves made"

        if name in ("push", "push_keyword"):
            text_arg = args[0]
            call = (lambda: board.push(text_arg)) if name == "push" else (
                lambda: board.push(chess_move=text_arg))
            ok, result = attempt(call, before, board)
            if not ok:
                if isinstance(result, ValueError):
                    assert str(result).startswith("Invalid chess move: ")
                continue
            assert result is None
            assert MOVE_TEXT.fullmatch(text_arg), f"{text_arg!r} was accepted"
            made.append(before[:2])
            assert full_state(board)[3][:1] == [before[0]], "pop of a copy does not go back"

        elif name == "push_generated":
            ok, moves = attempt(lambda: GENERATOR(board), before, board)
            if not ok:
                continue
            assert full_state(board) == before, "generation changed the board"
            if moves:
                board.push(moves[args[0] % len(moves)])  # a generated move is always made
                made.append(before[:2])

        elif name == "push_variant":
            moves = GENERATOR(board)
            if not moves:
                continue
            variant = args[1](moves[args[0] % len(moves)])
            ok, result = attempt(lambda: board.push(variant), before, board)
            if ok:
                assert MOVE_TEXT.fullmatch(variant), f"{variant!r} was accepted"
                made.append(before[:2])

        elif name == "generate":
            ok, moves = attempt(lambda: GENERATOR(board=board), before, board)
            if not ok:
                continue
            assert isinstance(moves, list) and all(type(m) is str for m in moves)
            assert all(MOVE_TEXT.fullmatch(m) for m in moves), moves
            assert full_state(board) == before, "generation changed the board"
            for move in moves:
                probe = board.copy()
                probe.push(move)
                probe.pop()
                assert full_state(probe) == before, move

        elif name == "pop":
            ok, result = attempt(board.pop, before, board)
            assert ok == bool(made), "pop succeeded without a move, or failed with one"
            if ok:
                assert result is None
                assert (board.fen(), board.bitboard()) == made.pop()

        elif name == "reflect":
            assert board.reflect() is None
            made.clear()
            assert full_state(board)[3] == []
            board.reflect()
            assert full_state(board)[:3] == before[:3], "reflecting twice changed the position"

        elif name == "copy":
            duplicate = board.copy()
            assert duplicate is not board and full_state(duplicate) == before
            if args[0]:
                board = duplicate

        elif name == "bitboard_from_fen":
            attempt(lambda: Board.bitboard_from_fen(args[0]), before, board)
            assert full_state(board) == before

        elif name in ("push_bad_type", "generate_bad_argument"):
            call = board.push if name == "push_bad_type" else GENERATOR
            with pytest.raises(TypeError):
                call(args[0])
            assert full_state(board) == before

    assert len(full_state(board)[3]) == len(made)


@settings(PROPERTIES, max_examples=200)
@given(st.sampled_from(REAL_FENS), move_text)
def test_failed_push_leaves_history_and_position(text, move):
    board = Board(text)
    for _ in range(2):
        moves = GENERATOR(board)
        if moves:
            board.push(moves[len(moves) // 2])
    before = full_state(board)
    try:
        board.push(move)
    except BaseException as exc:  # noqa: BLE001
        check_allowed(exc)
        assert full_state(board) == before
        return
    assert MOVE_TEXT.fullmatch(move)
    board.pop()
    assert full_state(board) == before


@settings(PROPERTIES, max_examples=200)
@given(st.sampled_from(REAL_FENS[:6] + REAL_FENS[-2:]), st.data())
def test_failed_push_of_a_changed_generated_move_leaves_the_board(text, data):
    board = Board(text)
    play_prelude(board, data)
    moves = GENERATOR(board)
    if not moves:
        return
    move = data.draw(st.sampled_from(VARIANTS))(data.draw(st.sampled_from(moves)))
    before = full_state(board)
    try:
        board.push(move)
    except BaseException as exc:  # noqa: BLE001
        check_allowed(exc)
        assert full_state(board) == before, f"{move!r} failed with {exc!r} and changed the board"
        return
    assert MOVE_TEXT.fullmatch(move)
    board.pop()
    assert full_state(board) == before
