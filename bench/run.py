"""Speed of orvex_chess against python-chess, native peers and a floor.

Run from the repository root:

    python bench/run.py            # full run, a few minutes at most
    python bench/run.py --quick    # short run

Everything is measured in one process on one machine, with the garbage
collector off while timing. Each measurement is repeated over several rounds;
a round calls the operation k times on every position (k chosen so a round
takes a set time), timing each position apart. The table's "median" takes
each position's median over the rounds, adds them up and divides by the
number of calls; "min" does the same with each position's fastest round. A
burst of load from elsewhere that hits one position in one round thus leaves
the median alone. The per-round totals are kept in the JSON file too.
No time is ever asserted: this prints and records, it does not judge.

Results go to bench/results.json (bench/results-quick.json for --quick).
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from time import perf_counter_ns

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import chess  # noqa: E402

import orvex_chess  # noqa: E402
import suite as suite_mod  # noqa: E402
from timing import make_loop  # noqa: E402

PEERS = ("fastchess",)


def log(*args) -> None:
    print(*args, flush=True)


# --------------------------------------------------------------------------
# Timing


class Case:
    """One implementation of one operation, over a list of items."""

    def __init__(self, op: str, impl: str, loop, items: list, calls: list[int],
                 positions: list[int]):
        self.op, self.impl, self.loop = op, impl, loop
        self.items, self.calls, self.positions = items, calls, positions
        self.k = 1
        self.rounds: list[list[float]] = []  # per round: ns per repeat, per item

    def calibrate(self, target_ns: int) -> None:
        self.loop(self.items, 1, perf_counter_ns)  # warm-up
        once = sum(self.loop(self.items, 1, perf_counter_ns))
        self.k = max(1, round(target_ns / max(once, 1)))

    def run_round(self) -> None:
        ns = self.loop(self.items, self.k, perf_counter_ns)
        self.rounds.append([t / self.k for t in ns])

    def _index(self, subset: set[int] | None) -> list[int]:
        return [i for i, p in enumerate(self.positions) if subset is None or p in subset]

    def per_call(self, subset: set[int] | None = None) -> list[float]:
        """Nanoseconds per call of each whole round, over all items or a subset."""
        idx = self._index(subset)
        calls = sum(self.calls[i] for i in idx)
        return [sum(r[i] for i in idx) / calls for r in self.rounds] if calls else []

    def summary(self, subset: set[int] | None = None) -> dict:
        """Median and min per call.

        Each position's median (and min) over the rounds is taken first, then
        they are added up and divided by the number of calls: a burst of load
        that hits one position in one round then moves the figure not at all.
        """
        idx = self._index(subset)
        calls = sum(self.calls[i] for i in idx)
        med = sum(statistics.median(r[i] for r in self.rounds) for i in idx) / calls
        low = sum(min(r[i] for r in self.rounds) for i in idx) / calls
        whole = self.per_call(subset)
        return {"median_ns": med, "min_ns": low, "rounds_ns": whole,
                "median_of_round_totals_ns": statistics.median(whole),
                "min_of_round_totals_ns": min(whole)}


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"


def fmt_ratio(x: float | None) -> str:
    return "-" if x is None else (f"{x:.1f}x" if x >= 10 else f"{x:.2f}x")


# --------------------------------------------------------------------------
# The implementations


def python_chess_planes(board: chess.Board) -> list[list[bool]]:
    """The 12 x 64 piece planes (white P N B R Q K, then black), a1..h8."""
    planes = []
    for color in (chess.WHITE, chess.BLACK):
        for piece_type in chess.PIECE_TYPES:
            bits = format(board.pieces_mask(piece_type, color), "064b")[::-1]
            planes.append([c == "1" for c in bits])
    return planes


def perft_orvex(generate, board, depth: int) -> int:
    moves = generate(board)
    if depth <= 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft_orvex(generate, board, depth - 1)
        board.pop()
    return nodes


def perft_python_chess(board: chess.Board, depth: int) -> int:
    moves = list(board.legal_moves)
    if depth <= 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft_python_chess(board, depth - 1)
        board.pop()
    return nodes


def perft_fastchess(board, depth: int) -> int:
    # fastchess has no pop: copy, then push on the copy.
    moves = board.legal_moves_uci()
    if depth <= 1:
        return len(moves)
    nodes = 0
    for move in moves:
        child = board.copy()
        child.push_uci(move)
        nodes += perft_fastchess(child, depth - 1)
    return nodes


#: The game rules timed on every suite position and reported by kind.
RULE_OPS = ("outcome()", "is_checkmate()", "is_stalemate()")
#: outcome() on boards that hold the game that reached them.
PLAYED_OUTCOME = "outcome(), after play"


def played_board(board, moves: list[str], read=lambda m: m):
    """The board with the moves pushed one by one, so that it keeps their history."""
    for move in moves:
        board.push(read(move))
    return board


def load_peers() -> tuple[dict, dict]:
    peers, skipped = {}, {}
    for name in PEERS:
        try:
            peers[name] = __import__(name)
        except ImportError as e:
            skipped[name] = f"not installed ({e}); pip install '.[bench]'"
    return peers, skipped


def version_of(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def git_head() -> str:
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" (src/ has uncommitted changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


# --------------------------------------------------------------------------
# Checks done before timing: peers are timed only where they agree.


def move_sets(suite, generate, peers) -> dict:
    """Compares each implementation's move set with ours on every suite position."""
    ours = [generate(orvex_chess.Board(p.fen)) for p in suite]
    report = {}

    def compare(name, produce):
        agree, differ = set(), []
        for i, p in enumerate(suite):
            try:
                theirs = produce(p.fen)
            except Exception as e:  # a peer that refuses a position
                differ.append({"index": i, "fen": p.fen, "error": repr(e)})
                continue
            if set(theirs) == set(ours[i]) and len(theirs) == len(set(theirs)):
                agree.add(i)
            else:
                differ.append({"index": i, "fen": p.fen,
                               "missing": sorted(set(ours[i]) - set(theirs)),
                               "extra": sorted(set(theirs) - set(ours[i]))})
        report[name] = {"agree": agree, "differ": differ}

    compare("python-chess", lambda f: [m.uci() for m in chess.Board(f).legal_moves])
    if "fastchess" in peers:
        compare("fastchess", lambda f: peers["fastchess"].Board(f).legal_moves_uci())
    dup = [i for i, m in enumerate(ours) if len(m) != len(set(m))]
    return {"ours": ours, "peers": report, "orvex_duplicates": dup}


