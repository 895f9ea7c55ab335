"""Seeded random games written as PGN by python-chess, for the PGN tests and bench/pgn.py.

Games are random legal play from the start position or from a few set-up
positions, up to a number of plies (or mate or stalemate), with the extras
that real files hold: comments (some across lines, some with braces' lookalikes),
NAGs, nested variations, clock comments, non-ASCII names.
"""

from __future__ import annotations

import io
import random

import chess
import chess.pgn

SETUP_FENS = (
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbqkb1r/pp1p1ppp/5n2/2pPp3/8/8/PPP1PPPP/RNBQKBNR w KQkq c6 0 4",
    "4k3/1P6/8/8/8/8/6p1/4K3 b - - 0 1",
)
NAMES = ("Carlsen, Magnus", "Lasker, Emanuel", "Ünzicker, Wolfgang", "Ding Liren",
         "Nepomniachtchi, Ian", "Réti, Richard", "Tal, Mikhail", "O'Kelly, Alberic")
COMMENTS = ("good move", "[%clk 0:03:12]", "a comment\nacross two lines", "(not a variation)",
            "; not a rest-of-line comment", "$1 is no NAG here", "1-0 is no result here",
            "%-sign inside", "[%eval 0.25] [%clk 1:02:03]")


def random_game(rng: random.Random, plies: int, extras: bool) -> chess.pgn.Game:
    """Returns one game of random legal moves."""
    game = chess.pgn.Game()
    setup = extras and rng.random() < 0.1
    if setup:
        game.setup(chess.Board(rng.choice(SETUP_FENS)))
    game.headers["Event"] = f"Random {rng.randrange(1000)}"
    game.headers["White"] = rng.choice(NAMES)
    game.headers["Black"] = rng.choice(NAMES)
    game.headers["Date"] = f"20{rng.randrange(10, 25)}.{rng.randrange(1, 13):02}.??"
    node: chess.pgn.GameNode = game
    board = game.board()
    for _ in range(plies):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        parent = node
        node = parent.add_variation(move)
        if extras and len(moves) > 1 and rng.random() < 0.08:
            _add_variation(rng, parent, board, [m for m in moves if m != move], depth=0)
        board.push(move)
        if extras and rng.random() < 0.1:
            node.comment = rng.choice(COMMENTS)
        if extras and rng.random() < 0.08:
            node.nags.add(rng.randrange(1, 140))
    outcome = board.outcome()
    game.headers["Result"] = outcome.result() if outcome else rng.choice(["1-0", "0-1", "1/2-1/2", "*"])
    return game


def _add_variation(rng, node, board, alternatives, depth):
    first = rng.choice(alternatives)
    branch = node.add_variation(first)
    line_board = board.copy()
    line_board.push(first)
    for _ in range(rng.randrange(0, 4)):
        moves = list(line_board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        parent = branch
        branch = parent.add_variation(move)
        if depth < 2 and len(moves) > 1 and rng.random() < 0.3:
            _add_variation(rng, parent, line_board, [m for m in moves if m != move], depth + 1)
        line_board.push(move)
    if rng.random() < 0.3:
        branch.comment = rng.choice(COMMENTS)


def random_pgn(seed: int, count: int, plies: int = 80, extras: bool = True) -> str:
    """Returns the PGN text of count seeded random games, separated by blank lines."""
    rng = random.Random(seed)
    out = io.StringIO()
    for _ in range(count):
        game = random_game(rng, plies, extras)
        print(game, file=out, end="\n\n")
    return out.getvalue()
