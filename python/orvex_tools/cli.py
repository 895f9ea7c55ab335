"""The orvex-chess command: legal moves, perft counts and PGN games from the command line.

    orvex-chess moves [FEN ...] [--moves "e2e4 e7e5"] [--threads N]   (also: python -m orvex_tools)
    orvex-chess moves - [--threads N]         (one FEN per line on standard input)
    orvex-chess perft [FEN] [--depth N] [--divide] [--moves "..."] [--threads N] [--no-progress]
    orvex-chess pgn FILE [--san] [--errors raise|skip] [--threads N] [--no-progress]
    orvex-chess dataset GAMES... --out DIR [--encoding az|lc0] [--dedup] [--fen]
                [--workers N | --scheduler ADDRESS] [--rows-per-file N] [--overwrite]
                [--compression zstd|lz4|snappy|none]
    orvex-chess perft ... [--workers N | --scheduler ADDRESS]   (split into Dask tasks)

A FEN may be given as one quoted argument or as its fields in separate words;
a word holding a '/' (a placement) begins the next FEN. Without one the start
position is used.

Bad options print argparse's usage and an error line (status 2). Every other
failure ends the command with one line on stderr, "orvex-chess: error: ...",
and exit status 2: bad FEN or move text, a game that cannot be replayed, an
unreadable, truncated or damaged file, an output directory that cannot be
used, a scheduler that cannot be reached. Ctrl-C ends it with "orvex-chess:
interrupted" and status 130.

The command imports only what its subcommand needs, so that it starts about
as fast as the interpreter: the PGN reader for pgn, Dask and pyarrow only for
a cluster, tqdm only once a progress bar has something to show.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time

import orvex_chess

from orvex_tools import __version__

# Not typing.TYPE_CHECKING: typing is not imported at run time (type checkers
# take any name TYPE_CHECKING as true).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import IO, Any

    from distributed import Client

    from orvex_tools.pgn import Game

PROG = "orvex-chess"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
DEFAULT_DEPTH = 5
#: The deepest perft the command counts: the most the library's perft takes.
MAX_DEPTH = 64
#: The most threads the library's calls take.
MAX_THREADS = 1024
USAGE_ERROR = 2
INTERRUPTED = 130
COORDINATE_MOVE = re.compile(r"[a-h][1-8][a-h][1-8][nbrqNBRQ]?")


class InputError(Exception):
    """A FEN or a move that the command cannot use; its text is the message."""


def _is_library_error(exc: BaseException) -> bool:
    # PanicException derives from BaseException and is not a module attribute.
    return isinstance(exc, ValueError) or type(exc).__name__ == "PanicException"


def _detail(exc: BaseException, prefix: str) -> str:
    text = str(exc)
    return text[len(prefix) :] if text.startswith(prefix) else text


def read_board(fen: str) -> orvex_chess.Board:
    """Returns the board of the FEN text; raises InputError if it cannot be read."""
    try:
        return orvex_chess.Board(fen)
    except BaseException as exc:
        if not _is_library_error(exc):
            raise
        raise InputError(f"cannot read FEN {fen!r}: {_detail(exc, 'Invalid fen: ')}") from None


def play(board: orvex_chess.Board, generator: orvex_chess.MoveGenerator, moves: str) -> None:
    """Pushes the space-separated moves; raises InputError on one that is unreadable or illegal."""
    for text in moves.split():
        if not COORDINATE_MOVE.fullmatch(text):
            raise InputError(
                f"cannot read move {text!r}: expected coordinate notation such as e2e4 or e7e8q"
            )
        move = text.lower()  # only the promotion letter may be upper case
        if move not in generator(board):
            raise InputError(f"{text!r} is not a legal move in {board.fen()!r}")
        board.push(move)


def split_fens(words: Sequence[str]) -> list[str]:
    """Returns the FENs of the position words: a word holding a '/' (a placement
    field) begins a new FEN, and the words after it up to the next are its
    other fields; no words at all give the start position."""
    if not words:
        return [START_FEN]
    fens: list[list[str]] = []
    for word in words:
        if not fens or "/" in word:
            fens.append([])
        fens[-1].append(word)
    return [" ".join(fen) for fen in fens]


def legal_moves_of_fens(generator: orvex_chess.MoveGenerator, fens: Sequence[str],
                        names: Sequence[str], threads: int | None) -> list[list[str]]:
    """Returns the legal moves of each FEN through generator.many; raises
    InputError for the first unreadable one, named by names[i]."""
    try:
        return generator.many(fens, threads=threads)
    except ValueError as exc:
        index, reason = getattr(exc, "index", None), getattr(exc, "reason", None)
        if index is None or reason is None:
            raise
        raise InputError(f"cannot read FEN {fens[index]!r}{names[index]}: {reason}") from None


def _whole_number(name: str, least: int, most: int | None = None) -> Callable[[str], int]:
    """Returns an argparse type that reads a whole number from least to most (None: no bound)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{name} must be a whole number, not {text!r}") from None
        if most is not None and not least <= value <= most:
            raise argparse.ArgumentTypeError(f"{name} must be from {least} to {most}, not {value}")
        if value < least:
            raise argparse.ArgumentTypeError(f"{name} must be at least {least}, not {value}")
        return value

    return parse