def other_checks(suite) -> dict:
    """Our fen(), bitboard() and reflect() against python-chess, for the record."""
    def four(fen):
        return " ".join(fen.split()[:4])

    fen_diff, planes_diff, reflect_diff = [], [], []
    for i, p in enumerate(suite):
        ob, cb = orvex_chess.Board(p.fen), chess.Board(p.fen)
        if four(ob.fen()) != four(cb.fen()):
            fen_diff.append(i)
        if ob.bitboard() != python_chess_planes(cb):
            planes_diff.append(i)
        ob.reflect()
        if four(ob.fen()) != four(cb.mirror().fen()):
            reflect_diff.append(i)
    return {"fen": fen_diff, "bitboard": planes_diff, "reflect": reflect_diff}


# --------------------------------------------------------------------------


def build_cases(suite, ours, agree, peers) -> list[Case]:
    n = len(suite)
    everyone = list(range(n))
    fens = [p.fen for p in suite]
    generate = orvex_chess.MoveGenerator()
    fc = peers.get("fastchess")
    env = {"generate": generate, "Board": orvex_chess.Board, "chess": chess,
           "planes": python_chess_planes, "fastchess": fc}
    cases: list[Case] = []

    def add(op, impl, unpack, body, items, positions, calls=None):
        if not items:  # a peer that agrees with us nowhere
            return
        cases.append(Case(op, impl, make_loop(unpack, body, env), items,
                          calls or [1] * len(items), positions))

    def where(name):
        return sorted(agree[name]) if name in agree else everyone

    # generator(board) and the floor
    add("generator(board)", "orvex", "b", "generate(b)",
        [orvex_chess.Board(f) for f in fens], everyone)
    add("generator(board)", "python-chess", "b", "[m.uci() for m in b.legal_moves]",
        [chess.Board(f) for f in fens], everyone)
    if fc:
        idx = where("fastchess")
        add("generator(board)", "fastchess", "b", "b.legal_moves_uci()",
            [fc.Board(fens[i]) for i in idx], idx)
    add("generator(board)", "floor: list(t)", "t", "list(t)", [tuple(m) for m in ours], everyone)

    # Board(fen)
    add("Board(fen)", "orvex", "f", "Board(f)", fens, everyone)
    add("Board(fen)", "python-chess", "f", "chess.Board(f)", fens, everyone)
    if fc:
        idx = where("fastchess")
        add("Board(fen)", "fastchess", "f", "fastchess.Board(f)", [fens[i] for i in idx], idx)

    # push/pop pair, over every legal move of every position
    calls = [len(m) for m in ours]
    add("push + pop", "orvex", "b, ms", "for m in ms:\n    b.push(m)\n    b.pop()",
        [(orvex_chess.Board(f), tuple(m)) for f, m in zip(fens, ours)], everyone, calls)
    add("push + pop", "python-chess", "b, ms", "for m in ms:\n    b.push_uci(m)\n    b.pop()",
        [(chess.Board(f), tuple(m)) for f, m in zip(fens, ours)], everyone, calls)

    # the game rules, on the suite's boards (from FEN: no history) and on
    # boards reached by playing their games' moves (history kept)
    for op in RULE_OPS:
        body = f"b.{op}"
        add(op, "orvex", "b", body, [orvex_chess.Board(f) for f in fens], everyone)
        add(op, "python-chess", "b", body, [chess.Board(f) for f in fens], everyone)
    played = suite_mod.played_games()
    add(PLAYED_OUTCOME, "orvex", "b", "b.outcome()",
        [played_board(orvex_chess.Board(), g) for g in played], list(range(len(played))))
    add(PLAYED_OUTCOME, "python-chess", "b", "b.outcome()",
        [played_board(chess.Board(), g, chess.Move.from_uci) for g in played],
        list(range(len(played))))

    # fen()
    add("fen()", "orvex", "b", "b.fen()", [orvex_chess.Board(f) for f in fens], everyone)
    add("fen()", "python-chess", "b", "b.fen()", [chess.Board(f) for f in fens], everyone)
    if fc:
        idx = where("fastchess")
        add("fen()", "fastchess", "b", "b.fen()", [fc.Board(fens[i]) for i in idx], idx)

    # copy()
    add("copy()", "orvex", "b", "b.copy()", [orvex_chess.Board(f) for f in fens], everyone)
    add("copy()", "python-chess", "b", "b.copy()", [chess.Board(f) for f in fens], everyone)
    if fc:
        idx = where("fastchess")
        add("copy()", "fastchess", "b", "b.copy()", [fc.Board(fens[i]) for i in idx], idx)

    # bitboard()
    add("bitboard()", "orvex", "b", "b.bitboard()", [orvex_chess.Board(f) for f in fens], everyone)
    add("bitboard()", "python-chess", "b", "planes(b)", [chess.Board(f) for f in fens], everyone)

    # reflect() (in place) against mirror() (a new board)
    add("reflect()", "orvex", "b", "b.reflect()", [orvex_chess.Board(f) for f in fens], everyone)
    add("reflect()", "python-chess", "b", "b.mirror()", [chess.Board(f) for f in fens], everyone)
    if fc:
        idx = where("fastchess")
        add("reflect()", "fastchess", "b", "b.mirror()", [fc.Board(fens[i]) for i in idx], idx)
    return cases


