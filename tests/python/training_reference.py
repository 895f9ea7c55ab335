"""ChessEnv's observation planes made with python-chess and plain Python, for
the training-batch tests and bench/training.py: the "bits" form (119 uint64
per position) of every position before a main-line move of a game.

pgx's rules: the last eight placements from the side to move's view (none
before the game's start), a position repeated when another position of the
game so far (the start never counts) has the same placement, side to move,
pgx castling flags and en-passant square (set after every double step), the
step count and no-progress count (from a FEN start, its counters).
"""

from __future__ import annotations

import chess

ALL = (1 << 64) - 1
# pgx's castling flags: white a-side, white h-side, black a-side, black h-side.
_FLAG_SQUARES = (chess.A1, chess.H1, chess.A8, chess.H8)


def _flags(board: chess.Board) -> int:
    return sum(1 << i for i, square in enumerate(_FLAG_SQUARES) if board.castling_rights & (1 << square))


def _after_move(flags: int, move: chess.Move, white: bool) -> int:
    """pgx's castling flags after a move: cleared by a move from the king's or a
    rook's home, and the other side's by a move onto its rook's home."""
    king, a_home, h_home = (chess.E1, chess.A1, chess.H1) if white else (chess.E8, chess.A8, chess.H8)
    mine_a, mine_h, theirs_a, theirs_h = (1, 2, 4, 8) if white else (4, 8, 1, 2)
    their_a, their_h = (chess.A8, chess.H8) if white else (chess.A1, chess.H1)
    if move.from_square in (king, a_home):
        flags &= ~mine_a
    if move.from_square in (king, h_home):
        flags &= ~mine_h
    if move.to_square == their_a:
        flags &= ~theirs_a
    if move.to_square == their_h:
        flags &= ~theirs_h
    return flags


def _placement(board: chess.Board) -> tuple[int, ...]:
    return tuple(board.pieces_mask(t, c) for c in (chess.WHITE, chess.BLACK) for t in range(1, 7))


def _oriented(bb: int, white: bool) -> int:
    return int.from_bytes(bb.to_bytes(8, "little"), "big") if white else bb


def game_planes(start: chess.Board, moves: list[chess.Move]) -> list[list[int]]:
    """The bits-form observation before each move of the game."""
    board = start.copy(stack=False)
    flags = _flags(board)
    placements = [_placement(board)]
    keys: list[object] = [None]  # the start is never counted
    out = []
    for move in moves:
        cur = len(placements) - 1
        white = board.turn == chess.WHITE
        planes = []
        for i in range(8):
            j = cur - i
            if j < 0:
                planes += [0] * 12 + [ALL, 0]
                continue
            p = placements[j]
            mine, theirs = (p[:6], p[6:]) if white else (p[6:], p[:6])
            planes += [_oriented(b, white) for b in mine + theirs]
            again = j >= 1 and any(keys[m] == keys[j] for m in range(1, cur + 1) if m != j)
            planes += [0, ALL] if again else [ALL, 0]
        order = (1, 2, 4, 8) if white else (4, 8, 1, 2)
        planes.append(0 if white else ALL)
        planes.append(ALL if board.ply() else 0)
        planes += [ALL if flags & bit else 0 for bit in order]
        planes.append(ALL if board.halfmove_clock else 0)
        out.append(planes)
        double = (board.piece_type_at(move.from_square) == chess.PAWN
                  and abs(move.to_square - move.from_square) == 16)
        flags = _after_move(flags, move, white)
        board.push(move)
        placements.append(_placement(board))
        en_passant = (move.from_square + move.to_square) // 2 if double else None
        keys.append((placements[-1], board.turn, flags, en_passant))
    return out
