"""Reading FEN text into a Board and writing it back; turn() and copy()."""

import chess
import pytest

from orvex_chess import Board

from conftest import DEFAULT_FEN, PanicException, history_len, snapshot

EMPTY = "8/8/8/8/8/8/8/8"

WELL_FORMED = [
    DEFAULT_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 b - -",
    "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6",
    "4k3/8/8/8/8/8/8/4K3 b - -",
]


def test_default_board_is_the_start_position():
    board = Board()
    assert board.fen() == DEFAULT_FEN
    assert snapshot(board) == snapshot(Board(DEFAULT_FEN))
    assert board.turn() == "white"
    assert history_len(board) == 0


@pytest.mark.parametrize("fen", WELL_FORMED)
def test_well_formed_fen_round_trips(fen):
    board = Board(fen)
    assert board.fen() == fen
    assert Board(board.fen()).bitboard() == board.bitboard()
    assert board.fen().split()[0] == chess.Board(fen).board_fen()


@pytest.mark.parametrize(
    "fen, written",
    [
        # Move counters and anything after the fourth field are dropped.
        (
            "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
            "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
        ),
        (f"{EMPTY} w - - 50 100 and more", f"{EMPTY} w - -"),
        (f"{EMPTY} w - - x y", f"{EMPTY} w - -"),
        # Castling letters: any order, repeats, and reading stops at '-'.
        (f"{EMPTY} w - -", f"{EMPTY} w - -"),
        (f"{EMPTY} w K-Q -", f"{EMPTY} w K -"),
        (f"{EMPTY} w -x -", f"{EMPTY} w - -"),
        (f"{EMPTY} w qkQKq -", f"{EMPTY} w KQkq -"),
        (f"{EMPTY} b kK -", f"{EMPTY} b Kk -"),
        (f"{EMPTY} w KQkq-junk -", f"{EMPTY} w KQkq -"),
        # En passant: only the file letter is kept; the rank follows the side to move.
        (f"{EMPTY} w - e6", f"{EMPTY} w - e6"),
        (f"{EMPTY} w - e", f"{EMPTY} w - e6"),
        (f"{EMPTY} w - e4", f"{EMPTY} w - e6"),
        (f"{EMPTY} w - a6", f"{EMPTY} w - a6"),
        (f"{EMPTY} b - e3", f"{EMPTY} b - e3"),
        (f"{EMPTY} b - e", f"{EMPTY} b - e3"),
        (f"{EMPTY} b - e6", f"{EMPTY} b - e3"),
        (f"{EMPTY} b - h3", f"{EMPTY} b - h3"),
        (f"{EMPTY} w - i", f"{EMPTY} w - -"),
        (f"{EMPTY} w - A", f"{EMPTY} w - -"),
        # Only a to h name a file: any other first character sets nothing.
        (f"{EMPTY} w - \u0125", f"{EMPTY} w - -"),
        (f"{EMPTY} b - T", f"{EMPTY} b - -"),
        # Placement is not counted: ranks run on, wrap past h8, '0' adds nothing.
        ("9/8/8/8/8/8/8/8K w - -", "8/8/8/8/8/8/K7/8 w - -"),
        ("8/8/K w - -", "8/8/8/8/8/8/8/K7 w - -"),
        ("K8/8/8/8/8/8/8/8/k w - -", "1K6/8/8/8/8/8/8/k7 w - -"),
        ("1K/8/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/1K6 w - -"),
        ("0K/8 w - -", "8/8/8/8/8/8/K7/8 w - -"),
        ("Pp7/8/8/8/8/8/8/8 w - -", "Pp6/8/8/8/8/8/8/8 w - -"),
        # Two kinds on one square are written with the lower kind's letter.
        ("K/8/8/8/8/8/8/8/k7 w - -", "8/8/8/8/8/8/8/K7 w - -"),
        ("n/8/8/8/8/8/8/8/P7 w - -", "8/8/8/8/8/8/8/P7 w - -"),
        ("p/8/8/8/8/8/8/8/N7 w - -", "8/8/8/8/8/8/8/N7 w - -"),
        # Fields are separated by any Unicode white space.
        (f"{EMPTY}\tw\tKQ\t-", f"{EMPTY} w KQ -"),
        (f"\n {EMPTY}\r\nb\nk\ne\n\n", f"{EMPTY} b k e3"),
        (f"{EMPTY}\u3000w\u3000-\u3000-", f"{EMPTY} w - -"),
        (f"{EMPTY}\xa0w\u2003Q\u205fc", f"{EMPTY} w Q c6"),
        (f"{EMPTY}\x85w\u2028q\u2029-", f"{EMPTY} w q -"),
        (f"{EMPTY}\x0bw\x0c-\r-", f"{EMPTY} w - -"),
        (f"{EMPTY}\u1680w\u202fk\u2007-", f"{EMPTY} w k -"),
    ],
)
def test_fen_is_written_back(fen, written):
    assert Board(fen).fen() == written


@pytest.mark.parametrize(
    "fen, square, kinds",
    [
        ("K/8/8/8/8/8/8/8/k7 w - -", 0, {5, 11}),
        ("n/8/8/8/8/8/8/8/P7 w - -", 0, {0, 7}),
        ("K/8/8/8/8/8/8/8/K7 w - -", 0, {5}),
    ],
)
def test_shared_squares_keep_every_kind(fen, square, kinds):
    view = Board(fen).bitboard()
    assert {kind for kind in range(12) if view[kind][square]} == kinds
    assert sum(map(sum, view)) == len(kinds)


