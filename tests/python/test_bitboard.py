"""Board.bitboard() and Board.bitboard_from_fen(): twelve lists of 64 booleans."""

import chess
import pytest

from orvex_chess import Board

from conftest import DEFAULT_FEN, PanicException

# Kind order of the view: white P N B R Q K, then black p n b r q k.
KINDS = [(colour, piece) for colour in (chess.WHITE, chess.BLACK) for piece in chess.PIECE_TYPES]

POSITIONS = [
    DEFAULT_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "7k/8/8/8/8/8/8/K7 b - -",
    "8/8/8/8/8/8/8/8 w - -",
]


def squares_of(view, kind):
    return {s for s in range(64) if view[kind][s]}


def expected_view(fen):
    oracle = chess.Board(fen)
    return [[s in oracle.pieces(piece, colour) for s in range(64)] for colour, piece in KINDS]


@pytest.mark.parametrize("fen", POSITIONS)
def test_shape_and_types(fen):
    for view in (Board(fen).bitboard(), Board.bitboard_from_fen(fen)):
        assert type(view) is list and len(view) == 12
        for row in view:
            assert type(row) is list and len(row) == 64
            assert all(type(value) is bool for value in row)


def test_start_position():
    view = Board().bitboard()
    assert squares_of(view, 0) == set(range(8, 16))
    assert squares_of(view, 1) == {1, 6}
    assert squares_of(view, 2) == {2, 5}
    assert squares_of(view, 3) == {0, 7}
    assert squares_of(view, 4) == {3}
    assert squares_of(view, 5) == {4}
    assert squares_of(view, 6) == set(range(48, 56))
    assert squares_of(view, 9) == {56, 63}
    assert squares_of(view, 10) == {59}
    assert squares_of(view, 11) == {60}


@pytest.mark.parametrize("fen", POSITIONS)
def test_view_matches_python_chess(fen):
    assert Board(fen).bitboard() == expected_view(fen)


@pytest.mark.parametrize(
    "fen",
    POSITIONS + ["K/8/8/8/8/8/8/8/k7 w - -", "9/8/8/8/8/8/8/8K w - -", "1K/8/8/8/8/8/8/8/8 b - -"],
)
def test_bitboard_from_fen_agrees_with_board(fen):
    assert Board.bitboard_from_fen(fen) == Board(fen).bitboard()


def test_no_black_queen_gives_an_empty_row():
    view = Board("r3k2r/8/8/8/8/8/8/R2QK2R w KQkq -").bitboard()
    assert view[10] == [False] * 64
    assert squares_of(view, 4) == {3}


@pytest.mark.parametrize(
    "text, placement",
    [
        # Only the placement field is read.
        ("8/8/8/8/8/8/8/4K3", "8/8/8/8/8/8/8/4K3 w - -"),
        ("8/8/8/8/8/8/8/4K3 x Kx zz", "8/8/8/8/8/8/8/4K3 w - -"),
        ("8/8/8/8/8/8/8/4K3 w", "8/8/8/8/8/8/8/4K3 w - -"),
        ("\n\t8/8/8/8/8/8/8/4K3\u3000white", "8/8/8/8/8/8/8/4K3 w - -"),
        (DEFAULT_FEN + " 0 1", DEFAULT_FEN),
    ],
)
def test_bitboard_from_fen_reads_only_placement(text, placement):
    assert Board.bitboard_from_fen(text) == Board(placement).bitboard()


@pytest.mark.parametrize(
    "text, message",
    [
        ("x", "Invalid piece type"),
        ("8/8/8/8/8/8/8/4X3 w - -", "Invalid piece type"),
        ("8/8/8/8/8/8/8/\u00e9 w - -", "Invalid piece type"),
        ("", "missing value: FEN text has no placement field"),
        ("  \n ", "missing value: FEN text has no placement field"),
    ],
)
def test_bitboard_from_fen_failures(text, message):
    with pytest.raises(PanicException) as info:
        Board.bitboard_from_fen(text)
    assert str(info.value) == message


def test_view_follows_push_and_pop():
    board = Board()
    start = board.bitboard()
    board.push("e2e4")
    moved = board.bitboard()
    assert squares_of(moved, 0) == (set(range(8, 16)) - {12}) | {28}
    assert moved[1:] == start[1:]
    board.push("d7d5")
    board.push("e4d5")
    captured = board.bitboard()
    assert squares_of(captured, 0) == (set(range(8, 16)) - {12}) | {35}
    assert squares_of(captured, 6) == set(range(48, 56)) - {51}
    board.pop()
    board.pop()
    assert board.bitboard() == moved
    board.pop()
    assert board.bitboard() == start


def test_view_ignores_side_castling_and_en_passant():
    placement = "r3k2r/8/8/3pP3/8/8/8/R3K2R"
    views = [Board(f"{placement} {rest}").bitboard() for rest in ("w KQkq d6", "b - -", "w Kq e6")]
    assert views[0] == views[1] == views[2]


def test_results_are_not_shared():
    board = Board()
    first = board.bitboard()
    first[0][0] = True
    first[5].clear()
    second = board.bitboard()
    assert second[0][0] is False
    assert squares_of(second, 5) == {4}
    assert Board.bitboard_from_fen(DEFAULT_FEN) == second
