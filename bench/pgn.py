"""Speed of reading and writing PGN: orvex_tools.read_games at 1 and 2 threads and
orvex_tools.write_games, against python-chess.

Run from the repository root:

    python bench/pgn.py              # 20,000 games of about 80 plies, 536 long engine games
    python bench/pgn.py --quick      # 2,000 and 100 games

Two files are made once with python-chess (seeded random legal games, written
by chess.pgn) and cached under build/bench/: many games of about 80 plies with
few comments, as human games are archived, and few long games (about 180 plies)
with a comment after every move (evaluation, clock, depth, a principal
variation) and many variations, as engine matches are. Every reader reads the same file and
replays every main-line move legally; orvex reads the whole file per round,
python-chess (chess.pgn.read_game, far slower) its first --pc-games games. The
table gives games and plies per second (median round) and the ratios to
python-chess and to one thread, and the CPU time per game of the whole process
and of the calling thread (which builds the Python objects while the other
threads replay). No time is asserted: this prints, it does not judge. The
machine's load matters for the wall-clock columns: run it on a quiet machine.

Writing is timed on the games read from the same file: write_games of all of
them to a text file (tags, SAN movetext, each move checked), against
python-chess's export of its first --pc-games games (chess.pgn.FileExporter
without comments or variations, as write_games writes them), with the ratio
of write_games' games per second to read_games' at one thread.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import resource
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tests" / "python"))

import chess  # noqa: E402
import chess.pgn  # noqa: E402

import orvex_tools  # noqa: E402
import pgn_corpus  # noqa: E402


def corpus(games: int, plies: int, seed: int) -> Path:
    """Returns the cached corpus file, writing it first if needed."""
    path = REPO / "build" / "bench" / f"pgn-{seed}-{games}x{plies}.pgn"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"writing {games} random games with python-chess to {path} (once) ...", flush=True)
        start = time.perf_counter()
        text = pgn_corpus.random_pgn(seed, games, plies=plies, extras=False)
        partial = path.with_suffix(".partial")
        partial.write_text(text, encoding="utf-8")
        partial.rename(path)
        print(f"  done in {time.perf_counter() - start:.0f} s", flush=True)
    return path


def engine_game(rng: random.Random, plies: int) -> chess.pgn.Game:
    """One long game as engine matches are archived: a comment after every move
    (evaluation, clock, depth, nodes and a principal variation in SAN), and
    often a variation of a few moves with a comment of its own."""
    game = chess.pgn.Game()
    game.headers.update(Event="Engine match", White="Engine A", Black="Engine B",
                        Date=f"20{rng.randrange(10, 25)}.01.01", Round=str(rng.randrange(1, 500)))
    board = game.board()
    played: list[tuple[chess.Move, list[chess.Move]]] = []
    sans: list[str] = []
    for _ in range(plies):
        moves = list(board.legal_moves)
        if not moves:
            break
        move = rng.choice(moves)
        played.append((move, [m for m in moves if m != move]))
        sans.append(board.san(move))
        board.push(move)
    outcome = board.outcome()
    game.headers["Result"] = outcome.result() if outcome else rng.choice(["1-0", "0-1", "1/2-1/2"])
    board = game.board()
    node: chess.pgn.GameNode = game
    for ply, (move, others) in enumerate(played):
        parent = node
        node = parent.add_variation(move)
        if others and rng.random() < 0.25:
            line = board.copy(stack=False)
            branch = parent.add_variation(rng.choice(others))
            line.push(branch.move)
            for _ in range(rng.randrange(2, 9)):
                choices = list(line.legal_moves)
                if not choices:
                    break
                branch = branch.add_variation(rng.choice(choices))
                line.push(branch.move)
            branch.comment = _engine_comment(rng, sans[ply:])
        board.push(move)
        node.comment = _engine_comment(rng, sans[ply + 1:])
    return game


def _engine_comment(rng: random.Random, ahead: list[str]) -> str:
    pv = " ".join(ahead[:rng.randrange(4, 12)])
    return (f"[%eval {rng.uniform(-3, 3):.2f}] [%clk 0:{rng.randrange(60):02}:{rng.randrange(60):02}] "
            f"d={rng.randrange(15, 45)} sd={rng.randrange(30, 70)} mt={rng.randrange(1000, 90000)} "
            f"tl={rng.randrange(10**5, 10**7)} s={rng.randrange(10**5, 10**8)} "
            f"n={rng.randrange(10**6, 10**10)} pv={pv} tb=0 h=12.5 ph=0.0 "
            f"wv={rng.uniform(-3, 3):.2f} R50=48")


def engine_corpus(games: int, plies: int, seed: int) -> Path:
    """Returns the cached file of few long engine games, writing it first if needed."""
    path = REPO / "build" / "bench" / f"pgn-engine-{seed}-{games}x{plies}.pgn"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"writing {games} long engine games with python-chess to {path} (once) ...", flush=True)
        start = time.perf_counter()
        rng = random.Random(seed)
        partial = path.with_suffix(".partial")
        with open(partial, "w", encoding="utf-8") as out:
            for _ in range(games):
                print(engine_game(rng, rng.randrange(plies // 2, plies * 3 // 2)), file=out, end="\n\n")
        partial.rename(path)
        print(f"  done in {time.perf_counter() - start:.0f} s", flush=True)
    return path


def process_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def time_orvex(path: Path, threads: int) -> tuple[float, int, int, float, float]:
    """Seconds to read every game, the games and plies read, and the CPU
    seconds of the process and of the calling thread."""
    gc.disable()
    try:
        cpu, own = process_cpu(), time.thread_time()
        start = time.perf_counter()
        games = plies = 0
        with orvex_tools.read_games(path, threads=threads) as reader:
            for game in reader:
                games += 1
                plies += len(game.moves)
        seconds = time.perf_counter() - start
        return seconds, games, plies, process_cpu() - cpu, time.thread_time() - own
    finally:
        gc.enable()


def time_python_chess(path: Path, limit: int) -> tuple[float, int, int]:
    gc.disable()
    try:
        start = time.perf_counter()
        games = plies = 0
        with open(path, encoding="utf-8") as handle:
            while games < limit:
                game = chess.pgn.read_game(handle)
                if game is None:
                    break
                games += 1
                plies += sum(1 for _ in game.mainline_moves())
        return time.perf_counter() - start, games, plies
    finally:
        gc.enable()


def time_write(games: list, out: Path) -> float:
    """Seconds of write_games writing the games to a text file."""
    gc.disable()
    try:
        with open(out, "w", encoding="utf-8", newline="\n") as handle:
            start = time.perf_counter()
            orvex_tools.write_games(handle, games)
            return time.perf_counter() - start
    finally:
        gc.enable()


def time_python_chess_export(path: Path, limit: int, rounds: int) -> tuple[float, int]:
    """Median seconds of python-chess exporting its first limit games of the file."""
    games = []
    with open(path, encoding="utf-8") as handle:
        while len(games) < limit and (game := chess.pgn.read_game(handle)) is not None:
            games.append(game)
    out = path.with_name("export.out.pgn")
    runs = []
    gc.disable()
    try:
        for _ in range(rounds):
            with open(out, "w", encoding="utf-8") as handle:
                start = time.perf_counter()
                for game in games:
                    game.accept(chess.pgn.FileExporter(handle, comments=False, variations=False))
                runs.append(time.perf_counter() - start)
    finally:
        gc.enable()
        out.unlink(missing_ok=True)
    return statistics.median(runs), len(games)


def time_threads(path: Path, rounds: int) -> tuple[list[tuple[str, float, int, int, float, float]],
                                                   float, int]:
    """The rows of read_games at 1 and 2 threads: median seconds, games, plies,
    CPU seconds of the process and of the calling thread; and the median
    seconds of write_games writing the games read, and their number. The three
    alternate round by round, so that a change in the machine's load falls on
    all of them."""
    runs: dict[int, list[tuple[float, int, int, float, float]]] = {1: [], 2: []}
    games = list(orvex_tools.read_games(path))
    out = path.with_name("write-games.out.pgn")
    writes = []
    try:
        for threads in (1, 2):
            time_orvex(path, threads)  # warm the page cache and the tables
        time_write(games, out)
        for _ in range(rounds):
            for threads in (1, 2):
                runs[threads].append(time_orvex(path, threads))
            writes.append(time_write(games, out))
    finally:
        out.unlink(missing_ok=True)
    rows = []
    for threads in (1, 2):
        seconds = statistics.median(r[0] for r in runs[threads])
        cpu = statistics.median(r[3] for r in runs[threads])
        own = statistics.median(r[4] for r in runs[threads])
        rows.append((f"orvex_tools.read_games, threads={threads}", seconds, runs[threads][0][1],
                     runs[threads][0][2], cpu, own))
    return rows, statistics.median(writes), len(games)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=20_000)
    parser.add_argument("--plies", type=int, default=80)
    parser.add_argument("--engine-games", type=int, default=536,
                        help="games of the file of long engine games (default 536)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--pc-games", type=int, default=300,
                        help="games python-chess reads (default 300)")
    parser.add_argument("--quick", action="store_true", help="2,000 and 100 games, 3 rounds")
    args = parser.parse_args()
    if args.quick:
        args.games, args.engine_games, args.rounds, args.pc_games = 2_000, 100, 3, 100

    print(f"cores available: {len(os.sched_getaffinity(0))}, load average: "
          f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    header = ("| file | reader | games | plies | games/s | plies/s | x python-chess | x 1 thread "
              "| CPU µs/game (all threads) | CPU µs/game (calling thread) |\n"
              "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |")
    lines, writes = [], []
    for kind, path in [("human", corpus(args.games, args.plies, args.seed)),
                       ("engine", engine_corpus(args.engine_games, 180, args.seed))]:
        label = f"{kind}: {path.stat().st_size / 1e6:.1f} MB"
        rows, write_seconds, written = time_threads(path, args.rounds)
        write_rate = written / write_seconds
        pc_runs = [time_python_chess(path, args.pc_games) for _ in range(max(1, args.rounds // 2))]
        pc_seconds = statistics.median(r[0] for r in pc_runs)
        rows.append(("chess.pgn.read_game", pc_seconds, pc_runs[0][1], pc_runs[0][2], None, None))
        pc_rate = pc_runs[0][1] / pc_seconds
        one_thread = rows[0][2] / rows[0][1]
        for name, seconds, games, plies, cpu, own in rows:
            rate = games / seconds
            cpu_text = f"{cpu / games * 1e6:.1f}" if cpu is not None else ""
            own_text = f"{own / games * 1e6:.1f}" if own is not None else ""
            scale = f"{rate / one_thread:.2f}" if cpu is not None else ""
            lines.append(f"| {label} | {name} | {games} | {plies} | {rate:,.0f} | {plies / seconds:,.0f} "
                         f"| {rate / pc_rate:,.1f} | {scale} | {cpu_text} | {own_text} |")
        pc_seconds, pc_games = time_python_chess_export(path, args.pc_games, max(1, args.rounds // 2))
        pc_rate = pc_games / pc_seconds
        writes.append(f"| {label} | orvex_tools.write_games | {written} "
                      f"| {write_rate:,.0f} | {write_rate / pc_rate:,.1f} | {write_rate / one_thread:.2f} |")
        writes.append(f"| {label} | chess.pgn.FileExporter | {pc_games} | {pc_rate:,.0f} | 1 | |")
    print()
    print(header)
    print("\n".join(lines))
    print()
    print("| file | writer | games | games/s | x python-chess | x read_games, 1 thread |\n"
          "| --- | --- | --- | --- | --- | --- |")
    print("\n".join(writes))
    print("\nhuman: seeded random games of about 80 plies with few comments; engine: few long "
          "games with a comment after every move and many variations. The CPU columns count the "
          "work whatever the load: on an idle machine threads=2 takes about max(calling thread, "
          "all threads / 2) per game.")


if __name__ == "__main__":
    main()
