"""Writing chess games as PGN text, in the standard's export format.

    orvex_tools.write_games("out.pgn", orvex_tools.read_games("in.pgn.zst"))
    orvex_tools.write_games(sys.stdout, [({"White": "Ann"}, None, ["e2e4", "e7e5"], "1/2-1/2")])

Each move is checked against the legal moves of its position, and the
movetext is written in SAN by the C++ core; every game written reads back
through read_games to the same tags, start, moves and result (and through
python-chess, but for the backslashes it keeps in tag values that hold '"' or
'\\').
"""

from __future__ import annotations

import atexit
import contextlib
import errno
import functools
import io
import os
import re
import secrets
import signal
import stat
import threading
from collections.abc import Iterable, Iterator, Mapping
from typing import Protocol, Union

from orvex_tools import _pgn
from orvex_tools.pgn import Game, read_games

__all__ = ["GameRecord", "TextWriter", "format_game", "write_games"]

#: A game as a tuple: (tags, start FEN or None for the standard start, coordinate moves, result).
GameRecord = tuple[Mapping[str, str], Union[str, None], Iterable[str], str]

STANDARD_START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
RESULTS = frozenset(("1-0", "0-1", "1/2-1/2", "*"))
#: The seven tag roster, in export order, with the values written for a missing tag.
ROSTER = (("Event", "?"), ("Site", "?"), ("Date", "????.??.??"), ("Round", "?"), ("White", "?"),
          ("Black", "?"), ("Result", "*"))
#: Tags the writer sets itself: the roster's Result from the result, SetUp and FEN from the start.
_OWN_TAGS = frozenset(name for name, _ in ROSTER) | {"SetUp", "FEN"}
#: The Variant tag values read_games reads as Chess960 (in any case); a Chess960 game is written
#: with the first.
CHESS960_NAMES = ("Chess960", "chess 960", "Fischerandom", "Fischer Random")
_CHESS960_LOWER = frozenset(name.lower() for name in CHESS960_NAMES)

_TAG_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_+#=:-]*")
_FEN_TEXT = re.compile(r"[A-Za-z0-9/ -]*")
_FEN_REASON = re.compile(r"invalid FEN tag \((.*)\) '")


class TextWriter(Protocol):
    """A text stream write_games can write to: write(text)."""

    def write(self, text: str, /) -> object: ...


class _RecordError(ValueError):
    """What is wrong with one record; write_games names the game in front of it."""


def write_games(destination: str | os.PathLike[str] | TextWriter,
                games: Iterable[Game | GameRecord]) -> int:
    """Writes the games as PGN and returns how many were written.

    destination is a path or a file object opened for writing text; games
    yields Game records (as read_games gives them) or (tags, start_fen, moves,
    result) tuples, moves in coordinate notation. A Chess960 game (a Game
    whose chess960 is set, a tuple whose Variant tag names Chess960 or whose
    start FEN only makes sense in Chess960) is written with the Variant tag
    "Chess960" and its start as SetUp and FEN tags in X-FEN, its castlings
    given king-takes-rook (e1h1) and written O-O, O-O-O. A game that cannot be
    written (an illegal move, a bad start FEN, result, tag name or value)
    raises ValueError naming its place in games (from 0), its index if it is
    a Game, and the fault; a record of the wrong shape raises TypeError. A
    path of a regular file (or of none) is written through a temporary file in
    the same directory, renamed into place only after the last game: any
    failure leaves the old file (or no file) untouched. Other paths (a device,
    a FIFO, /dev/stdout) are appended to in place as the games come; a
    directory or "" raises before a game is taken. A file object gets each
    game's text in one write, so it holds the games before the failing one and
    nothing of that one.
    """
    if isinstance(destination, (str, os.PathLike)):
        return _write_path(os.fspath(destination), _records(games))
    if isinstance(destination, (io.RawIOBase, io.BufferedIOBase)) or not callable(
            getattr(destination, "write", None)):
        raise TypeError("write_games() argument 'destination' must be a path or a file object "
                        f"opened for writing text, not {type(destination).__name__}")
    return _write_stream(destination, _records(games))


def format_game(game: Game | GameRecord) -> str:
    """Returns one game's PGN text: tag lines, a blank line, movetext, a blank line.

    Raises ValueError (naming the Game's index, if it is one) or TypeError as
    write_games does.
    """
    try:
        return _game_text(game)
    except _RecordError as error:
        where = f"game (index {game.index}): " if isinstance(game, Game) else ""
        raise ValueError(f"{where}{error}") from None


def _write_stream(stream: TextWriter, games: Iterable[Game | GameRecord]) -> int:
    write = stream.write
    count = 0
    for place, game in enumerate(games):
        write(_numbered_text(place, game))
        count += 1
    return count