def time_cases(cases: list[Case], rounds: int, target_ns: int) -> float:
    t0 = time.perf_counter()
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
    return time.perf_counter() - t0


def report_cases(cases: list[Case]) -> tuple[list[dict], list[str]]:
    lines, rows = [], []
    by_op: dict[str, list[Case]] = {}
    for c in cases:
        by_op.setdefault(c.op, []).append(c)
    head = (f"  {'operation':18s} {'implementation':16s} {'positions':>9s} {'calls/round':>11s} "
            f"{'median':>10s} {'min':>10s} {'÷ orvex':>9s} {'orvex ÷ floor':>13s}")
    lines.append(head)
    for op, group in by_op.items():
        orvex = next(c for c in group if c.impl == "orvex")
        floor = next((c for c in group if c.impl.startswith("floor")), None)
        for c in group:
            s = c.summary()
            subset = set(c.positions)
            o = orvex.summary(subset)
            row = {"operation": op, "implementation": c.impl, "positions": len(subset),
                   "k": c.k, "calls_per_round": c.k * sum(c.calls), **s}
            ratio = floor_ratio = None
            if c is not orvex and not c.impl.startswith("floor"):
                ratio = s["median_ns"] / o["median_ns"]
                row["over_orvex"] = ratio
                row["over_orvex_min"] = s["min_ns"] / o["min_ns"]
            if c is orvex and floor is not None:
                f = floor.summary()
                floor_ratio = s["median_ns"] / f["median_ns"]
                row["orvex_over_floor"] = floor_ratio
                row["orvex_over_floor_min"] = s["min_ns"] / f["min_ns"]
            rows.append(row)
            lines.append(f"  {op if c is group[0] else '':18s} {c.impl:16s} {len(subset):9d} "
                         f"{c.k * sum(c.calls):11d} {fmt_ns(s['median_ns']):>10s} "
                         f"{fmt_ns(s['min_ns']):>10s} {fmt_ratio(ratio) if ratio else '':>9s} "
                         f"{fmt_ratio(floor_ratio) if floor_ratio else '':>13s}")
    return rows, lines


