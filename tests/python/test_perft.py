"""Perft: leaf counts of the legal-move tree against the published values."""

import chess
import pytest

import orvex_chess
from chess_helpers import PERFT_FENS, PERFT_TABLE_ROWS, perft, snapshot

# Published counts from the shared table, walked through the Python API up to
# about 100,000 leaves; deeper ones up to 5 million run with -m slow.
FAST_LEAVES = 100_000
SLOW_LEAVES = 5_000_000
PUBLISHED = [
    pytest.param(name, depth, count, marks=[pytest.mark.slow] if count > FAST_LEAVES else [])
    for name, (_, counts) in PERFT_TABLE_ROWS.items()
    for depth, count in enumerate(counts, start=1)
    if count <= SLOW_LEAVES
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


def test_perft_of_a_mated_position_is_zero(generator):
    # Fool's mate: white is checkmated, so nothing lies below the root.
    board = orvex_chess.Board(
        "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -")
    assert perft(generator, board, 1) == 0
    assert perft(generator, board, 3) == 0
