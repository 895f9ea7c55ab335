"""Shared helpers for the move-generation tests: perft and python-chess glue."""

from pathlib import Path

import chess

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
PERFT_TABLE = Path(__file__).resolve().parent.parent / "data" / "perft.txt"


def read_perft_table(path=PERFT_TABLE):
    """The standard perft positions: {name: (fen, [count at depth 1, 2, ...])}."""
    table = {}
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, fen, counts = (field.strip() for field in line.split("|"))
        table[name] = (fen, [int(n) for n in counts.split()])
    return table


PERFT_TABLE_ROWS = read_perft_table()
PERFT_FENS = {name: fen for name, (fen, _) in PERFT_TABLE_ROWS.items()}
KIWIPETE_FEN = PERFT_FENS["kiwipete"]


def perft(generator, board, depth):
    """Count the leaf nodes of the legal-move tree of `board` down to `depth`.

    Uses only generator(board), board.push and board.pop; the last level is
    counted as the length of the move list.
    """
    moves = generator(board)
    if depth <= 1:
        return len(moves) if depth == 1 else 1
    total = 0
    for move in moves:
        board.push(move)
        total += perft(generator, board, depth - 1)
        board.pop()
    return total


def to_python_chess(board):
    """A python-chess board for the position of one of our boards."""
    return chess.Board(board.fen())


def python_chess_moves(pc_board):
    """The legal moves of a python-chess board as a set of coordinate strings."""
    return {m.uci() for m in pc_board.legal_moves}


def fen_core(fen):
    """Placement, side to move and castling fields of a FEN text."""
    return tuple(fen.split()[:3])


def snapshot(board):
    """Everything observable about a board without changing it."""
    return board.fen(), board.turn(), board.bitboard()