_depth = _whole_number("depth", 1, MAX_DEPTH)
_threads = _whole_number("threads", 1, MAX_THREADS)


_SIZE = re.compile(r"(\d+)([KMG]?)", re.IGNORECASE)


def _byte_size(text: str) -> int:
    """Reads a byte count with an optional K, M or G (binary) suffix."""
    found = _SIZE.fullmatch(text.strip())
    if not found or int(found.group(1)) < 1:
        raise argparse.ArgumentTypeError(
            f"chunk size must be a whole number of bytes such as 200000, 64K or 16M, not {text!r}")
    return int(found.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[found.group(2).upper()]


def _add_cluster_options(sub: argparse.ArgumentParser, what: str) -> None:
    where = sub.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=_whole_number("workers", 1),
        default=None,
        metavar="N",
        help=f"{what} on a local Dask cluster of N worker processes started for the command",
    )
    where.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help=f"{what} on the Dask cluster of this scheduler (tcp://HOST:PORT)",
    )
    sub.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="show Dask's log messages and warnings, and the traceback of an unexpected error",
    )


def _terminal_columns() -> int:
    """The terminal's width as shutil.get_terminal_size() gives it: $COLUMNS, else
    the width of the terminal of standard output, else 80."""
    try:
        columns = int(os.environ["COLUMNS"])
        if columns > 0:
            return columns
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):  # no standard output, or not a terminal
        return 80