def _names_a_descriptor(path: str) -> bool:
    """Whether path is, or leads by symbolic links to, a name under /dev or /proc
    (such as /dev/stdout, which names whatever standard output is open on)."""
    current = os.path.abspath(path)
    for _ in range(40):  # the most links the system follows
        if current.startswith(("/dev/", "/proc/")):
            return True
        try:
            link = os.readlink(current)
        except OSError:
            return False
        current = os.path.normpath(os.path.join(os.path.dirname(current), link))
    return False


def _write_path(path: str, games: Iterable[Game | GameRecord]) -> int:
    # The destination is checked before the first game is taken from games.
    if not path:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    target = os.path.realpath(path)  # through a symbolic link, like open(path, "w")
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if (mode is not None and not stat.S_ISREG(mode)) or _names_a_descriptor(path):
        # A device, a FIFO or a file descriptor's name: written in place, as
        # the games come, after what it holds (a rename would replace the
        # device or the FIFO by a file, or the file behind /dev/stdout).
        with open(path, "a", encoding="utf-8", newline="\n") as stream:
            return _write_stream(stream, games)
    directory, name = os.path.split(target)
    while True:
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    with _removed_on_exit(temporary):
        try:
            with open(fd, "w", encoding="utf-8", newline="\n") as stream:
                count = _write_stream(stream, games)
                stream.flush()
                os.fsync(stream.fileno())
            try:
                os.chmod(temporary, os.stat(target).st_mode & 0o7777)  # a replaced file keeps its mode
            except FileNotFoundError:
                pass
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
            raise
    return count


#: The temporary files being written, removed if the process ends first.
_PENDING: set[str] = set()
_PENDING_LOCK = threading.Lock()
#: How many writes in the main thread have the SIGTERM handler below installed.
_TERM_USERS = 0


def _remove_pending() -> None:
    with _PENDING_LOCK:
        pending = list(_PENDING)
        _PENDING.clear()
    for temporary in pending:
        with contextlib.suppress(OSError):
            os.unlink(temporary)


atexit.register(_remove_pending)


def _on_sigterm(signum: int, frame: object) -> None:
    """Removes the temporary files, then ends the process as SIGTERM would have."""
    _remove_pending()
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


@contextlib.contextmanager
def _removed_on_exit(temporary: str) -> Iterator[None]:
    """Removes the temporary file if the interpreter exits (a write in a daemon
    thread) or, while the main thread writes, SIGTERM comes (when SIGTERM has
    its default action) before the write ends."""
    global _TERM_USERS
    with _PENDING_LOCK:
        _PENDING.add(temporary)
    handled = False
    if threading.current_thread() is threading.main_thread():
        handled = _TERM_USERS > 0 or signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
        if handled:
            if _TERM_USERS == 0:
                signal.signal(signal.SIGTERM, _on_sigterm)
            _TERM_USERS += 1
    try:
        yield
    finally:
        if handled:
            _TERM_USERS -= 1
            if _TERM_USERS == 0 and signal.getsignal(signal.SIGTERM) is _on_sigterm:
                signal.signal(signal.SIGTERM, signal.SIG_DFL)
        with _PENDING_LOCK:
            _PENDING.discard(temporary)


def _records(games: Iterable[Game | GameRecord]) -> Iterable[Game | GameRecord]:
    if isinstance(games, (str, bytes)) or not isinstance(games, Iterable):
        raise TypeError("write_games() argument 'games' must be an iterable of Game records or "
                        f"(tags, start_fen, moves, result) tuples, not {type(games).__name__}")
    return games


def _numbered_text(place: int, game: Game | GameRecord) -> str:
    try:
        return _game_text(game)
    except _RecordError as error:
        index = f" (index {game.index})" if isinstance(game, Game) else ""
        raise ValueError(f"game {place}{index}: {error}") from None
    except TypeError as error:
        raise TypeError(f"game {place}: {error}") from None


