"""Speed of training batches from a PGN file: orvex_tools.training_batches
against a python-chess + numpy loop that makes the same planes.

Run from the repository root:

    python bench/training.py            # 20,000 games of about 80 plies (bench/pgn.py's file)
    python bench/training.py --quick    # 2,000 games

orvex_tools.training_batches reads the cached file of bench/pgn.py (seeded
random games written by python-chess) in batches of 1024 positions, with
legal=None and file order (shuffle=0), for observation="bits" at 1 and 2
threads and "uint8" and "float32" at 2; the default shuffle buffer (100,000
positions) is timed too. The python-chess loop (chess.pgn.read_game, the bits
planes of tests/python/training_reference.py, the move's AlphaZero id, put in
numpy arrays) runs on the first --pc-games games. "numpy, same bytes" is
numpy filling float32 arrays of the float32 batches' size. The table gives
positions per second (the best of --rounds runs) and the ratios. No time is
asserted: this prints, it does not judge.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tests" / "python"))

import chess  # noqa: E402
import chess.pgn  # noqa: E402
import numpy as np  # noqa: E402

import orvex_chess  # noqa: E402
import orvex_tools  # noqa: E402
from pgn import corpus  # noqa: E402
from training_reference import game_planes  # noqa: E402

BATCH = 1024


def orvex_rate(path: Path, rounds: int, **options) -> tuple[float, int]:
    best = float("inf")
    positions = 0
    for _ in range(rounds):
        start = time.perf_counter()
        positions = 0
        for batch in orvex_tools.training_batches(path, batch_size=BATCH, legal=None, **options):
            positions += len(batch)
        best = min(best, time.perf_counter() - start)
    return positions / best, positions


def numpy_rate(positions: int, rounds: int) -> float:
    """numpy writing the bytes of float32 batches: one value per plane and square."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for done in range(0, positions, BATCH):
            out = np.empty((min(BATCH, positions - done), 8, 8, 119), np.float32)
            out.fill(1.0)
        best = min(best, time.perf_counter() - start)
    return positions / best


def python_chess_rate(path: Path, games: int) -> float:
    """The same rows with python-chess: bits planes, move ids and values, as numpy batches."""
    text = path.read_text(encoding="utf-8")
    start = time.perf_counter()
    handle = io.StringIO(text)
    planes: list[list[int]] = []
    ids: list[int] = []
    values: list[float] = []
    positions = 0
    for _ in range(games):
        game = chess.pgn.read_game(handle)
        if game is None:
            break
        if game.headers.get("Result") not in ("1-0", "0-1", "1/2-1/2"):
            continue
        white = {"1-0": 1.0, "0-1": -1.0}.get(game.headers["Result"], 0.0)
        moves = list(game.mainline_moves())
        board = game.board()
        for rows, move in zip(game_planes(board, moves), moves):
            planes.append(rows)
            ids.append(orvex_chess.Board(board.fen()).move_index(move.uci(), "az"))
            values.append(white if board.turn == chess.WHITE else -white)
            board.push(move)
        while len(planes) >= BATCH:
            np.array(planes[:BATCH], np.uint64), np.array(ids[:BATCH], np.int32), np.array(values[:BATCH], np.float32)
            del planes[:BATCH], ids[:BATCH], values[:BATCH]
            positions += BATCH
    positions += len(planes)
    np.array(planes, np.uint64)
    return positions / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=20_000)
    parser.add_argument("--plies", type=int, default=80)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pc-games", type=int, default=200, help="games the python-chess loop reads")
    parser.add_argument("--quick", action="store_true", help="2,000 games, 2 rounds")
    args = parser.parse_args()
    if args.quick:
        args.games, args.rounds, args.pc_games = 2_000, 2, 50
    path = corpus(args.games, args.plies, args.seed)
    print(f"cores available: {len(os.sched_getaffinity(0))}, load average: "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())}; {path.name}, "
          f"{path.stat().st_size / 2**20:.1f} MiB")
    bits2, positions = orvex_rate(path, args.rounds, observation="bits", threads=2, shuffle=0)
    bits1, _ = orvex_rate(path, args.rounds, observation="bits", threads=1, shuffle=0)
    shuffled, _ = orvex_rate(path, args.rounds, observation="bits", threads=2)
    uint8, _ = orvex_rate(path, args.rounds, observation="uint8", threads=2, shuffle=0)
    float32, _ = orvex_rate(path, args.rounds, observation="float32", threads=2, shuffle=0)
    written = numpy_rate(positions, args.rounds)
    pc = python_chess_rate(path, args.pc_games)
    rows = [
        ("bits, 2 threads", bits2, f"{bits2 / pc:.0f}x python-chess"),
        ("bits, 1 thread", bits1, f"2 threads {bits2 / bits1:.2f}x one"),
        ("bits, 2 threads, shuffle=100000", shuffled, f"{shuffled / bits2:.2f}x file order"),
        ("uint8, 2 threads", uint8, f"{uint8 / bits2:.2f}x bits"),
        ("float32, 2 threads", float32, f"{written / float32:.2f}x the time of numpy's writes"),
        ("numpy, same bytes as float32", written, ""),
        ("python-chess + numpy, bits", pc, ""),
    ]
    print(f"\n{positions:,} positions, batches of {BATCH}, legal=None\n")
    print(f"| {'':34} | {'positions/s':>12} | {'ratio':<32} |")
    print(f"|{'-' * 36}|{'-' * 14}|{'-' * 34}|")
    for name, rate, ratio in rows:
        print(f"| {name:34} | {rate:12,.0f} | {ratio:<32} |")


if __name__ == "__main__":
    main()
