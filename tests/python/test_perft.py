"""Perft: leaf counts of the legal-move tree against the published values."""

import chess
import pytest

import orvex_chess
from chess_helpers import PERFT_FENS, perft, snapshot

# Published perft results of the standard test positions.
PUBLISHED = [
    ("start", 1, 20),
    ("start", 2, 400),
    ("start", 3, 8902),
    ("start", 4, 197281),
    pytest.param("start", 5, 4865609, marks=pytest.mark.slow),
    ("kiwipete", 1, 48),
    ("kiwipete", 2, 2039),
    ("kiwipete", 3, 97862),
    pytest.param("kiwipete", 4, 4085603, marks=pytest.mark.slow),
    ("position3", 1, 14),
    ("position3", 2, 191),
    ("position3", 3, 2812),
    ("position3", 4, 43238),
    pytest.param("position3", 5, 674624, marks=pytest.mark.slow),
    ("position4", 1, 6),
    ("position4", 2, 264),
    ("position4", 3, 9467),
    pytest.param("position4", 4, 422333, marks=pytest.mark.slow),
    ("position5", 1, 44),
    ("position5", 2, 1486),
    ("position5", 3, 62379),
    pytest.param("position5", 4, 2103487, marks=pytest.mark.slow),
    ("position6", 1, 46),
    ("position6", 2, 2079),
    ("position6", 3, 89890),
    pytest.param("position6", 4, 3894594, marks=pytest.mark.slow),
]


@pytest.fixture(scope="module")
def generator():
    return orvex_chess.MoveGenerator()


@pytest.mark.parametrize("name, depth, expected", PUBLISHED)
def test_perft_matches_published_counts(generator, name, depth, expected):
    board = orvex_chess.Board(PERFT_FENS[name])
    before = snapshot(board)
    assert perft(generator, board, depth) == expected
    # The whole walk, generator calls included, leaves the board as it was.
    assert snapshot(board) == before


def python_chess_perft(pc_board, depth):
    if depth == 0:
        return 1
    total = 0
    for move in pc_board.legal_moves:
        pc_board.push(move)
        total += python_chess_perft(pc_board, depth - 1)
        pc_board.pop()
    return total


@pytest.mark.parametrize("name", sorted(PERFT_FENS))
def test_perft_below_existing_history(generator, name):
    # Walk the tree from a position reached by two pushes; the count must agree
    # with python-chess and the two moves underneath must still pop cleanly.
    fen = PERFT_FENS[name]
    board = orvex_chess.Board(fen)
    pc_board = chess.Board(fen)
    for pick in (-1, 0):
        move = generator(board)[pick]
        board.push(move)
        pc_board.push_uci(move)
    reached = snapshot(board)
    assert perft(generator, board, 2) == python_chess_perft(pc_board, 2)
    assert snapshot(board) == reached
    board.pop()
    board.pop()
    assert board.fen() == fen


def test_perft_depth_zero_is_one(generator):
    board = orvex_chess.Board()
    assert perft(generator, board, 0) == 1


def test_perft_of_a_mated_position_is_zero(generator):
    # Fool's mate: white is checkmated, so nothing lies below the root.
    board = orvex_chess.Board(
        "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -")
    assert perft(generator, board, 1) == 0
    assert perft(generator, board, 3) == 0