def _game_text(game: Game | GameRecord) -> str:
    tags: object
    fen: object
    moves: object
    result: object
    chess960 = False
    if isinstance(game, Game):
        tags, fen, moves, result = game.tags, game.fen, game.moves, game.result
        chess960 = game.chess960
    elif isinstance(game, tuple) and len(game) == 4:
        tags, fen, moves, result = game
    else:
        raise TypeError("a game must be a Game or a (tags, start_fen, moves, result) tuple, "
                        f"not {type(game).__name__}")
    if not isinstance(tags, Mapping):
        raise TypeError(f"tags must be a mapping of str to str, not {type(tags).__name__}")
    if not (fen is None or isinstance(fen, str)):
        raise TypeError(f"the start FEN must be a str or None, not {type(fen).__name__}")
    if isinstance(moves, (str, bytes)) or not isinstance(moves, Iterable):
        raise TypeError(f"moves must be an iterable of str, not {type(moves).__name__}")
    if not isinstance(result, str):
        raise TypeError(f"the result must be a str, not {type(result).__name__}")
    if result not in RESULTS:
        raise _RecordError(f"invalid result {result!r} (1-0, 0-1, 1/2-1/2 or *)")

    variant = tags.get("Variant")
    chess960 = chess960 or (isinstance(variant, str) and variant.lower() in _CHESS960_LOWER)
    start, halfmove, fullmove, chess960 = _start(fen, tags, chess960)
    lines = [_tag_line(name, tags.get(name, default)) for name, default in ROSTER[:-1]]
    lines.append(_tag_line("Result", result))
    for name, value in tags.items():
        if not isinstance(name, str):
            raise TypeError(f"tag names must be str, not {type(name).__name__}")
        if name not in _OWN_TAGS and not (chess960 and name == "Variant"):
            lines.append(_tag_line(name, value))
    if chess960:
        lines.append(f'[Variant "{CHESS960_NAMES[0]}"]')
    if chess960 or start != STANDARD_START or (halfmove, fullmove) != (0, 1):
        lines.append('[SetUp "1"]')
        lines.append(f'[FEN "{start} {halfmove} {fullmove}"]')
    lines.append("")
    lines.append(_movetext(start, fullmove, moves, result, chess960))
    lines.append("")
    lines.append("")
    return "\n".join(lines)


def _tag_line(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"tag values must be str, not {type(value).__name__} (tag {name})")
    if not _TAG_NAME.fullmatch(name):
        raise _RecordError(f"invalid tag name {name!r}")
    if "\n" in value or "\r" in value:
        raise _RecordError(f"the value of tag {name} holds a line break")
    if not value.isascii():
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise _RecordError(f"the value of tag {name} is not valid Unicode text") from None
    escaped = value.replace("\\", "\\\\").replace('"', '\\"')
    return f'[{name} "{escaped}"]'


def _start(fen: str | None, tags: Mapping[str, str], chess960: bool) -> tuple[str, int, int, bool]:
    """The start position as read_games reads it, its move counters, and
    whether the game is Chess960 (chess960: it is said to be; else as the FEN
    tells).

    Without counters of its own, a start takes those of a FEN tag in tags that
    names the same position (as a Game's FEN tag does), else 0 and 1.
    """
    if fen is None:
        return STANDARD_START, 0, 1, chess960
    start, counters, chess960 = _position(fen, chess960)
    if not counters:
        tag = tags.get("FEN")
        if isinstance(tag, str):
            try:
                tag_start, tag_counters, _ = _position(tag, chess960)
            except _RecordError:
                tag_start, tag_counters = "", []
            if tag_start == start:
                counters = tag_counters
    halfmove = int(counters[0]) if counters else 0
    fullmove = int(counters[1]) if len(counters) > 1 else 1
    return start, halfmove, max(fullmove, 1), chess960


def _position(fen: str, chess960: bool) -> tuple[str, list[str], bool]:
    """The four position fields of a FEN, cleaned as read_games cleans them, its
    counters, and whether it is read as Chess960."""
    fields = fen.split()
    if not _FEN_TEXT.fullmatch(fen):
        raise _RecordError(f"invalid start FEN {fen!r}")
    start, read_as_chess960 = _read_position(" ".join(fields), chess960)
    return start, fields[4:], read_as_chess960


@functools.lru_cache(maxsize=4096)
def _read_position(fen: str, chess960: bool) -> tuple[str, bool]:
    # The PGN reader itself judges the start, so that every start written reads back.
    variant = f'[Variant "{CHESS960_NAMES[0]}"]\n' if chess960 else ""
    try:
        with read_games(io.StringIO(f'{variant}[FEN "{fen}"]\n\n*\n')) as reader:
            game = next(reader)
            return game.fen, game.chess960
    except ValueError as error:
        reason = _FEN_REASON.search(str(error))
        raise _RecordError(f"invalid start FEN {fen!r}"
                           + (f" ({reason.group(1)})" if reason else "")) from None


def _movetext(start: str, fullmove: int, moves: Iterable[str], result: str, chess960: bool) -> str:
    """The movetext, written by the C++ core in one pass: SAN with move numbers in
    lines of at most 80 characters (a move number stays on the line of its move),
    ended by the result."""
    text = _pgn.movetext(start, str(fullmove), moves, result, chess960)
    if isinstance(text, str):
        return text
    ply, move = text
    if not isinstance(move, str):
        raise TypeError(f"moves must be str, not {type(move).__name__} (moves[{ply}])")
    raise _RecordError(f"illegal move {move!r} (moves[{ply}])")