class _Formatter(argparse.HelpFormatter):
    """argparse's help formatter, given its width so that it does not import
    shutil (and with it zlib, bz2 and lzma) for every command."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width)


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser of the command line."""
    parser = argparse.ArgumentParser(
        formatter_class=_Formatter,
        prog=PROG,
        description="Legal moves, perft counts, PGN games and training datasets, computed by "
        "orvex_chess.",
        epilog=f"Bad options print the usage and an error line, and exit with status "
        f"{USAGE_ERROR}. Every other failure (bad FEN or move text, a game that cannot be "
        f"replayed, a file that cannot be read, a cluster that cannot be reached) prints one "
        f"line, '{PROG}: error: ...', on stderr and exits with status {USAGE_ERROR}; Ctrl-C "
        f"prints '{PROG}: interrupted' and exits with status {INTERRUPTED}.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, title="commands"
    )

    def add_position(sub: argparse.ArgumentParser, many: bool) -> None:
        sub.add_argument(
            "fen",
            nargs="*",
            metavar="FEN",
            help=("the positions: each one quoted argument or its fields as separate words "
                  "(a word with a '/' begins the next FEN), or - to read one FEN per line "
                  "from standard input (blank lines are skipped)"
                  if many else
                  "the position: one quoted argument or its fields as separate words")
            + " (default: the start position); fields after the fourth are ignored",
        )
        sub.add_argument(
            "--moves",
            default="",
            metavar="MOVES",
            help='moves in coordinate notation to play first, in one argument: "e2e4 e7e5"; '
            "each must be legal" + (" (one position only)" if many else ""),
        )
        sub.add_argument(
            "-t",
            "--threads",
            type=_threads,
            default=None,
            metavar="N",
            help=f"threads to compute on, at most {MAX_THREADS} (default: one per available core)",
        )

    moves = commands.add_parser(
        "moves",
        formatter_class=_Formatter,
        help="print the legal moves of positions",
        description="Print the legal moves of each position on one line, separated by single "
        "spaces, in the library's fixed order (an empty line when there is none); "
        "one line per FEN, in input order.",
    )
    add_position(moves, many=True)

    perft = commands.add_parser(
        "perft",
        formatter_class=_Formatter,
        help="count the leaf nodes of the move tree",
        description="Count the move sequences of exactly DEPTH plies from the position "
        "(perft) on all cores, then print the total, the time taken and the nodes per second. "
        "A progress bar per root move runs on stderr.",
    )
    add_position(perft, many=False)
    perft.add_argument(
        "-d",
        "--depth",
        type=_depth,
        default=DEFAULT_DEPTH,
        metavar="N",
        help=f"plies to search, from 1 to {MAX_DEPTH} (default: {DEFAULT_DEPTH}); each ply "
        "multiplies the time by about 30",
    )
    perft.add_argument(
        "--divide",
        action="store_true",
        help='also print the count below each root move, one "e2e4: 20" line each, '
        "in the library's move order",
    )
    perft.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar on stderr",
    )
    _add_cluster_options(perft, "count the subtrees below the first two plies as Dask tasks, "
                         "each on --threads threads (default 1),")

    pgn = commands.add_parser(
        "pgn",
        formatter_class=_Formatter,
        help="print the main-line moves of the games of a PGN file",
        description="Read the games of a PGN file (plain, gzip, bzip2, xz or Zstandard) and print "
        "one line per game: its main-line moves in coordinate notation (or SAN with --san), "
        "separated by single spaces. A progress bar runs on stderr while a file is read.",
    )
    pgn.add_argument("file", metavar="FILE", help='the PGN file, or "-" for standard input')
    pgn.add_argument("--san", action="store_true", help="print the moves in SAN")
    pgn.add_argument(
        "--write-pgn",
        action="store_true",
        help="print each game as normalised PGN instead (the seven standard tags first, SAN "
        "movetext with move numbers, lines of at most 80 characters)",
    )
    pgn.add_argument(
        "--errors",
        choices=("raise", "skip"),
        default="raise",
        help="a game with an illegal or unreadable move stops the command (raise, the "
        "default) or is left out and counted on stderr (skip)",
    )
    pgn.add_argument(
        "-t",
        "--threads",
        type=_threads,
        default=None,
        metavar="N",
        help=f"threads that replay games at the same time, at most {MAX_THREADS} "
        "(default: one per available core)",
    )
    pgn.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar on stderr",
    )
    dataset = commands.add_parser(
        "dataset",
        formatter_class=_Formatter,
        help="turn PGN games into training positions in Parquet files, on Dask",
        description="Replay the games of PGN files (plain, gzip, bzip2, xz or Zstandard) on a Dask "
        "cluster and write one Parquet row per position: game, ply, bitboards and state word "
        "(or FEN), side to move, move played and its policy id, legal-move ids, Polyglot key and "
        "result. Without --scheduler a local cluster with one worker process per core is "
        "started. Games that cannot be replayed are skipped and counted; a summary ends the run. "
        "Every input and the output directory are checked before a cluster starts.",
    )
    dataset.add_argument("games", nargs="+", metavar="GAMES", help="the PGN files")
    dataset.add_argument("--out", required=True, metavar="DIR",
                         help="the output directory, reachable by every worker under this path")
    dataset.add_argument("--encoding", choices=("az", "lc0"), default="az",
                         help="the policy encoding of the move ids (default: az)")
    dataset.add_argument("--dedup", action="store_true",
                         help="keep only the first row of each position (by Polyglot key), "
                         "in input order")
    dataset.add_argument("--fen", action="store_true",
                         help="write each position as FEN text instead of bitboards and state word")
    # The default is build_dataset's: the dataset module is imported only to build one.
    dataset.add_argument("--rows-per-file", type=_whole_number("rows per file", 1),
                         default=None, metavar="N",
                         help="the most rows in one output file (default: 1000000)")
    dataset.add_argument("--chunk-size", type=_byte_size, default=None, metavar="BYTES",
                         help="cut the text into chunks of about this many bytes, such as 200000, "
                         "64K or 16M (default: chosen so that each worker gets several)")
    dataset.add_argument("--compression", choices=("zstd", "lz4", "snappy", "none"), default="zstd",
                         help="the Parquet files' compression (default: zstd, at a fast level)")
    dataset.add_argument("--overwrite", action="store_true",
                         help="replace the part-*.parquet files of an earlier dataset in DIR, "
                         "once the new ones are complete (on failure the old ones stay)")
    dataset.add_argument("--no-progress", action="store_true",
                         help="do not show the progress bar on stderr")
    _add_cluster_options(dataset, "run")
    return parser