def report_by_kind(cases: list[Case], suite, op: str) -> tuple[dict, list[str]]:
    """One operation's median per call by kind of suite position, with the peers' ratios."""
    group = [c for c in cases if c.op == op]
    orvex = next(c for c in group if c.impl == "orvex")
    floor = next((c for c in group if c.impl.startswith("floor")), None)
    peers = [c for c in group if c is not orvex and c is not floor]
    lines = ["  " + f"{'kind':12s} {'n':>4s} {'orvex':>10s}" +
             "".join(f" {c.impl:>13s} {'÷ orvex':>8s}" for c in peers) +
             (f" {'floor':>9s} {'orvex ÷ floor':>13s}" if floor else "")]
    out = {}
    for kind in suite_mod.KINDS:
        members = {i for i, p in enumerate(suite) if p.kind == kind}
        o = orvex.summary(members)["median_ns"]
        cells, rec = [], {"positions": len(members), "orvex_median_ns": o}
        for c in peers:
            sub = members & set(c.positions)
            if not sub:
                cells.append(f" {'-':>13s} {'':>8s}")
                continue
            v = c.summary(sub)["median_ns"]
            ratio = v / orvex.summary(sub)["median_ns"]
            rec[c.impl] = {"median_ns": v, "over_orvex": ratio}
            cells.append(f" {fmt_ns(v):>13s} {fmt_ratio(ratio):>8s}")
        if floor:
            v = floor.summary(members)["median_ns"]
            rec["floor"] = {"median_ns": v, "orvex_over_floor": o / v}
            cells.append(f" {fmt_ns(v):>9s} {fmt_ratio(o / v):>13s}")
        out[kind] = rec
        lines.append(f"  {kind:12s} {len(members):4d} {fmt_ns(o):>10s}" + "".join(cells))
    return out, lines


