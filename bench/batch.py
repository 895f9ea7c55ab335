"""Speed of the batch calls, side by side with what they replace, in one run.

    python bench/batch.py            # full run, a few minutes
    python bench/batch.py --quick    # short run

Three tables, every figure a ratio to the row it replaces:

1. ``generator.many(boards)`` on 10,000 boards of the benchmark suite (its 250
   positions, 40 times over) against ``[generator(b) for b in boards]``, at
   threads=1 and threads=2, beside the floor: copying the same result lists;
2. ``generator.many(fens)`` on the same 10,000 positions as FEN strings against
   ``[generator(Board(f)) for f in fens]``, at threads=1 and threads=2;
3. ``generator.perft(board, depth)`` on the six standard positions at threads=1
   and threads=2 against the C++ core alone (bench/perft.cpp, built as
   bench/cpp_perft.py builds it) and Stockfish's ``go perft``.

Each round runs every variant of a table once, in turn, so that load from
elsewhere falls on all of them alike; the tables show the fastest round and
the median round of each variant. The garbage collector is off while timing.
No time is ever asserted: this prints, it does not judge.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import orvex_chess  # noqa: E402

import cpp_perft  # noqa: E402
import suite as suite_mod  # noqa: E402

POSITIONS = 10_000


def log(*args) -> None:
    print(*args, flush=True)


def timed(call) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        call()
        return time.perf_counter() - start
    finally:
        gc.enable()


def rounds(variants: dict, count: int) -> dict:
    """Runs each variant once per round, in turn; returns its times in seconds."""
    times: dict = {name: [] for name in variants}
    for _ in range(count):
        for name, call in variants.items():
            times[name].append(timed(call))
    return times


def _fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


def table(title: str, times: dict, per: int, baseline: str) -> dict:
    """Prints the times per item of each variant and its speed-up over baseline."""
    log(title)
    log(f"  {'variant':42s} {'min/item':>10s} {'median/item':>12s} {'x baseline':>11s} "
        f"{'x threads=1':>12s}")
    best = {name: min(t) for name, t in times.items()}
    median = {name: statistics.median(t) for name, t in times.items()}
    threads1 = next((n for n in times if "threads=1" in n), None)
    rows = {}
    for name in times:
        over_base = median[baseline] / median[name]
        over_one = median[threads1] / median[name] if threads1 and "threads=" in name else None
        rows[name] = {"min": best[name], "median": median[name], "speedup": over_base,
                      "over_threads1": over_one}
        log(f"  {name:42s} {_fmt_time(best[name] / per):>10s} {_fmt_time(median[name] / per):>12s} "
            f"{over_base:10.2f}x {'' if over_one is None else f'{over_one:11.2f}x':>12s}")
    log("  (speed-ups from the median rounds)")
    return rows


def bench_many(quick: bool) -> dict:
    fens = [" ".join(p.fen.split()[:4]) for p in suite_mod.build_suite()]
    fens = (fens * (POSITIONS // len(fens) + 1))[:POSITIONS]
    boards = [orvex_chess.Board(f) for f in fens]
    generator = orvex_chess.MoveGenerator()
    Board = orvex_chess.Board
    assert generator.many(boards) == [generator(b) for b in boards]
    assert generator.many(fens) == [generator(Board(f)) for f in fens]
    count = 5 if quick else 15
    # The same lists of strings, only copied: what the calling thread must do
    # itself, holding the lock, whatever the number of threads.
    move_tuples = [tuple(generator(b)) for b in boards]
    results = {}
    results["boards"] = table(
        f"many() on {len(boards):,} boards of the benchmark suite ({count} rounds)",
        rounds({
            "[generator(b) for b in boards]": lambda: [generator(b) for b in boards],
            "generator.many(boards, threads=1)": lambda: generator.many(boards, threads=1),
            "generator.many(boards, threads=2)": lambda: generator.many(boards, threads=2),
            "floor: [list(t) for t in move_tuples]": lambda: [list(t) for t in move_tuples],
        }, count),
        len(boards), "[generator(b) for b in boards]")
    log("  the floor only makes and frees the same result lists, which the calling thread must do\n"
        "  holding the lock: no thread count takes many() below it")
    results["fens"] = table(
        f"many() on {len(fens):,} FEN strings of the benchmark suite ({count} rounds)",
        rounds({
            "[generator(Board(f)) for f in fens]": lambda: [generator(Board(f)) for f in fens],
            "generator.many(fens, threads=1)": lambda: generator.many(fens, threads=1),
            "generator.many(fens, threads=2)": lambda: generator.many(fens, threads=2),
        }, count),
        len(fens), "[generator(Board(f)) for f in fens]")
    return results


def bench_perft(quick: bool) -> dict:
    log("perft() against the C++ core (bench/perft.cpp) and Stockfish's go perft "
        "(fastest of the rounds, Mnps = million leaves per second)")
    ok, why = cpp_perft.build(log)
    if not ok:
        log(f"  C++ benchmark skipped: {why}")
    sf_path = cpp_perft.find_stockfish()
    sf = cpp_perft.Stockfish(sf_path) if sf_path else None
    if not sf:
        log("  stockfish not found: its column is skipped")
    generator = orvex_chess.MoveGenerator()
    repeats = 1 if quick else 3
    log(f"  {'position':10s} {'depth':>5s} {'nodes':>11s}  {'core':>6s} {'t=1':>6s} {'t=2':>6s} "
        f"{'sf':>6s}  {'core/t=1':>8s} {'t=2/t=1':>8s} {'t=1/sf':>7s} {'t=2/sf':>7s}")
    rows = []
    totals = {"nodes": 0, "core": 0.0, "t1": 0.0, "t2": 0.0, "sf": 0.0}
    try:
        for name, fen, depth in cpp_perft.POSITIONS:
            depth = depth - 1 if quick else depth
            board = orvex_chess.Board(fen)
            runs: dict = {"core": [], "t1": [], "t2": [], "sf": []}
            nodes = None
            for _ in range(repeats):
                if ok:
                    core = cpp_perft.run_orvex(fen, depth)
                    runs["core"].append(core["seconds"])
                    nodes = core["nodes"]
                for key, threads in (("t1", 1), ("t2", 2)):
                    start = time.perf_counter()
                    counted = generator.perft(board, depth, threads=threads)
                    runs[key].append(time.perf_counter() - start)
                    assert nodes is None or counted == nodes, (name, counted, nodes)
                    nodes = counted
                if sf:
                    result = sf.perft(fen, depth)
                    runs["sf"].append(result["seconds"])
                    assert result["nodes"] == nodes, (name, result["nodes"], nodes)
            best = {k: min(v) if v else None for k, v in runs.items()}
            rows.append({"name": name, "depth": depth, "nodes": nodes, **best})
            totals["nodes"] += nodes
            for k in ("core", "t1", "t2", "sf"):
                totals[k] += best[k] or 0.0
            log(_perft_line(name, depth, nodes, best))
    finally:
        if sf:
            sf.close()
    total = {k: (totals[k] or None) for k in ("core", "t1", "t2", "sf")}
    log(_perft_line("total", None, totals["nodes"], total))
    log("  core/t=1 above 1 means perft(threads=1) is slower than the core alone; "
        "t=2/t=1 is the speed-up of a second thread")
    return {"positions": rows, "total": {"nodes": totals["nodes"], **total}}


def _perft_line(name: str, depth: int | None, nodes: int, seconds: dict) -> str:
    def mnps(key):
        s = seconds.get(key)
        return f"{nodes / s / 1e6:6.1f}" if s else f"{'-':>6s}"

    def ratio(a, b):
        sa, sb = seconds.get(a), seconds.get(b)
        return f"{sa / sb:.2f}" if sa and sb else "-"

    return (f"  {name:10s} {'' if depth is None else depth:>5} {nodes:11d}  {mnps('core')} "
            f"{mnps('t1')} {mnps('t2')} {mnps('sf')}  {ratio('t1', 'core'):>8s} "
            f"{ratio('t1', 't2'):>8s} {ratio('sf', 't1'):>7s} {ratio('sf', 't2'):>7s}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, one ply less of perft")
    args = parser.parse_args()
    log(f"orvex_chess batch calls; {os.cpu_count()} processors, "
        f"{len(os.sched_getaffinity(0))} available, load average "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    bench_many(args.quick)
    log("")
    bench_perft(args.quick)


if __name__ == "__main__":
    main()
