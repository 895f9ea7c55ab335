"""Writes tests/data/az_pgx.txt: pgx's AlphaZero chess action ids for positions
reached by play, each id paired with the move it makes.

pgx (PyPI ``pgx``, with JAX) is a different program used here as an oracle
only; it is not a dependency of this project. Run it from a throwaway virtual
environment that has pgx, jax, jaxlib and chess (python-chess) installed:

    python3 -m venv build/pgx-venv
    build/pgx-venv/bin/pip install pgx jax jaxlib chess==1.11.2
    build/pgx-venv/bin/python scripts/make_az_fixture.py    # a few minutes

Seeded games are played inside pgx from the standard perft positions and a
few hand-made ones (promotions with and without captures, castling on both
wings, en passant, for both colours). At every ply each action of pgx's
legal-action mask is stepped, and its move is recognised as the one
python-chess legal move that gives the same placement and side to move; a
position where pgx's actions and python-chess's legal moves do not match one
to one stops the script. The next action is drawn at random, preferring
promotions, castling and en passant captures so that games reach them often.
Positions are kept when they offer one of those, and at random otherwise.

Output, one position per line: the four-field FEN as pgx writes it, "|", then
"id:move" pairs in increasing id order (coordinate notation).
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
OUT = REPO / "tests" / "data" / "az_pgx.txt"
PERFT = REPO / "tests" / "data" / "perft.txt"
SEED = 12
GAMES_PER_START = 3
MAX_PLIES = 120
KEEP_PROBABILITY = 0.12

HAND_MADE = [
    "r1r1k3/1P6/8/8/8/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/1p6/R1R1K3 b - - 0 1",
    "1n5n/P5P1/8/3k4/8/8/p6p/1N1K2N1 w - - 0 1",
    "1n5n/P5P1/8/3k4/8/8/p6p/1N1K2N1 b - - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "4k3/8/8/2PpP3/8/8/8/4K3 w - d6 0 1",
    "4k3/8/8/8/2pPp3/8/8/4K3 b - d3 0 1",
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 0 1",
    "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - 0 1",
]


def perft_fens() -> list[str]:
    fens = []
    for line in PERFT.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            fens.append(line.split("|")[1].strip() + " 0 1")
    return fens


def fen_of(state) -> str:
    # pgx's FEN writer is quick on plain numpy arrays, slow on device arrays.
    return _to_fen(jax.device_get(state))


def pairs_of(step, state, fen: str) -> list[tuple[int, str, object]]:
    """pgx's legal actions with their moves and the states they lead to."""
    board = chess.Board(fen)
    by_result: dict[str, list[str]] = {}
    for move in board.legal_moves:
        after = board.copy(stack=False)
        after.push(move)
        by_result.setdefault(" ".join(after.fen().split()[:2]), []).append(move.uci())
    pairs = []
    for action in np.flatnonzero(np.asarray(state.legal_action_mask)):
        child = step(state, jnp.int32(action))
        result = " ".join(fen_of(child).split()[:2])
        moves = by_result.get(result, [])
        if len(moves) != 1:
            raise SystemExit(f"{fen}: action {action} gives {result}, python-chess moves {moves}")
        pairs.append((int(action), moves[0], child))
    if sorted(m for _, m, _ in pairs) != sorted(m.uci() for m in board.legal_moves):
        raise SystemExit(f"{fen}: pgx and python-chess disagree on the legal moves")
    return pairs


def special(board: chess.Board, uci: str) -> bool:
    move = chess.Move.from_uci(uci)
    return bool(move.promotion) or board.is_castling(move) or board.is_en_passant(move)


def main() -> None:
    env = pgx.make("chess")
    step = jax.jit(env.step)
    rng = random.Random(SEED)
    lines: dict[str, str] = {}
    starts = perft_fens() + HAND_MADE
    for start in starts:
        initial = _from_fen(start)
        for game in range(GAMES_PER_START):
            state = initial
            for ply in range(MAX_PLIES):
                if bool(state.terminated):
                    break
                fen = fen_of(state)
                pairs = pairs_of(step, state, fen)
                if not pairs:
                    break
                board = chess.Board(fen)
                rare = [p for p in pairs if special(board, p[1])]
                key = " ".join(fen.split()[:4])
                if (rare or (game == 0 and ply == 0) or rng.random() < KEEP_PROBABILITY) and key not in lines:
                    lines[key] = " ".join(f"{a}:{m}" for a, m, _ in pairs)
                state = (rng.choice(rare) if rare and rng.random() < 0.6 else rng.choice(pairs))[2]
        print(f"{start}: {len(lines)} positions so far", flush=True)
    header = [
        "# pgx's AlphaZero chess action ids of each position's legal moves (scripts/make_az_fixture.py).",
        f"# pgx {pgx.__version__}; FEN (four fields) | id:move ...",
    ]
    OUT.write_text("\n".join(header + [f"{fen} | {pairs}" for fen, pairs in lines.items()]) + "\n")
    print(f"{len(lines)} positions written to {OUT}")


if __name__ == "__main__":
    sys.exit(main())