def run_perft(peers: dict, rounds: int, depth: int) -> tuple[dict, list[str]]:
    generate = orvex_chess.MoveGenerator()
    impls = [("orvex", lambda f: orvex_chess.Board(f), lambda b: perft_orvex(generate, b, depth)),
             ("python-chess", chess.Board, lambda b: perft_python_chess(b, depth))]
    if "fastchess" in peers:
        impls.append(("fastchess*", peers["fastchess"].Board, lambda b: perft_fastchess(b, depth)))
    times = {name: {p: [] for p, _ in suite_mod.START_POSITIONS} for name, _, _ in impls}
    nodes = {name: {} for name, _, _ in impls}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for pname, fen in suite_mod.START_POSITIONS:
                for name, make, walk in impls:
                    board = make(fen)
                    t0 = perf_counter_ns()
                    n = walk(board)
                    times[name][pname].append(perf_counter_ns() - t0)
                    nodes[name][pname] = n
    finally:
        gc.enable()
    peer_names = [name for name, _, _ in impls[1:]]
    lines = ["  " + f"{'position':10s} {'nodes':>7s} {'orvex':>9s} {'leaves/s':>9s}" +
             "".join(f" {n:>12s} {'÷ orvex':>8s}" for n in peer_names)]
    out = {"depth": depth, "rounds": rounds, "positions": {}, "wrong_counts": []}
    totals = {name: [0] * rounds for name, _, _ in impls}
    for pname, _ in suite_mod.START_POSITIONS:
        expected = suite_mod.PERFT_COUNTS[pname][depth - 1]
        rec = {"expected_nodes": expected}
        for name, _, _ in impls:
            t = times[name][pname]
            rec[name] = {"nodes": nodes[name][pname], "median_ns": statistics.median(t),
                         "min_ns": min(t), "rounds_ns": t}
            for r in range(rounds):
                totals[name][r] += t[r]
            if nodes[name][pname] != expected:
                out["wrong_counts"].append(f"{name} {pname}: {nodes[name][pname]} != {expected}")
        o = rec["orvex"]["median_ns"]
        cells = "".join(f" {fmt_ns(rec[n]['median_ns']):>12s} {fmt_ratio(rec[n]['median_ns'] / o):>8s}"
                        for n in peer_names)
        lines.append(f"  {pname:10s} {expected:7d} {fmt_ns(o):>9s} "
                     f"{expected / o * 1e9 / 1e3:7.0f} k{cells}")
        out["positions"][pname] = rec
    all_nodes = sum(suite_mod.PERFT_COUNTS[p][depth - 1] for p, _ in suite_mod.START_POSITIONS)
    # as in the table above: the sum of each position's median over the rounds
    tot = {n: sum(out["positions"][p][n]["median_ns"] for p, _ in suite_mod.START_POSITIONS)
           for n in totals}
    out["total_round_ns"] = totals
    cells = "".join(f" {fmt_ns(tot[n]):>12s} {fmt_ratio(tot[n] / tot['orvex']):>8s}"
                    for n in peer_names)
    lines.append(f"  {'total':10s} {all_nodes:7d} {fmt_ns(tot['orvex']):>9s} "
                 f"{all_nodes / tot['orvex'] * 1e9 / 1e3:7.0f} k{cells}")
    out["total_median_ns"] = tot
    if "fastchess" in peers:
        lines.append("  * fastchess has no pop(): its walk copies the board and pushes on the copy")
    lines.append("  all node counts correct" if not out["wrong_counts"]
                 else "  WRONG NODE COUNTS: " + "; ".join(out["wrong_counts"]))
    return out, lines


_ONCE = """
def _run(items, pc, chunk):
    out = []
    for start in range(0, len(items), chunk):
        part = items[start:start + chunk]
        t0 = pc()
        for {unpack} in part:
{body}
        out.append(pc() - t0)
    return out
"""

# Positions timed together: small enough that a moment the process spends
# descheduled hits few chunks, large enough that reading the clock costs
# little per position.
CHUNK = 50


def once_loop(unpack: str, body: str, env: dict):
    """Compiles a loop that runs ``body`` once per item, in chunks of items.

    It returns the nanoseconds of each chunk.
    """
    namespace = dict(env)
    exec(_ONCE.format(unpack=unpack, body="\n".join("            " + line for line in body.splitlines())),
         namespace)  # noqa: S102 - our own fixed source text
    return namespace["_run"]


