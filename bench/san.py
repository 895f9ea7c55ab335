"""Speed of SAN, check and Polyglot keys: orvex_chess against python-chess.

Run from the repository root:

    python bench/san.py            # about a minute
    python bench/san.py --quick    # a few seconds

Both libraries do the same work in one process, with the garbage collector
off while timing, in loops of the same shape:

- push_san, per ply: seeded random games (at most 80 plies each, from the
  start position) replayed from their SAN; each replay starts with a new
  board, counted in the time;
- san(), per move: every legal move of the benchmark suite, each library given
  its own move type (our coordinate strings, python-chess's Move objects);
- parse_san(), per move: the SAN texts of the same moves;
- is_check() and zobrist() (chess.polyglot.zobrist_hash), per position of the suite.

Each operation runs over several rounds; a round calls it k times on every
item (k chosen so a round takes a set time). "median" takes each item's
median over the rounds, adds them up and divides by the number of calls;
"min" does the same with each item's fastest round. The ratio is
python-chess's median over ours. Nothing is asserted about time.
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import sys
from pathlib import Path
from time import perf_counter_ns

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import chess  # noqa: E402
import chess.polyglot  # noqa: E402

import orvex_chess  # noqa: E402
import suite as suite_mod  # noqa: E402
from timing import make_loop  # noqa: E402

GAMES = 200
GAME_PLIES = 80
SEED = 20250613


ENV = {"Board": orvex_chess.Board, "chess": chess, "zobrist_hash": chess.polyglot.zobrist_hash}


class Case:
    def __init__(self, op: str, impl: str, unpack: str, body: str, items: list, calls: list[int]):
        self.op, self.impl = op, impl
        self.loop = make_loop(unpack, body, ENV)
        self.items, self.calls = items, calls
        self.k = 1
        self.rounds: list[list[float]] = []

    def calibrate(self, target_ns: int) -> None:
        self.loop(self.items, 1, perf_counter_ns)
        once = sum(self.loop(self.items, 1, perf_counter_ns))
        self.k = max(1, round(target_ns / max(once, 1)))

    def run_round(self) -> None:
        self.rounds.append([t / self.k for t in self.loop(self.items, self.k, perf_counter_ns)])

    def per_call(self, pick) -> float:
        return sum(pick(r[i] for r in self.rounds) for i in range(len(self.items))) / sum(self.calls)


def seeded_games() -> list[list[str]]:
    """SAN of seeded random games from the start position."""
    rng = random.Random(SEED)
    games = []
    for _ in range(GAMES):
        board, sans = chess.Board(), []
        for _ in range(GAME_PLIES):
            moves = list(board.legal_moves)
            if not moves:
                break
            move = rng.choice(moves)
            sans.append(board.san(move))
            board.push(move)
        games.append(sans)
    return games


def build_cases() -> tuple[list[Case], str]:
    suite = suite_mod.build_suite()
    games = seeded_games()
    fens = [p.fen for p in suite]
    generate = orvex_chess.MoveGenerator()
    ours = [tuple(generate(orvex_chess.Board(f))) for f in fens]
    theirs = [tuple(chess.Move.from_uci(m) for m in ms) for ms in ours]
    sans = [tuple(chess.Board(f).san(m) for m in ms) for f, ms in zip(fens, theirs)]
    plies = [len(g) for g in games]
    moves = [len(ms) for ms in ours]
    ones = [1] * len(fens)
    cases = [
        Case("push_san, per ply", "orvex", "sans", "b = Board()\nfor s in sans:\n    b.push_san(s)",
             games, plies),
        Case("push_san, per ply", "python-chess", "sans",
             "b = chess.Board()\nfor s in sans:\n    b.push_san(s)", games, plies),
        Case("san()", "orvex", "b, ms", "for m in ms:\n    b.san(m)",
             [(orvex_chess.Board(f), ms) for f, ms in zip(fens, ours)], moves),
        Case("san()", "python-chess", "b, ms", "for m in ms:\n    b.san(m)",
             [(chess.Board(f), ms) for f, ms in zip(fens, theirs)], moves),
        Case("parse_san()", "orvex", "b, ss", "for s in ss:\n    b.parse_san(s)",
             [(orvex_chess.Board(f), ss) for f, ss in zip(fens, sans)], moves),
        Case("parse_san()", "python-chess", "b, ss", "for s in ss:\n    b.parse_san(s)",
             [(chess.Board(f), ss) for f, ss in zip(fens, sans)], moves),
        Case("is_check()", "orvex", "b", "b.is_check()", [orvex_chess.Board(f) for f in fens], ones),
        Case("is_check()", "python-chess", "b", "b.is_check()", [chess.Board(f) for f in fens], ones),
        Case("zobrist()", "orvex", "b", "b.zobrist()", [orvex_chess.Board(f) for f in fens], ones),
        Case("zobrist()", "python-chess", "b", "zobrist_hash(b)", [chess.Board(f) for f in fens],
             ones),
    ]
    described = (f"{len(games)} games, {sum(plies)} plies; suite of {len(fens)} positions, "
                 f"{sum(moves)} legal moves")
    return cases, described


def fmt_ns(ns: float) -> str:
    return f"{ns:.0f} ns" if ns < 1e3 else f"{ns / 1e3:.3g} µs"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run")
    args = parser.parse_args()
    rounds = 3 if args.quick else 9
    target_ns = 20_000_000 if args.quick else 150_000_000

    cases, described = build_cases()
    print(f"orvex_chess SAN benchmark: {described}; {rounds} rounds, gc off", flush=True)
    gc.collect()
    gc.disable()
    try:
        for case in cases:
            case.calibrate(target_ns)
        for _ in range(rounds):
            for case in cases:
                case.run_round()
    finally:
        gc.enable()

    print(f"  {'operation':18s} {'implementation':14s} {'calls/round':>11s} {'median':>10s} "
          f"{'min':>10s} {'python-chess / orvex':>21s}")
    for ours, theirs in zip(cases[::2], cases[1::2]):
        for case in (ours, theirs):
            median = case.per_call(statistics.median)
            ratio = theirs.per_call(statistics.median) / ours.per_call(statistics.median)
            print(f"  {case.op if case is ours else '':18s} {case.impl:14s} "
                  f"{case.k * sum(case.calls):11d} {fmt_ns(median):>10s} "
                  f"{fmt_ns(case.per_call(min)):>10s} "
                  f"{f'{ratio:.0f}x' if case is theirs else '':>21s}")


if __name__ == "__main__":
    main()