class Progress:
    """A tqdm progress bar on stderr that is made at its first update (or
    total): tqdm takes longer to import than the command takes to start, so
    the work starts first. The time it shows counts from the bar's creation
    here. Without show it does nothing."""

    def __init__(self, show: bool, **options: Any) -> None:
        self.show = show
        self.options = options
        self.bar: Any = None
        self.started = time.time()

    def _made(self) -> Any:
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(file=sys.stderr, leave=False, **self.options)
            self.bar.start_t = self.started
        return self.bar

    def update(self, done: int, total: int | None = None) -> None:
        """Shows done (of total, when known) steps done."""
        if not self.show:
            return
        bar = self._made()
        if total is not None:
            bar.total = total
        bar.update(done - bar.n)

    def write(self, line: str) -> None:
        """Prints line on stdout without breaking the bar."""
        if self.bar is None:
            print(line)
        else:
            self.bar.write(line, file=sys.stdout)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _quiet_dask_warnings(verbose: bool) -> None:
    """Without verbose, hides the warnings that Dask and its helpers emit."""
    if not verbose:
        import warnings

        warnings.filterwarnings("ignore", module=r"(distributed|dask|tornado|bokeh)(\.|$)")


def _cluster(args: argparse.Namespace) -> Any:
    """The cluster_client context of the command's --scheduler or --workers."""
    from orvex_tools.cluster import cluster_client

    _quiet_dask_warnings(args.verbose)
    return cluster_client(scheduler=args.scheduler, workers=args.workers, verbose=args.verbose)


def run_dataset(args: argparse.Namespace) -> int:
    """Builds the dataset with a progress bar, then prints its summary."""
    from orvex_tools.dataset import build_dataset, check_paths

    options: dict[str, Any] = {}
    if args.rows_per_file is not None:
        options["rows_per_file"] = args.rows_per_file
    try:
        check_paths(args.games, args.out, overwrite=args.overwrite)
        client: Client
        with _cluster(args) as client:
            summary = build_dataset(args.games, args.out, encoding=args.encoding, dedup=args.dedup,
                                    client=client, overwrite=args.overwrite, fen=args.fen,
                                    progress=not args.no_progress, chunk_bytes=args.chunk_size,
                                    compression=args.compression, **options)
    except FileExistsError as exc:
        raise InputError(str(exc).replace("pass overwrite=True", "pass --overwrite")) from None
    print(summary)
    return 0


def run_perft_on_cluster(args: argparse.Namespace, board: orvex_chess.Board) -> int:
    """Counts perft as Dask tasks with a progress bar of tasks done, then prints the totals."""
    from orvex_tools.cluster import perft_on_cluster

    client: Client
    with _cluster(args) as client, \
            Progress(not args.no_progress, desc=f"perft {args.depth}", unit="task") as progress:
        start = time.perf_counter()
        counts = perft_on_cluster(client, board, args.depth, threads=args.threads or 1,
                                  progress=progress.update)
        elapsed = time.perf_counter() - start
    if args.divide:
        for move, count in counts:
            print(f"{move}: {count}")
        print()
    _print_totals(sum(count for _, count in counts), elapsed)
    return 0


def _print_totals(total: int, elapsed: float) -> None:
    speed = f"{total / elapsed:.0f}" if elapsed > 0 else "-"
    print(f"Nodes: {total}")
    print(f"Time: {elapsed:.3f} s")
    print(f"Speed: {speed} nodes/s")


# FENs from standard input handed to generator.many at a time, so that the
# output of a long input starts early and memory stays bounded.
STDIN_BLOCK = 10_000


def run_moves_of_stdin(generator: orvex_chess.MoveGenerator, threads: int | None) -> int:
    """Prints the legal moves of each FEN line of standard input, one line each."""
    fens: list[str] = []
    names: list[str] = []

    def flush() -> None:
        for moves in legal_moves_of_fens(generator, fens, names, threads):
            print(" ".join(moves))
        fens.clear()
        names.clear()

    for number, line in enumerate(sys.stdin, start=1):
        fen = line.strip()
        if not fen:
            continue
        fens.append(fen)
        names.append(f" on line {number} of standard input")
        if len(fens) == STDIN_BLOCK:
            flush()
    flush()
    return 0


def run_moves(args: argparse.Namespace, generator: orvex_chess.MoveGenerator) -> int:
    """Prints the legal moves of each position on one line, separated by spaces."""
    if args.fen == ["-"]:
        if args.moves:
            raise InputError("--moves needs a single position, not standard input")
        return run_moves_of_stdin(generator, args.threads)
    fens = split_fens(args.fen)
    if len(fens) == 1:
        board = read_board(fens[0])
        play(board, generator, args.moves)
        print(" ".join(generator(board)))
        return 0
    if args.moves:
        raise InputError(f"--moves needs a single position, not {len(fens)}")
    for moves in legal_moves_of_fens(generator, fens, [""] * len(fens), args.threads):
        print(" ".join(moves))
    return 0


