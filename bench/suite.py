"""Fixed benchmark suite: positions reached by seeded random play.

Games start from the six standard perft positions and are played with
python-chess, choosing each move with a seeded ``random.Random``. Positions
are sampled along the way and sorted into four kinds until each kind has its
quota (a position with a legal en passant capture is always sampled, as
random play makes few), so the suite is the same on every run with the same python-chess
version:

- ``check``: the side to move is in check;
- ``en passant``: not in check, and an en passant capture is legal;
- ``promotion``: none of the above, and at least one legal move promotes;
- ``endgame``: neither of the above, and at most six knights, bishops, rooks
  and queens left on the board (both sides together);
- ``middlegame``: everything else.

Run ``python bench/suite.py`` to print the counts, or ``--fens`` for the FENs.
"""

from __future__ import annotations

import argparse
import random
from collections import Counter
from dataclasses import dataclass, field

import chess

START_POSITIONS = [
    ("start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"),
    ("kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"),
    ("position3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"),
    ("position4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -"),
    ("position5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -"),
    ("position6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -"),
]

# Known perft counts of the start positions, depths 1..3.
PERFT_COUNTS = {
    "start": (20, 400, 8902),
    "kiwipete": (48, 2039, 97862),
    "position3": (14, 191, 2812),
    "position4": (6, 264, 9467),
    "position5": (44, 1486, 62379),
    "position6": (46, 2079, 89890),
}

KINDS = ("middlegame", "endgame", "check", "promotion", "en passant")
QUOTAS = {"middlegame": 80, "endgame": 60, "check": 50, "promotion": 50, "en passant": 10}
SEED = 20250601
SAMPLE_PROBABILITY = 0.08
MAX_PLIES = 200
MAX_GAMES = 5000


@dataclass
class SuitePosition:
    fen: str  # six-field FEN as python-chess writes it
    kind: str
    origin: str  # name of the start position of the game
    ply: int  # plies played from that start position
    features: set[str] = field(default_factory=set)


def _minor_major_count(board: chess.Board) -> int:
    return chess.popcount(board.occupied & ~board.pawns & ~board.kings)


def is_endgame(board: chess.Board) -> bool:
    """Whether at most six knights, bishops, rooks and queens are left."""
    return _minor_major_count(board) <= 6


def classify(board: chess.Board) -> tuple[str, set[str]]:
    """Returns the kind of a position and the set of all its features."""
    moves = list(board.legal_moves)
    features = set()
    if board.is_check():
        features.add("check")
    if any(m.promotion for m in moves):
        features.add("promotion")
    if is_endgame(board):
        features.add("endgame")
    if board.has_legal_en_passant():
        features.add("en passant")
    if any(board.is_castling(m) for m in moves):
        features.add("castling")
    if any(board.is_capture(m) for m in moves):
        features.add("captures")
    if not moves:
        features.add("no legal move")
    for kind in ("check", "en passant", "promotion", "endgame"):
        if kind in features:
            return kind, features
    return "middlegame", features


def build_suite(seed: int = SEED) -> list[SuitePosition]:
    """Plays seeded random games until every kind has its quota."""
    rng = random.Random(seed)
    counts = Counter()
    seen = set()
    suite: list[SuitePosition] = []
    for game in range(MAX_GAMES):
        if all(counts[k] >= QUOTAS[k] for k in KINDS):
            break
        origin, start_fen = START_POSITIONS[game % len(START_POSITIONS)]
        board = chess.Board(start_fen)
        for ply in range(1, MAX_PLIES + 1):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            if rng.random() >= SAMPLE_PROBABILITY and not board.has_legal_en_passant():
                continue
            key = board.epd()
            if key in seen:
                continue
            kind, features = classify(board)
            if counts[kind] >= QUOTAS[kind]:
                continue
            seen.add(key)
            counts[kind] += 1
            suite.append(SuitePosition(board.fen(), kind, origin, ply, features))
    else:
        raise RuntimeError(f"suite quotas not met after {MAX_GAMES} games: {dict(counts)}")
    return suite


DISTINCT_COUNT = 6000
DISTINCT_SEED = 20250615


def distinct_positions(count: int = DISTINCT_COUNT, seed: int = DISTINCT_SEED) -> list[str]:
    """Distinct positions from seeded random games, in shuffled order.

    Every position met along the games counts (not a sample), each taken once,
    so a timing loop over them meets each position once and in no pattern
    that the branch predictor or the caches could learn.
    """
    rng = random.Random(seed)
    seen: set[str] = set()
    fens: list[str] = []
    game = 0
    while len(fens) < count:
        board = chess.Board(START_POSITIONS[game % len(START_POSITIONS)][1])
        game += 1
        for _ in range(MAX_PLIES):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            key = board.epd()
            if key not in seen:
                seen.add(key)
                fens.append(board.fen())
                if len(fens) == count:
                    break
    rng.shuffle(fens)
    return fens


PLAYED_COUNT = 250
PLAYED_SEED = 20251209


def played_games(count: int = PLAYED_COUNT, seed: int = PLAYED_SEED) -> list[list[str]]:
    """The moves (UCI) of seeded random games from the standard start.

    Each game stops at a ply drawn from 1 to MAX_PLIES, or where it ends, so
    that a board made by pushing its moves holds a position reached by play
    with the whole game behind it (what the repetition rules walk).
    """
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        board = chess.Board()
        for _ in range(rng.randrange(1, MAX_PLIES + 1)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        games.append([m.uci() for m in board.move_stack])
    return games


def describe(suite: list[SuitePosition]) -> list[str]:
    """Lines that say how many positions of each kind the suite has."""
    kinds = Counter(p.kind for p in suite)
    features = Counter(f for p in suite for f in p.features)
    origins = Counter(p.origin for p in suite)
    moves = [len(list(chess.Board(p.fen).legal_moves)) for p in suite]
    lines = [
        f"suite: {len(suite)} positions, seed {SEED}, "
        f"{sum(moves)} legal moves in all ({min(moves)}..{max(moves)} per position)",
        "  by kind:    " + ", ".join(f"{k} {kinds[k]}" for k in KINDS),
        "  features:   " + ", ".join(
            f"{f} {features[f]}" for f in
            ("check", "promotion", "endgame", "en passant", "castling", "captures",
             "no legal move")),
        "  from games: " + ", ".join(f"{n} {origins[n]}" for n, _ in START_POSITIONS),
    ]
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fens", action="store_true", help="print kind and FEN of each position")
    args = parser.parse_args()
    suite = build_suite()
    print("\n".join(describe(suite)))
    if args.fens:
        for p in suite:
            print(f"{p.kind:10s} {p.origin:9s} ply {p.ply:3d}  {p.fen}")


if __name__ == "__main__":
    main()
