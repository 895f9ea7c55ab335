"""The orvex-chess command: legal moves, perft counts and PGN games from the command line.

    orvex-chess moves [FEN] [--moves "e2e4 e7e5"]     (also: python -m orvex_tools)
    orvex-chess perft [FEN] [--depth N] [--divide] [--moves "..."] [--no-progress]
    orvex-chess pgn FILE [--san] [--errors raise|skip] [--threads N] [--no-progress]

A FEN may be given as one quoted argument or as its fields in separate words;
without one the start position is used. Bad FEN or move text, or a game that
cannot be replayed, ends the command with a one-line message on stderr and exit
status 2.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
from collections.abc import Sequence
from typing import IO

import orvex_chess

from orvex_tools.pgn import Game, decompressed, read_games

PROG = "orvex-chess"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
DEFAULT_DEPTH = 5
USAGE_ERROR = 2
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


def count_leaves(generator: orvex_chess.MoveGenerator, board: orvex_chess.Board, depth: int) -> int:
    """Returns the number of move sequences of exactly depth plies from the board."""
    if depth == 0:
        return 1
    moves = generator(board)
    if depth == 1:
        return len(moves)
    total = 0
    for move in moves:
        board.push(move)
        total += count_leaves(generator, board, depth - 1)
        board.pop()
    return total


def _positive_depth(text: str) -> int:
    try:
        depth = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"depth must be a whole number, not {text!r}") from None
    if depth < 1:
        raise argparse.ArgumentTypeError(f"depth must be at least 1, not {depth}")
    return depth


def _thread_count(text: str) -> int:
    try:
        threads = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"threads must be a whole number, not {text!r}") from None
    if not 1 <= threads <= 1024:
        raise argparse.ArgumentTypeError(f"threads must be from 1 to 1024, not {threads}")
    return threads


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("orvex_chess")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser of the command line."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Legal moves, perft counts and PGN games, computed by orvex_chess.",
        epilog=f"Bad FEN or move text, or a game that cannot be replayed: a one-line message "
        f"on stderr and exit status {USAGE_ERROR}.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, title="commands"
    )

    def add_position(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "fen",
            nargs="*",
            metavar="FEN",
            help="the position: one quoted argument or its fields as separate words "
            "(default: the start position); fields after the fourth are ignored",
        )
        sub.add_argument(
            "--moves",
            default="",
            metavar="MOVES",
            help='moves in coordinate notation to play first, in one argument: "e2e4 e7e5"; '
            "each must be legal",
        )

    moves = commands.add_parser(
        "moves",
        help="print the legal moves of a position",
        description="Print the legal moves of the position on one line, separated by single "
        "spaces, in the library's fixed order (an empty line when there is none).",
    )
    add_position(moves)

    perft = commands.add_parser(
        "perft",
        help="count the leaf nodes of the move tree",
        description="Count the move sequences of exactly DEPTH plies from the position "
        "(perft), then print the total, the time taken and the nodes per second. "
        "A progress bar per root move runs on stderr.",
    )
    add_position(perft)
    perft.add_argument(
        "-d",
        "--depth",
        type=_positive_depth,
        default=DEFAULT_DEPTH,
        metavar="N",
        help=f"plies to search, at least 1 (default: {DEFAULT_DEPTH})",
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

    pgn = commands.add_parser(
        "pgn",
        help="print the main-line moves of the games of a PGN file",
        description="Read the games of a PGN file (plain, gzip, bzip2 or Zstandard) and print "
        "one line per game: its main-line moves in coordinate notation (or SAN with --san), "
        "separated by single spaces. A progress bar runs on stderr while a file is read.",
    )
    pgn.add_argument("file", metavar="FILE", help='the PGN file, or "-" for standard input')
    pgn.add_argument("--san", action="store_true", help="print the moves in SAN")
    pgn.add_argument(
        "--errors",
        choices=("raise", "skip"),
        default="raise",
        help="a game with an illegal or unreadable move stops the command (raise, the "
        "default) or is left out and counted on stderr (skip)",
    )
    pgn.add_argument(
        "--threads",
        type=_thread_count,
        default=1,
        metavar="N",
        help="threads that replay games at the same time (default: 1)",
    )
    pgn.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar on stderr",
    )
    return parser


def run_moves(args: argparse.Namespace, board: orvex_chess.Board,
              generator: orvex_chess.MoveGenerator) -> int:
    """Prints the legal moves on one line, separated by spaces."""
    print(" ".join(generator(board)))
    return 0


def run_perft(args: argparse.Namespace, board: orvex_chess.Board,
              generator: orvex_chess.MoveGenerator) -> int:
    """Counts the leaves below each root move with a progress bar, then prints the totals."""
    from tqdm import tqdm

    depth: int = args.depth
    start = time.perf_counter()
    root_moves = generator(board)
    total = 0
    with tqdm(
        root_moves,
        desc=f"perft {depth}",
        unit="move",
        file=sys.stderr,
        leave=False,
        disable=args.no_progress,
    ) as progress:
        for move in progress:
            board.push(move)
            count = count_leaves(generator, board, depth - 1)
            board.pop()
            total += count
            if args.divide:
                progress.write(f"{move}: {count}", file=sys.stdout)
    elapsed = time.perf_counter() - start
    if args.divide:
        print()
    speed = f"{total / elapsed:.0f}" if elapsed > 0 else "-"
    print(f"Nodes: {total}")
    print(f"Time: {elapsed:.3f} s")
    print(f"Speed: {speed} nodes/s")
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
    from tqdm import tqdm

    if args.file == "-":
        raw: IO[bytes] = sys.stdin.buffer
        size = None
    else:
        try:
            raw = open(args.file, "rb")
            size = os.fstat(raw.fileno()).st_size
        except OSError as exc:
            raise InputError(f"cannot read {args.file!r}: {exc.strerror}") from None
    progress = tqdm(
        total=size,
        desc="pgn",
        unit="B",
        unit_scale=True,
        file=sys.stderr,
        leave=False,
        disable=args.no_progress or size is None,
    )
    out = sys.stdout
    try:
        source = decompressed(raw, "standard input" if size is None else repr(args.file))
        with progress, read_games(source, errors=args.errors, threads=args.threads) as games:
            for count, game in enumerate(games, 1):
                out.write((san_line(game) if args.san else " ".join(game.moves)) + "\n")
                if count % 256 == 0 and size is not None:
                    progress.update(raw.tell() - progress.n)
    except ValueError as exc:
        raise InputError(str(exc)) from None
    finally:
        if size is not None:
            raw.close()
    if games.skipped:
        print(f"{PROG}: skipped {games.skipped} game(s) that could not be replayed, such as:",
              file=sys.stderr)
        for error in games.errors[:5]:
            print(f"  {error.message}", file=sys.stderr)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        if args.command == "pgn":
            return run_pgn(args)
        fen = " ".join(args.fen) if args.fen else START_FEN
        board = read_board(fen)
        generator = orvex_chess.MoveGenerator()
        play(board, generator, args.moves)
        if args.command == "moves":
            return run_moves(args, board, generator)
        return run_perft(args, board, generator)
    except InputError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return USAGE_ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
