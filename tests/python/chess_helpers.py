"""Shared helpers for the move-generation tests: perft and python-chess glue."""

import chess

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"

# The standard perft test positions (move counters dropped: Board keeps none).
KIWIPETE_FEN = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
PERFT3_FEN = "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"
PERFT4_FEN = "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"
PERFT5_FEN = "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"
PERFT6_FEN = "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"

PERFT_FENS = {
    "start": START_FEN,
    "kiwipete": KIWIPETE_FEN,
    "position3": PERFT3_FEN,
    "position4": PERFT4_FEN,
    "position5": PERFT5_FEN,
    "position6": PERFT6_FEN,
}


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