def run_distinct(peers: dict, rounds: int) -> tuple[dict, list[str]]:
    """Each of several thousand distinct positions generated (and judged) once per round.

    The suite rows above repeat each position k times in a row, which lets the
    branch predictor and the caches learn it; here every position comes once,
    in shuffled order, so those rows' flattery is gone. Peers are timed only
    on the positions where their move set is ours, and orvex again on the same
    positions for their ratio. outcome() is timed the same way, on every
    position and on the endgames among them.
    """
    fens = suite_mod.distinct_positions()
    generate = orvex_chess.MoveGenerator()
    fc = peers.get("fastchess")
    ours = [generate(orvex_chess.Board(f)) for f in fens]
    agree: dict[str, list[int]] = {}
    produce = {"python-chess": lambda f: [m.uci() for m in chess.Board(f).legal_moves]}
    if fc:
        produce["fastchess"] = lambda f: fc.Board(f).legal_moves_uci()
    for name, fn in produce.items():
        idx = []
        for i, f in enumerate(fens):
            try:
                theirs = fn(f)
            except Exception:  # a peer that refuses a position
                continue
            if set(theirs) == set(ours[i]) and len(theirs) == len(ours[i]):
                idx.append(i)
        agree[name] = idx
    everyone = list(range(len(fens)))
    env = {"generate": generate, "Board": orvex_chess.Board, "chess": chess,
           "fastchess": fc}
    # (operation, implementation, positions, loop, fresh items for a round)
    cases = []

    def add(op, impl, idx, unpack, body, items):
        cases.append({"op": op, "impl": impl, "idx": idx, "loop": once_loop(unpack, body, env),
                      "items": items, "chunks": []})

    def orvex_rows(idx, label):
        add("generator(board)", label, idx, "b", "generate(b)",
            lambda: [orvex_chess.Board(fens[i]) for i in idx])
        add("Board(fen)", label, idx, "f", "Board(f)", lambda: [fens[i] for i in idx])
        add("Board(fen) + generator", label, idx, "f", "generate(Board(f))",
            lambda: [fens[i] for i in idx])

    orvex_rows(everyone, "orvex")
    peer_rows = [
        ("python-chess", "b", "[m.uci() for m in b.legal_moves]", chess.Board, "chess.Board(f)",
         "[m.uci() for m in chess.Board(f).legal_moves]"),
    ]
    if fc:
        peer_rows.append(("fastchess", "b", "b.legal_moves_uci()", fc.Board, "fastchess.Board(f)",
                          "fastchess.Board(f).legal_moves_uci()"))
    for name, u1, b1, make, construct, b2 in peer_rows:
        idx = agree[name]
        if not idx:
            continue
        add("generator(board)", name, idx, u1, b1,
            lambda idx=idx, make=make: [make(fens[i]) for i in idx])
        add("Board(fen)", name, idx, "f", construct, lambda idx=idx: [fens[i] for i in idx])
        add("Board(fen) + generator", name, idx, "f", b2, lambda idx=idx: [fens[i] for i in idx])
        if len(idx) != len(fens):
            orvex_rows(idx, f"orvex on {name}'s")
    add("generator(board)", "floor: list(t)", everyone, "t", "list(t)",
        lambda: [tuple(m) for m in ours])
    # outcome() on every position, and on those with at most six knights,
    # bishops, rooks and queens left
    endgame = [i for i, f in enumerate(fens) if suite_mod.is_endgame(chess.Board(f))]
    for op, idx in (("outcome()", everyone), ("outcome(), endgame", endgame)):
        add(op, "orvex", idx, "b", "b.outcome()",
            lambda idx=idx: [orvex_chess.Board(fens[i]) for i in idx])
        add(op, "python-chess", idx, "b", "b.outcome()",
            lambda idx=idx: [chess.Board(fens[i]) for i in idx])

    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for case in cases:
                items = case["items"]()  # fresh objects each round, built outside the timing
                case["chunks"].append(case["loop"](items, perf_counter_ns, CHUNK))
                del items
    finally:
        gc.enable()

    # As in the suite table: each chunk's median (and min) over the rounds,
    # added up and divided by the positions, so that a burst of load that hits
    # one chunk in one round moves the figure little.
    for c in cases:
        n, rounds_ = len(c["idx"]), c["chunks"]
        c["median"] = sum(statistics.median(r[i] for r in rounds_) for i in range(len(rounds_[0]))) / n
        c["min"] = sum(min(r[i] for r in rounds_) for i in range(len(rounds_[0]))) / n
        c["ns"] = [sum(r) / n for r in rounds_]

    def median(op, impl):
        c = next((c for c in cases if c["op"] == op and c["impl"] == impl), None)
        return c["median"] if c else None

    out = {"positions": len(fens), "seed": suite_mod.DISTINCT_SEED, "rounds": rounds,
           "agree": {n: len(i) for n, i in agree.items()}, "rows": []}
    lines = [f"  {'operation':24s} {'implementation':16s} {'positions':>9s} {'median':>10s} "
             f"{'min':>10s} {'÷ orvex':>9s} {'orvex ÷ floor':>13s}"]
    last_op = None
    for c in cases:
        if c["impl"].startswith("orvex on"):
            continue
        med, low = c["median"], c["min"]
        row = {"operation": c["op"], "implementation": c["impl"], "positions": len(c["idx"]),
               "median_ns": med, "min_ns": low, "rounds_ns": c["ns"]}
        ratio = floor_ratio = None
        if c["impl"] == "orvex":
            floor = median(c["op"], "floor: list(t)")
            if floor:
                floor_ratio = row["orvex_over_floor"] = med / floor
        elif not c["impl"].startswith("floor"):
            base = next(o["median"] for o in cases if o["op"] == c["op"] and o["idx"] == c["idx"]
                        and o["impl"].startswith("orvex"))
            ratio = row["over_orvex"] = med / base
        out["rows"].append(row)
        lines.append(f"  {c['op'] if c['op'] != last_op else '':24s} {c['impl']:16s} "
                     f"{len(c['idx']):9d} {fmt_ns(med):>10s} {fmt_ns(low):>10s} "
                     f"{fmt_ratio(ratio) if ratio else '':>9s} "
                     f"{fmt_ratio(floor_ratio) if floor_ratio else '':>13s}")
        last_op = c["op"]
    return out, lines


