"""Speed of the whole dataset pipeline: PGN file in, Parquet rows out.

Run from the repository root (needs the dist extra: pip install ".[dist,bench]"):

    python bench/dataset.py              # 20,000 games of about 80 plies
    python bench/dataset.py --quick      # 2,000 games

orvex_tools.build_dataset runs on a LocalCluster of one worker process, then
of two, on the cached file of bench/pgn.py (seeded random games written by
python-chess). The same pipeline written with python-chess in a plain loop
(chess.pgn.read_game, the twelve piece masks, the state word, the lc0 ids of
the move and of the legal moves from a dict of move strings,
chess.polyglot.zobrist_hash, the same pyarrow table and Parquet writer) runs on
the first --pc-games games. Both use the lc0 encoding. The table gives
positions per second (the best of --rounds runs, timed from the call with the
cluster already up), the ratios, and the peak resident memory of each worker
process and of the driver. No time is asserted: this prints, it does not judge.
"""

from __future__ import annotations

import argparse
import io
import logging
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tests" / "python"))

import chess  # noqa: E402
import chess.pgn  # noqa: E402
import chess.polyglot  # noqa: E402
import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

from orvex_tools import build_dataset  # noqa: E402
from orvex_tools.dataset import dataset_schema  # noqa: E402
from pgn import corpus  # noqa: E402  (bench/pgn.py: the cached random games)

LC0 = {move: index for index, move in
       enumerate((REPO / "src" / "encoding" / "lc0_policy_1858.txt").read_text().split())}


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def time_orvex(path: Path, workers: int, rounds: int, compression: str = "zstd",
               client: Client | None = None) -> tuple[float, int, list[float], list[float], int]:
    """Best seconds of build_dataset, positions, each worker's CPU seconds in
    that round, each worker's peak memory (MiB) and the bytes written."""
    if client is None:
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
                Client(cluster) as own:
            return time_orvex(path, workers, rounds, compression, own)
    best = float("inf")
    positions = written = 0
    best_cpu: list[float] = []
    for _ in range(rounds):
        out = Path(tempfile.mkdtemp(prefix="orvex-bench-"))
        before = client.run(cpu_seconds)
        try:
            summary = build_dataset([path], out, client=client, encoding="lc0", progress=False,
                                    compression=compression)
            written = sum(f.stat().st_size for f in out.glob("part-*.parquet"))
        finally:
            shutil.rmtree(out, ignore_errors=True)
        after = client.run(cpu_seconds)
        if summary.seconds < best:
            best = summary.seconds
            best_cpu = sorted(after[w] - before[w] for w in before)
        positions = summary.positions
    memory = sorted(client.run(peak_rss_mib).values())
    return best, positions, best_cpu, memory, written


def lc0_id(board: chess.Board, move: chess.Move) -> int:
    if board.is_castling(move):
        rook_file = 7 if board.is_kingside_castling(move) else 0
        move = chess.Move(move.from_square, chess.square(rook_file, chess.square_rank(move.from_square)))
    if move.promotion == chess.KNIGHT:
        move = chess.Move(move.from_square, move.to_square)
    if board.turn == chess.BLACK:
        move = chess.Move(chess.square_mirror(move.from_square), chess.square_mirror(move.to_square),
                          move.promotion)
    return LC0[move.uci()]


def state_word(board: chess.Board) -> int:
    state = int(board.turn == chess.WHITE)
    for bit, square in [(1, chess.H1), (2, chess.A1), (3, chess.H8), (4, chess.A8)]:
        if board.castling_rights & chess.BB_SQUARES[square]:
            state |= 1 << bit
    if board.ep_square is not None:
        state |= 1 << ((5 if board.turn == chess.WHITE else 13) + chess.square_file(board.ep_square))
    return state


