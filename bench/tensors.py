"""Speed of the arrays for learning: planes and legal-move indices and masks,
orvex_chess against python-chess and fastchess, in one run.

Run from the repository root, with numpy and the benchmark extras installed:

    pip install . && pip install ".[bench]"
    python bench/tensors.py            # about 40 seconds
    python bench/tensors.py --quick    # about 5 seconds
    python bench/tensors.py --many-only   # only the many-position tables

Every row times one call on each position of the benchmark suite
(bench/suite.py). The loop is compiled with the call inline, the same shape
for every row; rounds are interleaved over all rows, and each position's
median over the rounds is summed and divided by the calls ("median"; "min"
takes each position's fastest round). "÷ orvex" divides a row's median by the
first orvex row of the same operation: above 1 means orvex is faster.

The rows:
- planes: ``board.planes()`` (a new (12, 8, 8) uint8 array), the same into a
  numpy array with ``out=``, and with ``mirror=True``; fastchess
  ``to_tensor()`` ((18, 8, 8) float32, the fastest native peer); python-chess's
  fastest bit trick: the twelve bitboards read from ``occupied_co`` and the
  piece sets, put in a uint64 array and expanded by ``numpy.unpackbits``.
- legal indices ("az"): ``generator.legal_indices(board, "az")``; each peer's
  legal moves looked up in a dict from move text to id.
- legal mask ("az"): ``generator.legal_mask(board, "az")`` and with ``out=``;
  each peer's ids written into a preallocated numpy bool array.

A second table times every many-position form (``planes_many``,
``bitboards_many``, ``states_many``, ``zobrist_many``, ``mask_many`` in both
encodings, ``indices_many``, ``outcomes_many``, ``many``; new arrays and
``out=``) on 10,000 positions per call (the suite 40 times over, as in
bench/batch.py; ``--positions N`` changes it), as boards and as FEN strings,
at threads=1 and threads=2, against the loop of one-board calls each replaces
(boards only). Each round runs every variant once, in turn; the table gives
the median round per position, the loop's median over threads=1's ("loop ÷
t=1"), the gain of the second thread ("t=1 ÷ t=2", the aim is 1.7x or more)
and the process's CPU time at two threads over one ("CPU t=2 ÷ t=1": the work
the second thread adds; on a machine busy with other work the wall-clock
gain drops and scatters, this stays). A third table divides each new array's
time by the same call's into a touched ``out=`` array.
No time is asserted anywhere: this prints, it does not judge.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import os
import statistics
import sys
from pathlib import Path
from time import perf_counter_ns, process_time_ns

# numpy's BLAS threads wait in busy loops now and then: kept out of the CPU
# time this measures (this script does no linear algebra).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import chess  # noqa: E402
import numpy as np  # noqa: E402

import orvex_chess  # noqa: E402
import suite as suite_mod  # noqa: E402
from timing import make_loop  # noqa: E402


class Row:
    def __init__(self, op: str, impl: str, unpack: str, body: str, items: list, env: dict):
        self.op, self.impl, self.items = op, impl, items
        self.loop = make_loop(unpack, body, env)
        self.k = 1
        self.rounds: list[list[float]] = []

    def calibrate(self, target_ns: float) -> None:
        self.loop(self.items, 1, perf_counter_ns)
        once = sum(self.loop(self.items, 1, perf_counter_ns))
        self.k = max(1, round(target_ns / max(once, 1)))

    def run_round(self) -> None:
        self.rounds.append([t / self.k for t in self.loop(self.items, self.k, perf_counter_ns)])

    def median_ns(self) -> float:
        n = len(self.items)
        return sum(statistics.median(r[i] for r in self.rounds) for i in range(n)) / n

    def min_ns(self) -> float:
        n = len(self.items)
        return sum(min(r[i] for r in self.rounds) for i in range(n)) / n


def pc_planes(board: chess.Board) -> np.ndarray:
    white, black = board.occupied_co
    kinds = (board.pawns, board.knights, board.bishops, board.rooks, board.queens, board.kings)
    bits = np.array([k & white for k in kinds] + [k & black for k in kinds], dtype=np.uint64)
    return np.unpackbits(bits.view(np.uint8), bitorder="little").reshape(12, 8, 8)


def load(name: str):
    try:
        return __import__(name)
    except ImportError:
        print(f"{name}: not installed, skipped (pip install '.[bench]')")
        return None


def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def time_calls(call, repeats: int) -> float:
    """Times repeats calls in a row, in ns per call; the collector is off meanwhile."""
    gc.disable()
    start = perf_counter_ns()
    for _ in range(repeats):
        call()
    elapsed = perf_counter_ns() - start
    gc.enable()
    return elapsed / repeats


def time_calls_cpu(call, repeats: int) -> tuple[float, float]:
    """Like time_calls, and the process's CPU time (all its threads) per call too."""
    gc.disable()
    start, cpu = perf_counter_ns(), process_time_ns()
    for _ in range(repeats):
        call()
    elapsed, cpu = perf_counter_ns() - start, process_time_ns() - cpu
    gc.enable()
    return elapsed / repeats, cpu / repeats


