"""Polyglot keys: the table in the C++ header, published keys, and
python-chess's chess.polyglot.zobrist_hash on every position of seeded games."""

import random
import sys
from pathlib import Path

import chess
import chess.polyglot
import pytest

import orvex_chess
from chess_helpers import PERFT_FENS
from test_differential import choose_move

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
import gen_polyglot_keys  # noqa: E402

START_POSITIONS = dict(PERFT_FENS)
START_POSITIONS["pawn-walls"] = "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - -"
START_POSITIONS["promotion-race"] = "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -"


def test_header_holds_the_python_chess_table():
    assert gen_polyglot_keys.HEADER.read_text() == gen_polyglot_keys.header_text()


# The keys published with the Polyglot book format, after each move in turn.
PUBLISHED = [
    ([], 0x463B96181691FC9C),
    (["e2e4"], 0x823C9B50FD114196),
    (["e2e4", "d7d5"], 0x0756B94461C50FB0),
    (["e2e4", "d7d5", "e4e5"], 0x662FAFB965DB29D4),
    (["e2e4", "d7d5", "e4e5", "f7f5"], 0x22A48B5A8E47FF78),
    (["e2e4", "d7d5", "e4e5", "f7f5", "e1e2"], 0x652A607CA3F242C1),
    (["e2e4", "d7d5", "e4e5", "f7f5", "e1e2", "e8f7"], 0x00FDD303C946BDD9),
    (["a2a4", "b7b5", "h2h4", "b5b4", "c2c4"], 0x3C8123EA7B067637),
    (["a2a4", "b7b5", "h2h4", "b5b4", "c2c4", "b4c3", "a1a3"], 0x5C3F9B829B279560),
]


@pytest.mark.parametrize("moves, key", PUBLISHED)
def test_published_keys(moves, key):
    board = orvex_chess.Board()
    for move in moves:
        board.push(move)
    assert board.zobrist() == key


def lockstep_keys(fen, moves):
    """Our key and python-chess's after each of the moves, from fen."""
    board, pc_board = orvex_chess.Board(fen), chess.Board(fen)
    pairs = [(board.zobrist(), chess.polyglot.zobrist_hash(pc_board))]
    for move in moves:
        board.push(move)
        pc_board.push_uci(move)
        pairs.append((board.zobrist(), chess.polyglot.zobrist_hash(pc_board)))
    return pairs


@pytest.mark.parametrize("fen, moves", [
    # En passant: a pawn beside the target (hashed), none (not hashed), one
    # whose capture would leave its king in check (hashed all the same).
    ("4k3/8/8/8/3p4/8/4P3/4K3 w - -", ["e2e4"]),
    ("4k3/8/8/8/8/8/4P3/4K3 w - -", ["e2e4"]),
    ("8/8/8/8/k2p3R/8/4P3/4K3 w - -", ["e2e4"]),
    ("4k3/3p4/8/4P3/8/8/8/4K3 b - -", ["d7d5", "e1d1"]),
    ("4k3/8/8/8/p6p/8/1P4P1/4K3 w - -", ["b2b4", "h4h3", "g2g4"]),
    # Castling rights: lost by a rook's move, a king's move, a rook taken on its corner.
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", ["h1h2", "a8a7", "e1e2", "e8d8"]),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", ["a1a8", "e8f7", "h1h8"]),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", ["e1g1", "e8c8"]),
    # Rights whose rook or king is not on its square are not hashed.
    ("4k3/8/8/8/8/8/8/4K3 w KQkq -", []),
    ("r3k2r/8/8/8/8/8/8/R2K3R w KQkq -", []),
])
def test_keys_match_python_chess(fen, moves):
    for ours, theirs in lockstep_keys(fen, moves):
        assert ours == theirs


def test_keys_match_python_chess_along_seeded_games():
    positions = 0
    keys = set()
    for index, fen in enumerate(START_POSITIONS.values()):
        for game in range(4):
            rng = random.Random(31 * index + game)
            board, pc_board = orvex_chess.Board(fen), chess.Board(fen)
            for _ in range(120):
                key = board.zobrist()
                assert key == chess.polyglot.zobrist_hash(pc_board), pc_board.fen()
                keys.add(key)
                positions += 1
                if pc_board.is_game_over():
                    break
                move = choose_move(rng, pc_board)
                board.push(move.uci())
                pc_board.push(move)
    assert positions > 3000 and len(keys) > 0.9 * positions


@pytest.mark.parametrize("fen", [
    "KKKK4/8/8/8/8/8/8/kkkk4 b KQkq -",
    "4k3/8/8/8/8/8/8/K3K2R w K -",            # two kings, one of them on e1
    "8/8/8/8/8/8/8/8 w - -",
])
def test_boards_without_one_king_each(fen):
    assert orvex_chess.Board(fen).zobrist() == chess.polyglot.zobrist_hash(chess.Board(fen))


def test_pieces_sharing_a_square_are_each_hashed():
    shared = orvex_chess.Board("4k3N/8/8/8/8/8/8/R3K3 w Q -")  # a1: rook and knight
    alone = orvex_chess.Board("4k3/8/8/8/8/8/8/R3K3 w Q -")
    white_knight_on_a1 = chess.polyglot.POLYGLOT_RANDOM_ARRAY[64 * 3]
    assert shared.zobrist() == alone.zobrist() ^ white_knight_on_a1