def time_python_chess(path: Path, limit: int, out: Path) -> tuple[float, int]:
    """Seconds and positions of the python-chess pipeline on the first limit games."""
    start = time.perf_counter()
    columns: dict[str, list] = {name: [] for name in dataset_schema().names}
    with open(path, encoding="utf-8") as text:
        for index in range(limit):
            game = chess.pgn.read_game(text)
            if game is None:
                break
            board = game.board()
            result = game.headers.get("Result", "*")
            for ply, move in enumerate(game.mainline_moves()):
                columns["file"].append(str(path))
                columns["game"].append(index)
                columns["ply"].append(ply)
                columns["bitboards"].append([board.pieces_mask(kind, color)
                                             for color in (chess.WHITE, chess.BLACK)
                                             for kind in chess.PIECE_TYPES])
                columns["state"].append(state_word(board))
                columns["side"].append("white" if board.turn else "black")
                columns["move"].append(move.uci())
                columns["move_id"].append(lc0_id(board, move))
                columns["legal_ids"].append([lc0_id(board, m) for m in board.legal_moves])
                columns["zobrist"].append(chess.polyglot.zobrist_hash(board))
                columns["result"].append(result)
                board.push(move)
    schema = dataset_schema()
    table = pa.table({name: pa.array(values, schema.field(name).type)
                      for name, values in columns.items()}, schema=schema)
    pq.write_table(table, out / "part-00000.parquet", compression="zstd")
    return time.perf_counter() - start, table.num_rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2,000 games instead of 20,000")
    parser.add_argument("--rounds", type=int, default=2, help="runs per cluster size (best is kept)")
    parser.add_argument("--pc-games", type=int, default=300,
                        help="games of the python-chess pipeline (default 300)")
    args = parser.parse_args()
    games = 2_000 if args.quick else 20_000
    path = corpus(games, 80, seed=2024)
    print(f"{path.name}: {games} games, {path.stat().st_size / 1e6:.1f} MB")

    rows = []
    one = one_cpu = None
    for workers in (1, 2):
        seconds, positions, cpu, memory, _ = time_orvex(path, workers, args.rounds)
        speed = positions / seconds
        one = one or speed
        one_cpu = one_cpu or cpu[0]
        rows.append((f"build_dataset, {workers} worker{'s' if workers > 1 else ''}", positions,
                     seconds, speed, f"{speed / one:.2f}x",
                     " + ".join(f"{c:.2f}" for c in cpu), f"{one_cpu / max(cpu):.2f}x",
                     ", ".join(f"{m:.0f}" for m in memory)))
    with tempfile.TemporaryDirectory() as out:
        start_cpu = cpu_seconds()
        seconds, positions = time_python_chess(path, args.pc_games, Path(out))
        pc_cpu = cpu_seconds() - start_cpu
    pc_speed = positions / seconds
    rows.append((f"python-chess loop, {args.pc_games} games", positions, seconds, pc_speed, "",
                 f"{pc_cpu:.2f}", "", f"{peak_rss_mib():.0f} (driver)"))

    print("\n| pipeline | positions | seconds | positions/s | x 1 worker | x python-chess "
          "| CPU seconds per worker | x 1 worker by busiest worker's CPU "
          "| peak memory per worker (MiB) |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
    for name, positions, seconds, speed, scale, cpu_text, cpu_scale, memory in rows:
        print(f"| {name} | {positions:,} | {seconds:.2f} | {speed:,.0f} | {scale} | "
              f"{speed / pc_speed:.0f}x | {cpu_text} | {cpu_scale} | {memory} |")
    print("\nThe CPU column shows what the run would give with a core per worker: on a "
          "machine shared with other work the wall-clock ratio falls below it.")

    # What each Parquet compression costs and saves, on one worker.
    print("\n| compression | positions/s, 1 worker | x zstd | output | bytes per position |")
    print("| --- | --- | --- | --- | --- |")
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        zstd_speed = None
        for compression in ("zstd", "lz4", "snappy", "none"):
            seconds, positions, _, _, written = time_orvex(path, 1, args.rounds, compression, client)
            speed = positions / seconds
            zstd_speed = zstd_speed or speed
            print(f"| {compression} | {speed:,.0f} | {speed / zstd_speed:.2f}x | "
                  f"{written / 1e6:.1f} MB | {written / positions:.1f} |")

if __name__ == "__main__":
    main()
