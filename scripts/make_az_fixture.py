"""Writes tests/data/az_pgx.txt: pgx's AlphaZero chess action ids for positions
reached by play, each id paired with the move it makes.

pgx (PyPI ``pgx``, with JAX) is a different program used here as an oracle
only; it is not a dependency of this project. Run it from a throwaway virtual
environment that has pgx, jax, jaxlib and chess (python-chess) installed:

    python3 -m venv build/pgx-venv
    build/pgx-venv/bin/pip install pgx jax jaxlib chess==1.11.2
    build/pgx-venv/bin/python scripts/make_az_fixture.py

Positions: every position of the benchmark suite (bench/suite.py), then
positions sampled from seeded random play from the standard perft positions
and a few hand-made ones (promotions with and without captures, castling on
both wings, en passant, for both colours). Each position is loaded into pgx
from its FEN; every action of pgx's legal-action mask is stepped, and the move
is recognised as the one python-chess legal move that gives the same
placement and side to move. A position where pgx's legal actions and
python-chess's legal moves do not match one to one stops the script.

Output, one position per line: the four-field FEN, "|", then "id:move" pairs
in increasing id order (coordinate notation as python-chess writes it).
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

import chess
import jax
import jax.numpy as jnp
import numpy as np
import pgx
from pgx.chess import _from_fen, _to_fen

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))

import suite  # noqa: E402

OUT = REPO / "tests" / "data" / "az_pgx.txt"
SEED = 12
RANDOM_POSITIONS = 250

HAND_MADE = [
    # promotions, white and black, with captures on both sides
    "r1r1k3/1P6/8/8/8/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/1p6/R1R1K3 b - - 0 1",
    "1n5n/P5P1/8/3k4/8/8/p6p/1N1K2N1 w - - 0 1",
    "1n5n/P5P1/8/3k4/8/8/p6p/1N1K2N1 b - - 0 1",
    # castling on both wings, both colours
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    # en passant, both colours and both sides
    "4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1",
    "4k3/8/8/8/2pPp3/8/8/4K3 b - d3 0 1",
    # every direction and distance of a queen, every knight jump
    "7k/8/8/3Q4/8/2N5/8/K7 w - - 0 1",
    "7K/8/8/3q4/8/2n5/8/k7 b - - 0 1",
]


def placement_after(board: chess.Board, move: chess.Move) -> str:
    after = board.copy(stack=False)
    after.push(move)
    return " ".join(after.fen().split()[:2])


def pgx_pairs(step, fen: str) -> list[tuple[int, str]] | None:
    """pgx's legal actions of the position and their moves; None where pgx
    has ended the game (insufficient material), as it then makes no moves."""
    board = chess.Board(fen)
    by_result = {}
    for move in board.legal_moves:
        by_result.setdefault(placement_after(board, move), []).append(move.uci())
    # Move counters reset, so that no fifty-move rule ends the game.
    state = _from_fen(" ".join(fen.split()[:4]) + " 0 1")
    if bool(state.terminated):
        return None
    ids = [int(a) for a in np.flatnonzero(np.asarray(state.legal_action_mask))]
    pairs = []
    for action in ids:
        result = " ".join(_to_fen(step(state, jnp.int32(action))).split()[:2])
        moves = by_result.get(result, [])
        if len(moves) != 1:
            raise SystemExit(f"{fen}: action {action} gives {result}, python-chess moves {moves}")
        pairs.append((action, moves[0]))
    if sorted(m for _, m in pairs) != sorted(m.uci() for m in board.legal_moves):
        raise SystemExit(f"{fen}: pgx and python-chess disagree on the legal moves")
    return pairs


def random_positions(count: int) -> list[str]:
    rng = random.Random(SEED)
    fens: list[str] = []
    game = 0
    while len(fens) < count:
        _, start = suite.START_POSITIONS[game % len(suite.START_POSITIONS)]
        game += 1
        board = chess.Board(start)
        for _ in range(150):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            if rng.random() < 0.1 or board.has_legal_en_passant() or any(
                    m.promotion or board.is_castling(m) for m in board.legal_moves):
                fens.append(board.fen())
                if len(fens) == count:
                    break
    return fens


def main() -> None:
    env = pgx.make("chess")
    step = jax.jit(env.step)
    fens = [p.fen for p in suite.build_suite()] + random_positions(RANDOM_POSITIONS) + HAND_MADE
    seen = set()
    lines = []
    for fen in fens:
        key = " ".join(fen.split()[:4])
        if key in seen:
            continue
        seen.add(key)
        pairs = pgx_pairs(step, fen)
        if pairs is None:
            continue
        lines.append(key + " | " + " ".join(f"{a}:{m}" for a, m in pairs))
    header = [
        "# pgx's AlphaZero chess action ids of each position's legal moves (scripts/make_az_fixture.py).",
        f"# pgx {pgx.__version__}; FEN (four fields) | id:move ...",
    ]
    OUT.write_text("\n".join(header + lines) + "\n")
    print(f"{len(lines)} positions written to {OUT}")


if __name__ == "__main__":
    main()