def many_table(generator, positions: list, count: int, quick: bool) -> None:
    """Times the many-position forms at one and two threads against the loops
    of one-board calls they replace, rounds interleaved over every variant."""
    fens = [" ".join(p.fen.split()[:4]) for p in positions] * max(1, count // len(positions))
    boards = [orvex_chess.Board(f) for f in fens]
    n = len(fens)
    planes = np.zeros((n, 12, 8, 8), dtype=np.uint8)
    masks = np.zeros((n, 4672), dtype=bool)
    lc0_masks = np.zeros((n, 1858), dtype=bool)
    bits = np.zeros((n, 12), dtype=np.uint64)
    keys = np.zeros(n, dtype=np.uint64)
    g = generator

    def planes_loop():
        for i, b in enumerate(boards):
            b.planes(out=planes[i])

    def mask_loop():
        for i, b in enumerate(boards):
            g.legal_mask(b, "az", out=masks[i])

    def bitboards_loop():
        for i, b in enumerate(boards):
            b.bitboards(out=bits[i])

    ops = {
        "planes_many(out=)": (lambda p, t: g.planes_many(p, out=planes, threads=t), planes_loop),
        "planes_many()": (lambda p, t: g.planes_many(p, threads=t), lambda: [b.planes() for b in boards]),
        "bitboards_many(out=)": (lambda p, t: g.bitboards_many(p, out=bits, threads=t), bitboards_loop),
        "bitboards_many()": (lambda p, t: g.bitboards_many(p, threads=t),
                             lambda: [b.bitboards() for b in boards]),
        "states_many()": (lambda p, t: g.states_many(p, threads=t), None),
        "zobrist_many(out=)": (lambda p, t: g.zobrist_many(p, out=keys, threads=t), None),
        "zobrist_many()": (lambda p, t: g.zobrist_many(p, threads=t),
                           lambda: [b.zobrist() for b in boards]),
        "mask_many('az', out=)": (lambda p, t: g.mask_many(p, "az", out=masks, threads=t), mask_loop),
        "mask_many('az')": (lambda p, t: g.mask_many(p, "az", threads=t),
                            lambda: [g.legal_mask(b, "az") for b in boards]),
        "mask_many('lc0', out=)": (lambda p, t: g.mask_many(p, "lc0", out=lc0_masks, threads=t), None),
        "mask_many('lc0')": (lambda p, t: g.mask_many(p, "lc0", threads=t), None),
        "indices_many('az')": (lambda p, t: g.indices_many(p, "az", threads=t),
                               lambda: [g.legal_indices(b, "az") for b in boards]),
        "outcomes_many()": (lambda p, t: g.outcomes_many(p, threads=t), lambda: [b.outcome() for b in boards]),
        "many()": (lambda p, t: g.many(p, threads=t), lambda: [g(b) for b in boards]),
    }
    variants = {}
    for op, (call, loop) in ops.items():
        for kind, items in (("boards", boards), ("FEN strings", fens)):
            if loop and kind == "boards":
                variants[(op, kind, "loop")] = loop
            for threads in (1, 2):
                variants[(op, kind, threads)] = (lambda c, i, t: lambda: c(i, t))(call, items, threads)
    rounds = 5 if quick else 21
    # Each timing repeats its call for about 5 ms.
    repeats = {key: max(1, round(5e6 / time_calls(call, 1))) for key, call in variants.items()}
    times: dict = {key: [] for key in variants}
    cpu: dict = {key: [] for key in variants}
    for _ in range(rounds):
        for key, call in variants.items():
            wall, used = time_calls_cpu(call, repeats[key])
            times[key].append(wall)
            cpu[key].append(used)
    per = {key: statistics.median(t) / n for key, t in times.items()}
    cpu_per = {key: statistics.median(t) / n for key, t in cpu.items()}

    print()
    print(f"many positions: {n:,} per call ({len(positions)} suite positions, "
          f"{n // len(positions)} times over); {rounds} rounds; load average "
          f"{os.getloadavg()[0]:.2f}; median round, ns per position")
    print()
    print(f"| {'call':23} | {'positions':11} | {'loop':>8} | {'t=1':>8} | {'t=2':>8} | loop ÷ t=1 | "
          f"t=1 ÷ t=2 | CPU t=2 ÷ t=1 |")
    print(f"|{'-' * 25}|{'-' * 13}|{'-' * 10}|{'-' * 10}|{'-' * 10}|------------|-----------|"
          f"---------------|")
    for op in ops:
        for kind in ("boards", "FEN strings"):
            loop = per.get((op, kind, "loop"))
            one, two = per[(op, kind, 1)], per[(op, kind, 2)]
            loop_text = f"{loop:8.0f}" if loop else f"{'':8}"
            over = f"{loop / one:9.2f}x" if loop else f"{'':10}"
            extra = cpu_per[(op, kind, 2)] / cpu_per[(op, kind, 1)]
            print(f"| {op:23} | {kind:11} | {loop_text} | {one:8.0f} | {two:8.0f} | {over} | "
                  f"{one / two:8.2f}x | {extra:12.2f}x |")

    print()
    print("new arrays against out= (boards): a new array's time over the same call's into a "
          "touched array of the caller")
    print()
    print("| call | t=1 | t=2 |")
    print("| --- | --- | --- |")
    for new, out in (("planes_many()", "planes_many(out=)"), ("bitboards_many()", "bitboards_many(out=)"),
                     ("zobrist_many()", "zobrist_many(out=)"), ("mask_many('az')", "mask_many('az', out=)"),
                     ("mask_many('lc0')", "mask_many('lc0', out=)")):
        ratios = [per[(new, "boards", t)] / per[(out, "boards", t)] for t in (1, 2)]
        print(f"| `{new}` | {ratios[0]:.2f}x | {ratios[1]:.2f}x |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds")
    parser.add_argument("--positions", type=int, default=10_000,
                        help="positions per call of the many-position forms (default 10000)")
    parser.add_argument("--many-only", action="store_true",
                        help="only the tables of the many-position forms")
    args = parser.parse_args()
    rounds, target_ns = (5, 2e7) if args.quick else (21, 5e7)
    if args.many_only:
        print(f"orvex_chess {version('orvex_chess')}, numpy {np.__version__}")
        many_table(orvex_chess.MoveGenerator(), suite_mod.build_suite(), args.positions, args.quick)
        return

    fastchess = load("fastchess")
    generator = orvex_chess.MoveGenerator()
    positions = suite_mod.build_suite()
    boards = [orvex_chess.Board(p.fen) for p in positions]

    # Move text to "az" id, one table per side to move, from our own indices.
    tables: dict[bool, dict[str, int]] = {True: {}, False: {}}
    for board in boards:
        table = tables[board.turn() == "white"]
        for move in generator(board):
            table[move] = board.move_index(move, "az")
    ours = [set(generator.legal_indices(b, "az").tolist()) for b in boards]

    env = {"generator": generator, "np": np, "pc_planes": pc_planes}
    planes_out = np.zeros((12, 8, 8), dtype=np.uint8)
    mask_out = np.zeros(4672, dtype=bool)
    env.update(planes_out=planes_out, mask_out=mask_out)
    rows = [
        Row("planes", "orvex planes()", "b", "b.planes()", boards, env),
        Row("planes", "orvex planes(out=)", "b", "b.planes(out=planes_out)", boards, env),
        Row("planes", "orvex planes(mirror=True, out=)", "b", "b.planes(mirror=True, out=planes_out)",
            boards, env),
        Row("planes", "python-chess bits + unpackbits", "b", "pc_planes(b)",
            [chess.Board(p.fen) for p in positions], env),
        Row("legal indices az", "orvex legal_indices", "b", "generator.legal_indices(b, 'az')",
            boards, env),
        Row("legal mask az", "orvex legal_mask", "b", "generator.legal_mask(b, 'az')", boards, env),
        Row("legal mask az", "orvex legal_mask(out=)", "b",
            "generator.legal_mask(b, 'az', out=mask_out)", boards, env),
    ]

    # The peers' legal moves, each with the position's table; a peer is timed
    # only on the positions where its moves give our ids.
    peers = {"python-chess": ([chess.Board(p.fen) for p in positions],
                              "[t[m.uci()] for m in b.legal_moves]")}
    if fastchess:
        rows.insert(3, Row("planes", "fastchess to_tensor()", "b", "b.to_tensor()",
                           [fastchess.Board(p.fen) for p in positions], env))
        peers["fastchess"] = ([fastchess.Board(p.fen) for p in positions],
                              "[t[m] for m in b.legal_moves_uci()]")
    notes = []
    for name, (objects, moves_expr) in peers.items():
        items = []
        for pos, obj, mine in zip(positions, objects, ours):
            table = tables[pos.fen.split()[1] == "w"]
            try:
                theirs = set(eval(moves_expr, {"b": obj, "t": table}))  # noqa: S307 - fixed text
            except KeyError:
                theirs = None
            if theirs == mine:
                items.append((obj, table))
        if len(items) < len(positions):
            notes.append(f"{name}: timed on {len(items)} of {len(positions)} positions "
                         "(its moves differ on the others)")
        rows.append(Row("legal indices az", f"{name} + dict", "b, t", moves_expr, items, env))
        rows.append(Row("legal mask az", f"{name} + dict + numpy", "b, t",
                        f"mask_out[:] = False; mask_out[{moves_expr}] = True", items, env))
    rows.sort(key=lambda r: ["planes", "legal indices az", "legal mask az"].index(r.op))

    gc.disable()
    for row in rows:
        row.calibrate(target_ns)
    for _ in range(rounds):
        for row in rows:
            row.run_round()
    gc.enable()

    print(f"orvex_chess {version('orvex_chess')}, python-chess {chess.__version__}, "
          f"fastchess {version('fastchess')}, numpy {np.__version__}")
    print(f"suite: {len(positions)} positions; {rounds} rounds; load average "
          f"{os.getloadavg()[0]:.2f}")
    for note in notes:
        print(note)
    print()
    print(f"| {'operation':17} | {'implementation':34} | {'median':>9} | {'min':>9} | ÷ orvex |")
    print(f"|{'-' * 19}|{'-' * 36}|{'-' * 11}|{'-' * 11}|---------|")
    reference: dict[str, float] = {}
    for row in rows:
        median = row.median_ns()
        reference.setdefault(row.op, median)
        print(f"| {row.op:17} | {row.impl:34} | {median:6.0f} ns | {row.min_ns():6.0f} ns | "
              f"{median / reference[row.op]:6.2f}x |")

    many_table(generator, positions, args.positions, args.quick)


if __name__ == "__main__":
    main()
