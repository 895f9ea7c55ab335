"""Perft speed of the C++ core against Stockfish, in one run.

Builds bench/perft.cpp with CMake when needed, then for each standard perft
position runs ``orvex_perft_bench FEN DEPTH`` and Stockfish's ``go perft DEPTH``
one after the other (so that load on the machine falls on both alike) and
reports millions of leaf nodes per second for each, from wall-clock time and,
as a check on a busy machine, from the CPU time each process used (less, for
orvex, the CPU time of starting the benchmark process). Neither makes the moves
of the last level: Stockfish takes the length of its move list, orvex counts
the moves from its masks by population counts.

With ``--callgrind`` it also counts, under valgrind's callgrind, the
instructions each program executes per leaf node: a figure the load on a shared
machine does not move.

Usage: ``python bench/cpp_perft.py [--quick] [--repeats N] [--callgrind]`` (also
called by bench/run.py).
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
BUILD_DIR = REPO / "build" / "bench"
BINARY = BUILD_DIR / "bench" / "orvex_perft_bench"

# name, FEN, full depth (the quick run goes one ply less).
POSITIONS = [
    ("start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 6),
    ("kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", 5),
    ("position3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", 7),
    ("position4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -", 5),
    ("position5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -", 5),
    ("position6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -", 5),
]

_LINE = re.compile(r"depth\s+(\d+)\s+nodes\s+(\d+)\s+([\d.]+)\s+s")


def find_stockfish() -> str | None:
    if os.access("/usr/games/stockfish", os.X_OK):
        return "/usr/games/stockfish"
    return shutil.which("stockfish")


def build(log=print) -> tuple[bool, str]:
    """Configures (first time only) and builds the perft benchmark."""
    if shutil.which("cmake") is None:
        return False, "cmake not found"
    steps = []
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        steps.append(["cmake", "-S", str(REPO), "-B", str(BUILD_DIR),
                      "-DORVEX_BUILD_MODULE=OFF", "-DORVEX_BUILD_BENCH=ON",
                      "-DCMAKE_BUILD_TYPE=Release"])
    steps.append(["cmake", "--build", str(BUILD_DIR), "--target", "orvex_perft_bench",
                  "-j", str(os.cpu_count() or 1)])
    for cmd in steps:
        t0 = time.perf_counter()
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            tail = "\n".join((proc.stdout + proc.stderr).splitlines()[-20:])
            return False, f"{' '.join(cmd)} failed:\n{tail}"
        if "Building CXX" in proc.stdout or "Linking" in proc.stdout:
            log(f"  built orvex_perft_bench in {time.perf_counter() - t0:.1f} s")
    if not BINARY.exists():
        return False, f"{BINARY} missing after build"
    return True, ""


def _children_cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_orvex(fen: str, depth: int) -> dict:
    cpu0 = _children_cpu()
    t0 = time.perf_counter()
    proc = subprocess.run([str(BINARY), fen, str(depth)], capture_output=True, text=True)
    wall = time.perf_counter() - t0
    cpu = _children_cpu() - cpu0
    if proc.returncode != 0:
        raise RuntimeError(f"orvex_perft_bench failed: {proc.stderr.strip()}")
    for line in proc.stdout.splitlines():
        m = _LINE.search(line)
        if m and not line.startswith("total"):
            seconds = float(m.group(3))
            return {"nodes": int(m.group(2)), "seconds": seconds, "cpu_seconds": cpu,
                    "process_seconds": wall}
    raise RuntimeError(f"unexpected orvex_perft_bench output: {proc.stdout!r}")


class Stockfish:
    """A Stockfish process driven over UCI."""

    def __init__(self, path: str):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.name = ""
        self._send("uci")
        for line in self._lines_until("uciok"):
            if line.startswith("id name "):
                self.name = line[len("id name "):]
        self._send("isready")
        list(self._lines_until("readyok"))
        self._ticks = os.sysconf("SC_CLK_TCK")

    def _send(self, text: str) -> None:
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def _lines_until(self, prefix: str):
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("stockfish exited")
            line = line.strip()
            yield line
            if line.startswith(prefix):
                return

    def _cpu(self) -> float:
        try:  # nanoseconds on CPU of every thread
            total = 0
            for task in Path(f"/proc/{self.proc.pid}/task").iterdir():
                total += int((task / "schedstat").read_text().split()[0])
            return total / 1e9
        except (OSError, ValueError, IndexError):
            pass
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / self._ticks

    def perft(self, fen: str, depth: int) -> dict:
        self._send(f"position fen {fen} 0 1")
        self._send("isready")
        list(self._lines_until("readyok"))
        cpu0 = self._cpu()
        t0 = time.perf_counter()
        self._send(f"go perft {depth}")
        nodes = None
        for line in self._lines_until("Nodes searched"):
            if line.startswith("Nodes searched"):
                nodes = int(line.split(":")[1])
        seconds = time.perf_counter() - t0
        return {"nodes": nodes, "seconds": seconds, "cpu_seconds": self._cpu() - cpu0}

    def close(self) -> None:
        try:
            self._send("quit")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def _mnps(nodes: int, seconds: float) -> float | None:
    return nodes / seconds / 1e6 if seconds > 0 else None


def _fmt(x: float | None, spec: str = "8.1f") -> str:
    return format(x, spec) if x is not None else format("-", ">" + spec.split(".")[0])


def run(quick: bool = False, repeats: int | None = None, log=print,
        deadline: float | None = None) -> dict:
    """Builds, runs both programs and prints the table; returns the results.

    Each position is run ``repeats`` times by each program, alternating, and
    the fastest run of each is kept (wall clock; CPU time is that run's). A
    repeat that would likely end after ``deadline`` (a time.perf_counter()
    value) is left out, so a busy machine does not stretch the run.
    """
    if repeats is None:
        repeats = 1 if quick else 2
    result: dict = {"positions": [], "skipped": [], "repeats": repeats}
    log(f"C++ perft (core alone) against Stockfish, leaf nodes per second "
        f"(fastest of {repeats} run{'s' if repeats > 1 else ''} each)")
    ok, why = build(log)
    if not ok:
        log(f"  skipped: {why}")
        result["skipped"].append(f"orvex: {why}")
        return result
    sf_path = find_stockfish()
    sf = None
    if sf_path is None:
        log("  stockfish not found (/usr/games/stockfish or on PATH): its columns are skipped")
        result["skipped"].append("stockfish: not found")
    else:
        sf = Stockfish(sf_path)
        result["stockfish"] = {"path": sf_path, "name": sf.name}
    log(f"  orvex: {BINARY.relative_to(REPO)}; stockfish: "
        f"{sf.name + ' (' + sf_path + ')' if sf else 'n/a'}")
    # CPU time of starting the benchmark process (tables, FEN) without a search:
    # taken off each run's CPU time so that short runs are not under-rated.
    startup_cpu = min(run_orvex(POSITIONS[0][1], 1)["cpu_seconds"] for _ in range(3))
    result["orvex_startup_cpu_seconds"] = startup_cpu
    header = (f"  {'position':10s} {'depth':>5s} {'nodes':>12s}  {'orvex s':>8s} "
              f"{'orvex Mnps':>10s}  {'sf s':>7s} {'sf Mnps':>8s}  {'orvex/sf':>8s}  "
              f"{'cpu: orvex':>10s} {'sf':>7s} {'ratio':>6s}")
    log(header)
    totals = {"nodes": 0, "o_s": 0.0, "o_cpu": 0.0, "s_s": 0.0, "s_cpu": 0.0}
    mismatch = []
    try:
        for name, fen, depth in POSITIONS:
            d = depth - 1 if quick else depth
            o_runs, s_runs = [], []
            for rep in range(repeats):
                if rep and deadline is not None:
                    pass_seconds = o_runs[0]["process_seconds"] + (s_runs[0]["seconds"] if sf else 0)
                    if time.perf_counter() + pass_seconds > deadline:
                        result.setdefault("repeats_cut", []).append(name)
                        break
                o_run = run_orvex(fen, d)
                o_run["cpu_seconds"] = max(0.0, o_run["cpu_seconds"] - startup_cpu)
                o_runs.append(o_run)
                if sf:
                    s_runs.append(sf.perft(fen, d))
            o = min(o_runs, key=lambda r: r["seconds"])
            s = min(s_runs, key=lambda r: r["seconds"]) if sf else None
            row = {"name": name, "fen": fen, "depth": d, "orvex": o, "stockfish": s,
                   "orvex_runs": o_runs, "stockfish_runs": s_runs}
            o_mnps = _mnps(o["nodes"], o["seconds"])
            o_cpu = _mnps(o["nodes"], o["cpu_seconds"])
            row["orvex_mnps"] = o_mnps
            row["orvex_cpu_mnps"] = o_cpu
            s_mnps = s_cpu = ratio = cpu_ratio = None
            if s:
                s_mnps = _mnps(s["nodes"], s["seconds"])
                s_cpu = _mnps(s["nodes"], s["cpu_seconds"])
                ratio = o_mnps / s_mnps
                cpu_ratio = o_cpu / s_cpu if o_cpu and s_cpu else None
                if s["nodes"] != o["nodes"]:
                    mismatch.append(f"{name} depth {d}: orvex {o['nodes']}, stockfish {s['nodes']}")
                totals["s_s"] += s["seconds"]
                totals["s_cpu"] += s["cpu_seconds"]
            row.update(stockfish_mnps=s_mnps, stockfish_cpu_mnps=s_cpu, orvex_over_stockfish=ratio,
                       orvex_over_stockfish_cpu=cpu_ratio)
            totals["nodes"] += o["nodes"]
            totals["o_s"] += o["seconds"]
            totals["o_cpu"] += o["cpu_seconds"]
            result["positions"].append(row)
            log(f"  {name:10s} {d:5d} {o['nodes']:12d}  {o['seconds']:8.3f} {_fmt(o_mnps, '10.1f')}  "
                f"{_fmt(s and s['seconds'], '7.3f')} {_fmt(s_mnps)}  {_fmt(ratio, '8.2f')}  "
                f"{_fmt(o_cpu, '10.1f')} {_fmt(s_cpu, '7.1f')} {_fmt(cpu_ratio, '6.2f')}")
    finally:
        if sf:
            sf.close()
    n = totals["nodes"]
    o_mnps, o_cpu = _mnps(n, totals["o_s"]), _mnps(n, totals["o_cpu"])
    s_mnps = _mnps(n, totals["s_s"]) if sf else None
    s_cpu = _mnps(n, totals["s_cpu"]) if sf and totals["s_cpu"] > 0 else None
    ratio = o_mnps / s_mnps if s_mnps else None
    cpu_ratio = o_cpu / s_cpu if (o_cpu and s_cpu) else None
    log(f"  {'total':10s} {'':5s} {n:12d}  {totals['o_s']:8.3f} {_fmt(o_mnps, '10.1f')}  "
        f"{_fmt(totals['s_s'] if sf else None, '7.3f')} {_fmt(s_mnps)}  {_fmt(ratio, '8.2f')}  "
        f"{_fmt(o_cpu, '10.1f')} {_fmt(s_cpu, '7.1f')} {_fmt(cpu_ratio, '6.2f')}")
    if result.get("repeats_cut"):
        log(f"  (one run only on {', '.join(result['repeats_cut'])}, to keep the run short)")
    if mismatch:
        log("  NODE COUNTS DIFFER: " + "; ".join(mismatch))
    elif sf:
        log("  node counts agree with stockfish on every position")
    result["total"] = {"nodes": n, "orvex_seconds": totals["o_s"], "orvex_mnps": o_mnps,
                       "orvex_cpu_mnps": o_cpu, "stockfish_seconds": totals["s_s"] if sf else None,
                       "stockfish_mnps": s_mnps, "stockfish_cpu_mnps": s_cpu,
                       "orvex_over_stockfish": ratio, "orvex_over_stockfish_cpu": cpu_ratio}
    result["node_mismatches"] = mismatch
    return result


# Depths for the instruction counts: small enough for callgrind (about a
# minute for all twelve runs), large enough that the walk outweighs start-up.
CALLGRIND_DEPTHS = {"start": 4, "kiwipete": 3, "position3": 5, "position4": 4,
                    "position5": 3, "position6": 3}
_REFS = re.compile(r"refs:\s+([\d,]+)")


def _callgrind_refs(cmd: list[str], stdin: str | None = None) -> int:
    """Instructions the command executed, as callgrind counts them."""
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *cmd],
                          input=stdin, capture_output=True, text=True)
    m = _REFS.search(proc.stderr)
    if proc.returncode != 0 or not m:
        raise RuntimeError(f"callgrind failed on {cmd[0]}: {proc.stderr[-500:]}")
    return int(m.group(1).replace(",", ""))


def _stockfish_input(fen: str, depth: int) -> str:
    return f"position fen {fen} 0 1\ngo perft {depth}\nquit\n"


def instructions_per_leaf(log=print) -> dict:
    """Instructions per leaf node of each perft under callgrind, orvex beside Stockfish.

    Each program runs twice per position, at the depth of CALLGRIND_DEPTHS and
    at depth 1; the difference over the leaf count leaves out start-up (the
    attack tables, Stockfish's network) and counts the walk alone. Instruction
    counts do not move with the load on the machine, as times do.
    """
    result: dict = {"positions": [], "skipped": []}
    log("C++ perft, instructions per leaf under callgrind (walk only: depth d less depth 1)")
    if shutil.which("valgrind") is None:
        log("  skipped: valgrind not found (apt-get install valgrind)")
        result["skipped"].append("valgrind not found")
        return result
    ok, why = build(log)
    if not ok:
        log(f"  skipped: {why}")
        result["skipped"].append(f"orvex: {why}")
        return result
    sf_path = find_stockfish()
    log(f"  {'position':10s} {'depth':>5s} {'leaves':>9s} {'orvex':>8s} {'stockfish':>10s} "
        f"{'orvex/sf':>9s}")
    fewer = 0
    for name, fen, _ in POSITIONS:
        depth = CALLGRIND_DEPTHS[name]
        nodes = run_orvex(fen, depth)["nodes"]
        orvex = (_callgrind_refs([str(BINARY), fen, str(depth)]) -
                 _callgrind_refs([str(BINARY), fen, "1"])) / nodes
        sf = ratio = None
        if sf_path:
            sf = (_callgrind_refs([sf_path], _stockfish_input(fen, depth)) -
                  _callgrind_refs([sf_path], _stockfish_input(fen, 1))) / nodes
            ratio = orvex / sf
            fewer += orvex < sf
        result["positions"].append({"name": name, "depth": depth, "leaves": nodes,
                                    "orvex_per_leaf": orvex, "stockfish_per_leaf": sf,
                                    "orvex_over_stockfish": ratio})
        log(f"  {name:10s} {depth:5d} {nodes:9d} {orvex:8.1f} {_fmt(sf, '10.1f')} "
            f"{_fmt(ratio, '9.2f')}")
    if sf_path:
        result["orvex_fewer_on"] = fewer
        log(f"  orvex executes fewer instructions per leaf on {fewer} of {len(POSITIONS)} positions")
    else:
        result["skipped"].append("stockfish: not found")
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one ply less on every position")
    parser.add_argument("--repeats", type=int, default=None,
                        help="runs per position and program (default 2, 1 with --quick)")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per leaf under callgrind (about a minute)")
    args = parser.parse_args()
    run(quick=args.quick, repeats=args.repeats)
    if args.callgrind:
        print()
        instructions_per_leaf()
    sys.stdout.flush()


if __name__ == "__main__":
    main()
