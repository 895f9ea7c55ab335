"""Board.reflect(): the colour-reversed mirror image, in place."""

import chess
import pytest

from orvex_chess import Board

from conftest import DEFAULT_FEN, PanicException, history_len, snapshot

POSITIONS = [
    DEFAULT_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6",
    "4k2r/8/8/8/4Pp2/8/8/R3K3 b Qk e3",
]


@pytest.mark.parametrize(
    "fen, reflected",
    [
        (DEFAULT_FEN, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"),
        (
            "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
            "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6",
        ),
        ("r3k2r/8/8/8/8/8/8/R3K2R w Kq -", "r3k2r/8/8/8/8/8/8/R3K2R b Qk -"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b Qk -", "r3k2r/8/8/8/8/8/8/R3K2R w Kq -"),
        ("4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 b - -"),
        ("8/8/8/2pP4/8/8/8/8 w - c6", "8/8/8/8/2Pp4/8/8/8 b - c3"),
        ("8/8/8/8/8/8/8/8 b K -", "8/8/8/8/8/8/8/8 w k -"),
        ("7q/8/8/8/8/8/8/N7 w - -", "n7/8/8/8/8/8/8/7Q b - -"),
    ],
)
def test_reflected_fen(fen, reflected):
    board = Board(fen)
    assert board.reflect() is None
    assert board.fen() == reflected


def test_reflect_after_a_push():
    board = Board()
    board.push("e2e4")
    board.reflect()
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"
    assert board.turn() == "white"


@pytest.mark.parametrize("fen", POSITIONS)
def test_reflect_maps_every_square(fen):
    board = Board(fen)
    before = board.bitboard()
    board.reflect()
    after = board.bitboard()
    for kind in range(12):
        for square in range(64):
            assert after[kind][square] == before[(kind + 6) % 12][square ^ 56]


@pytest.mark.parametrize("fen", POSITIONS)
def test_reflect_agrees_with_python_chess_mirror(fen):
    board = Board(fen)
    board.reflect()
    mirrored = chess.Board(fen).mirror()
    placement, side, castling, en_passant = board.fen().split()
    assert placement == mirrored.board_fen()
    assert side == ("w" if mirrored.turn else "b")
    assert castling == mirrored.castling_xfen()
    original_ep = fen.split()[3]
    expected_ep = "-" if original_ep == "-" else original_ep[0] + ("6" if side == "w" else "3")
    assert en_passant == expected_ep


@pytest.mark.parametrize("fen", POSITIONS + ["K/8/8/8/8/8/8/8/k7 w - -", "9/8/8/8/8/8/8/8K b - -"])
def test_reflect_twice_restores_the_board(fen):
    board = Board(fen)
    before = snapshot(board)
    board.reflect()
    assert board.turn() != Board(fen).turn()
    board.reflect()
    assert snapshot(board) == before


def test_reflect_discards_history():
    board = Board()
    for move in ["e2e4", "e7e5", "g1f3"]:
        board.push(move)
    board.reflect()
    reflected = snapshot(board)
    assert history_len(board) == 0
    with pytest.raises(PanicException, match="^missing value:"):
        board.pop()
    assert snapshot(board) == reflected


def test_moves_after_reflect_can_be_taken_back():
    board = Board()
    board.push("e2e4")
    board.reflect()
    reflected = snapshot(board)
    board.push("d2d4")
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/3P4/8/PPP1PPPP/RNBQKBNR b KQkq d3"
    board.pop()
    assert snapshot(board) == reflected
    with pytest.raises(PanicException):
        board.pop()


def test_reflect_does_not_touch_a_copy():
    board = Board()
    board.push("e2e4")
    clone = board.copy()
    board.reflect()
    assert clone.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
    clone.pop()
    assert clone.fen() == DEFAULT_FEN
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"