def run_rss(suite, calls: int) -> tuple[dict, str]:
    generate = orvex_chess.MoveGenerator()
    boards = [orvex_chess.Board(p.fen) for p in suite]
    per = calls // len(boards)
    for b in boards * 40:  # warm-up
        generate(b)
    gc.collect()
    before = rss_kib()
    t0 = time.perf_counter()
    for _ in range(per):
        for b in boards:
            generate(b)
    seconds = time.perf_counter() - t0
    gc.collect()
    after = rss_kib()
    done = per * len(boards)
    out = {"calls": done, "rss_before_kib": before, "rss_after_kib": after,
           "growth_kib": after - before, "seconds": seconds}
    return out, (f"  RSS {before / 1024:.1f} MiB before, {after / 1024:.1f} MiB after "
                 f"{done:,} generator calls: growth {after - before:+d} KiB ({seconds:.1f} s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run (about half a minute)")
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ perft part")
    parser.add_argument("--no-callgrind", action="store_true",
                        help="skip the instruction counts of the C++ perft (full run only)")
    parser.add_argument("--json", type=Path, default=None,
                        help="where to write results (default bench/results.json, "
                             "bench/results-quick.json with --quick)")
    args = parser.parse_args()
    quick = args.quick
    rounds = 5 if quick else 11
    target_ns = 15_000_000 if quick else 100_000_000
    perft_rounds = 2 if quick else 5
    distinct_rounds = 3 if quick else 9
    rss_calls = 1_000_000
    json_path = args.json or HERE / ("results-quick.json" if quick else "results.json")

    started = time.perf_counter()
    peers, skipped = load_peers()
    info = {
        "mode": "quick" if quick else "full",
        "python": sys.version.split()[0], "platform": platform.platform(),
        "cpus": os.cpu_count(), "load_before": os.getloadavg(),
        "orvex_chess": {"version": version_of("orvex_chess"), "file": orvex_chess.__file__,
                        "repo_head": git_head()},
        "python-chess": version_of("chess"),
        "peers": {n: version_of(n) for n in peers}, "skipped_peers": skipped,
    }
    log(f"orvex_chess benchmark ({info['mode']} run): Python {info['python']}, "
        f"{info['cpus']} CPUs, load average {' '.join(f'{x:.2f}' for x in info['load_before'])}")
    log(f"  orvex_chess {info['orvex_chess']['version']} from {orvex_chess.__file__} "
        f"(repo HEAD {info['orvex_chess']['repo_head']})")
    log("  python-chess " + info["python-chess"] + "".join(
        f", {n} {v}" for n, v in info["peers"].items()))
    for name, why in skipped.items():
        log(f"  skipping {name}: {why}")

    suite = suite_mod.build_suite()
    for line in suite_mod.describe(suite):
        log(line)

    generate = orvex_chess.MoveGenerator()
    sets = move_sets(suite, generate, peers)
    agree = {name: r["agree"] for name, r in sets["peers"].items()}
    log("move sets against orvex on the suite:")
    for name, r in sets["peers"].items():
        log(f"  {name:13s} same set on {len(r['agree'])}/{len(suite)} positions")
        for d in r["differ"][:10]:
            log(f"    differs at #{d['index']} {d['fen']}: " +
                (d["error"] if "error" in d else f"missing {d['missing']} extra {d['extra']}"))
        if len(r["differ"]) > 10:
            log(f"    ... and {len(r['differ']) - 10} more")
    if sets["orvex_duplicates"]:
        log(f"  orvex lists a move twice at positions {sets['orvex_duplicates']}")
    checks = other_checks(suite)
    log("  orvex against python-chess: fen() differs on %d, bitboard() on %d, "
        "reflect() vs mirror() on %d positions" %
        (len(checks["fen"]), len(checks["bitboard"]), len(checks["reflect"])))
    log("  peers are timed only on the positions where their move set is ours; "
        "'÷ orvex' compares over the same positions")

    cases = build_cases(suite, sets["ours"], agree, peers)
    log(f"\nPython API, time per call ({rounds} rounds, gc off; each position's median and "
        "min over the rounds, averaged over the calls):")
    seconds = time_cases(cases, rounds, target_ns)
    rows, lines = report_cases(cases)
    for line in lines:
        log(line)
    log(f"  ({seconds:.0f} s)")

    log("\ngenerator(board) by kind of position (median per call):")
    by_kind, lines = report_by_kind(cases, suite, "generator(board)")
    for line in lines:
        log(line)
    outcome_by_kind = {}
    for op in RULE_OPS:
        log(f"\n{op} by kind of position (median per call):")
        outcome_by_kind[op], lines = report_by_kind(cases, suite, op)
        for line in lines:
            log(line)

    log(f"\ndistinct positions, each once per round in shuffled order ({distinct_rounds} "
        f"rounds, gc off, timed in chunks of {CHUNK}; each chunk's median and min over the "
        "rounds, added up, per position):")
    t0 = time.perf_counter()
    distinct, lines = run_distinct(peers, distinct_rounds)
    for line in lines:
        log(line)
    log(f"  ({distinct['positions']} positions from seeded random games; "
        f"{time.perf_counter() - t0:.0f} s)")

    log(f"\nperft through the Python API, depth 3 ({perft_rounds} rounds, median time "
        "per position; leaves/s is orvex's):")
    t0 = time.perf_counter()
    perft, lines = run_perft(peers, perft_rounds, 3)
    for line in lines:
        log(line)
    log(f"  ({time.perf_counter() - t0:.0f} s)")

    log("\nmemory:")
    rss, line = run_rss(suite, rss_calls)
    log(line)

    cpp = None
    if not args.no_cpp:
        log("")
        import cpp_perft
        budget = 28 if quick else 170  # seconds for the whole run
        cpp = cpp_perft.run(quick=quick, log=log, deadline=started + budget)
        if not quick and not args.no_callgrind:
            log("")
            cpp["instructions_per_leaf"] = cpp_perft.instructions_per_leaf(log=log)

    info["load_after"] = os.getloadavg()
    info["seconds"] = time.perf_counter() - started
    results = {
        "info": info,
        "suite": {"seed": suite_mod.SEED, "positions": [
            {"fen": p.fen, "kind": p.kind, "origin": p.origin, "ply": p.ply,
             "features": sorted(p.features)} for p in suite]},
        "move_set_checks": {name: {"agree": len(r["agree"]), "differ": r["differ"]}
                            for name, r in sets["peers"].items()},
        "orvex_checks": checks,
        "python_api": rows,
        "generator_by_kind": by_kind,
        "rules_by_kind": outcome_by_kind,
        "distinct_positions": distinct,
        "perft_python_api": perft,
        "rss": rss,
        "cpp_perft": cpp,
    }
    json_path.write_text(json.dumps(results, indent=1, default=list) + "\n")
    log(f"\nload average after: {' '.join(f'{x:.2f}' for x in info['load_after'])}; "
        f"total {info['seconds']:.0f} s; results written to "
        f"{json_path.relative_to(REPO) if json_path.is_relative_to(REPO) else json_path}")


if __name__ == "__main__":
    main()