@pytest.mark.parametrize(
    "fen, error, message",
    [
        # Side to move must be exactly 'w' or 'b'.
        (f"{EMPTY} x KQkq -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} white KQkq -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} W - -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} B - -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} wb - -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} - - -", ValueError, "Invalid fen: Invalid side-to-move"),
        # The side to move is checked before castling.
        (f"{EMPTY} x Kx -", ValueError, "Invalid fen: Invalid side-to-move"),
        (f"{EMPTY} w Kx -", ValueError, "Invalid fen: Invalid castling specifier"),
        (f"{EMPTY} w KQkqx -", ValueError, "Invalid fen: Invalid castling specifier"),
        (f"{EMPTY} w \u00e9 -", ValueError, "Invalid fen: Invalid castling specifier"),
        # Castling is checked before the en-passant field is looked for.
        (f"{EMPTY} w Kx", ValueError, "Invalid fen: Invalid castling specifier"),
        # U+001C is not white space, although str.split() treats it as such.
        (f"{EMPTY} w K\x1cQ -", ValueError, "Invalid fen: Invalid castling specifier"),
        # An unreadable placement character wins over every later problem.
        ("x w - -", PanicException, "Invalid piece type"),
        ("x white Kx", PanicException, "Invalid piece type"),
        ("x", PanicException, "Invalid piece type"),
        ("8/8/8/8/8/8/8/\u00e9 w - -", PanicException, "Invalid piece type"),
        ("8/8/8/8/8/8/8/8/9a w - -", PanicException, "Invalid piece type"),
        (f"{EMPTY}\u200bw - -", PanicException, "Invalid piece type"),
        (f"{EMPTY}\x1cw - -", PanicException, "Invalid piece type"),
        (f"{EMPTY}\u180ew - -", PanicException, "Invalid piece type"),
        # Missing fields.
        ("", PanicException, "missing value: FEN text has no placement field"),
        (" \t\n\u3000", PanicException, "missing value: FEN text has no placement field"),
        (EMPTY, PanicException, "missing value: FEN text has no side-to-move field"),
        (f"{EMPTY} w", PanicException, "missing value: FEN text has no castling field"),
        (f"{EMPTY} w KQkq", PanicException, "missing value: FEN text has no en-passant field"),
        (f"{EMPTY} w KQkq \n ", PanicException, "missing value: FEN text has no en-passant field"),
    ],
)
def test_bad_fen(fen, error, message):
    with pytest.raises(error) as info:
        Board(fen)
    assert type(info.value) is error
    assert str(info.value) == message


def test_panic_on_three_fields_is_not_value_error():
    with pytest.raises(PanicException):
        try:
            Board(f"{EMPTY} w KQkq")
        except ValueError:
            pytest.fail("three-field FEN raised ValueError")


@pytest.mark.parametrize(
    "fen, side",
    [
        (DEFAULT_FEN, "white"),
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "black"),
        (f"{EMPTY} w - -", "white"),
        (f"{EMPTY} b - -", "black"),
    ],
)
def test_turn(fen, side):
    board = Board(fen)
    assert board.turn() == side
    assert type(board.turn()) is str


def test_turn_follows_push_pop_and_reflect():
    board = Board()
    sides = [board.turn()]
    for move in ["e2e4", "e7e5", "g1f3"]:
        board.push(move)
        sides.append(board.turn())
    assert sides == ["white", "black", "white", "black"]
    board.pop()
    assert board.turn() == "white"
    board.reflect()
    assert board.turn() == "black"


def test_copy_is_equal_and_independent():
    board = Board()
    for move in ["e2e4", "c7c5", "g1f3"]:
        board.push(move)
    clone = board.copy()
    assert type(clone) is Board
    assert clone is not board
    assert snapshot(clone) == snapshot(board)

    clone.push("d7d6")
    assert board.fen() == "rnbqkbnr/pp1ppppp/8/2p5/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq -"
    board.pop()
    assert board.fen() == "rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR w KQkq c6"
    assert clone.fen() == "rnbqkbnr/pp2pppp/3p4/2p5/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq -"
    assert history_len(clone) == 4
    assert history_len(board) == 2


def test_copy_takes_back_the_same_moves():
    board = Board()
    states = [snapshot(board)]
    for move in ["e2e4", "d7d5", "e4d5", "g8f6", "f1b5", "c7c6", "d5c6", "d8d2", "e1d2"]:
        board.push(move)
        states.append(snapshot(board))
    clone = board.copy()
    for expected in reversed(states[:-1]):
        clone.pop()
        assert snapshot(clone) == expected
    with pytest.raises(PanicException):
        clone.pop()
    # The source still has all its moves.
    assert snapshot(board) == states[-1]
    assert history_len(board) == len(states) - 1
    for expected in reversed(states[:-1]):
        board.pop()
        assert snapshot(board) == expected


def test_copy_of_fresh_board_has_no_history():
    clone = Board("4k3/8/8/8/8/8/8/4K3 w - -").copy()
    with pytest.raises(PanicException, match="^missing value:"):
        clone.pop()
    assert clone.fen() == "4k3/8/8/8/8/8/8/4K3 w - -"