def run_perft(args: argparse.Namespace, generator: orvex_chess.MoveGenerator) -> int:
    """Counts the leaves below each root move with a progress bar, then prints the totals."""
    board = read_board(" ".join(args.fen) if args.fen else START_FEN)
    play(board, generator, args.moves)
    if args.scheduler is not None or args.workers is not None:
        return run_perft_on_cluster(args, board)
    depth: int = args.depth
    start = time.perf_counter()
    root_moves = generator(board)
    total = 0
    with Progress(not args.no_progress, desc=f"perft {depth}", unit="move") as progress:
        for done, move in enumerate(root_moves, 1):
            board.push(move)
            count = generator.perft(board, depth - 1, threads=args.threads)
            board.pop()
            total += count
            if args.divide:
                progress.write(f"{move}: {count}")
            progress.update(done, len(root_moves))
    elapsed = time.perf_counter() - start
    if args.divide:
        print()
    _print_totals(total, elapsed)
    return 0


def san_line(game: Game) -> str:
    """Returns the game's main-line moves in SAN, separated by spaces."""
    board = game.board()
    out = []
    for move in game.moves:
        out.append(board.san(move))
        board.push(move)
    return " ".join(out)


def run_pgn(args: argparse.Namespace) -> int:
    """Prints one line of moves per game, with a progress bar over the file's bytes."""
    from orvex_tools.pgn import decompressed, is_live, read_games
    from orvex_tools.stream_errors import damaged_stream_reason

    if args.write_pgn:
        from orvex_tools.pgn_writer import format_game

        def line(game: Game) -> str:
            return format_game(game)
    elif args.san:
        def line(game: Game) -> str:
            return san_line(game) + "\n"
    else:
        def line(game: Game) -> str:
            return " ".join(game.moves) + "\n"

    if args.file == "-":
        raw: IO[bytes] = sys.stdin.buffer
        size = None
        name = "standard input"
    else:
        try:
            raw = open(args.file, "rb")
            size = os.fstat(raw.fileno()).st_size
        except OSError as exc:
            raise InputError(f"cannot read {args.file!r}: {exc.strerror}") from None
        name = repr(args.file)
    out = sys.stdout
    try:
        with Progress(not args.no_progress and size is not None, desc="pgn", unit="B",
                      unit_scale=True) as progress:
            source = decompressed(raw, name, live=is_live(raw))
            with read_games(source, errors=args.errors, threads=args.threads) as games:
                for count, game in enumerate(games, 1):
                    out.write(line(game))
                    if count % 256 == 0 and size is not None:
                        progress.update(raw.tell(), size)
    except ValueError as exc:
        raise InputError(str(exc)) from None
    except Exception as exc:
        reason = damaged_stream_reason(exc)
        if reason is None:
            raise
        raise InputError(f"cannot read {name}: {reason}") from None
    finally:
        if size is not None:
            raw.close()
    if games.skipped:
        print(f"{PROG}: skipped {games.skipped} game(s) that could not be replayed, such as:",
              file=sys.stderr)
        for error in games.errors[:5]:
            print(f"  {error.message}", file=sys.stderr)
    return 0


def _run(args: argparse.Namespace) -> int:
    if args.command == "pgn":
        return run_pgn(args)
    if args.command == "dataset":
        return run_dataset(args)
    generator = orvex_chess.MoveGenerator()
    if args.command == "moves":
        return run_moves(args, generator)
    return run_perft(args, generator)


def _error(message: str) -> int:
    """Prints the message as the command's one line of error and returns the status."""
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)
    return USAGE_ERROR


def _describe(exc: BaseException) -> str:
    """The one-line message of an error that no part of the command turned into an InputError."""
    if isinstance(exc, OSError) and exc.strerror:
        # An OSError made with a message of its own keeps it in strerror.
        return f"{exc.strerror}: {exc.filename!r}" if exc.filename is not None else exc.strerror
    text = str(exc)
    if isinstance(exc, (ValueError, OSError, EOFError, ModuleNotFoundError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _interrupted() -> int:
    print(f"{PROG}: interrupted", file=sys.stderr)
    # A second Ctrl-C while the command cleans up ends it at once, quietly.
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)
    return INTERRUPTED


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns the exit status."""
    verbose = False
    try:
        args = build_parser().parse_args(argv)
        verbose = getattr(args, "verbose", False)
        return _run(args)
    except InputError as exc:
        return _error(str(exc))
    except KeyboardInterrupt:
        return _interrupted()
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # anything else, the library's PanicException included
        if verbose:
            import traceback

            traceback.print_exc()
        return _error(_describe(exc))


if __name__ == "__main__":
    sys.exit(main())
