"""Reading chess games from PGN files, fast.

    with orvex_tools.read_games("games.pgn.zst", errors="skip", threads=2) as games:
        for game in games:
            print(game.tags.get("White"), game.result, len(game.moves))

The text is cut into games, and each game's main line is replayed move by move
by the C++ core with the interpreter lock released; the games come back in file
order as Game records, whatever the number of threads.
"""

from __future__ import annotations

import bz2
import errno
import gzip
import importlib
import io
import lzma
import os
import select
import stat
import threading
from collections.abc import Callable
from types import TracebackType
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Literal, Protocol, Union, cast

import orvex_chess

from orvex_tools import _pgn

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

__all__ = ["ByteStream", "Game", "GameError", "GameReader", "compression_of", "decompressed", "read_games"]

#: The bytes requested from the source per read (per thread with threads > 1).
BLOCK_SIZE = 1 << 20

#: The default of read_games(max_game_bytes=...): the longest a game's text, or
#: a line between games, may be.
MAX_GAME_BYTES = 64 << 20


class ByteStream(Protocol):
    """A binary stream read_games can read: read(size) -> bytes, and close()."""

    def read(self, size: int = ..., /) -> bytes: ...

    def close(self) -> None: ...


class TextStream(Protocol):
    """A text stream read_games can read: read(size) -> str."""

    def read(self, size: int = ..., /) -> str: ...


Source = Union[str, "os.PathLike[str]", ByteStream, TextStream]


@dataclass(slots=True)
class Game:
    """One game: its tags, start position, main-line moves and result."""

    #: The game's place in the file, counted from 0 (games that failed count too).
    index: int
    #: The line of the file where the game begins, counted from 1.
    line: int
    #: The tag pairs in file order (a repeated tag keeps its first place and last value).
    tags: dict[str, str]
    #: The start position as Board.fen() writes it: four fields, no move counters.
    fen: str
    #: The main-line moves in coordinate notation, as MoveGenerator writes them.
    moves: list[str]
    #: The Result tag when it is 1-0, 0-1 or 1/2-1/2; else the result that ends the movetext; else "*".
    result: str
    #: The start position's halfmove clock: from the FEN tag's fifth field, else 0.
    halfmove_clock: int = 0
    #: The start position's fullmove number: from the FEN tag's sixth field, else 1.
    fullmove_number: int = 1
    #: Whether the game is Chess960: its Variant tag names Chess960 (Chess960,
    #: Chess 960, Fischerandom, Fischer Random, in any case) or its FEN tag only
    #: makes sense in Chess960. Its fen is then X-FEN and castlings in moves are
    #: written king-takes-rook (e1h1).
    chess960: bool = False

    def board(self) -> orvex_chess.Board:
        """Returns a new Board at the game's start position, with its move counters
        and castling rules (Chess960 or standard)."""
        return orvex_chess.Board(f"{self.fen} {self.halfmove_clock} {self.fullmove_number}",
                                 chess960=self.chess960)


@dataclass(frozen=True, slots=True)
class GameError:
    """A game that could not be replayed, as kept in GameReader.errors."""

    #: The game's place in the file, counted from 0.
    index: int
    #: The line of the move (or tag) at fault, counted from 1.
    line: int
    #: The move (or tag value) at fault, shortened to 40 characters.
    text: str
    #: The whole report, as the ValueError of errors="raise" gives it.
    message: str

    def __str__(self) -> str:
        return self.message


_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
#: The first bytes of each compression that read_games reads.
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (_ZSTD_MAGIC, "zstd"),
          (b"\xfd7zXZ\x00", "xz"))
#: The bytes compression_of needs to tell every compression.
MAGIC_BYTES = 6


def compression_of(head: bytes) -> str | None:
    """The compression ("gzip", "bzip2", "zstd" or "xz") whose stream begins with
    the bytes head (the first MAGIC_BYTES bytes of a file, or more), or None for
    plain text."""
    for magic, name in _MAGIC:
        if head.startswith(magic):
            return name
    return None
_TRUNCATED = "Compressed file ended before the end-of-stream marker was reached"


def _skippable(head: bytearray) -> bool:
    """Whether a Zstandard frame header is that of a skippable frame."""
    return int.from_bytes(head[:4], "little") & 0xFFFFFFF0 == 0x184D2A50


class _ZstdFrames:
    """The compressed bytes of a Zstandard stream, passed on as read, whose frames are
    followed through their headers (frame, block and skippable-frame headers; the
    blocks themselves are skipped, not decoded): a stream that ends inside a frame
    raises EOFError, as gzip and bzip2 streams do. The Zstandard decompressor alone
    takes such a stream for a whole one."""

    _FRAME, _BLOCK, _UNKNOWN = range(3)

    def __init__(self, raw: IO[bytes]) -> None:
        self._raw = raw
        self._next = self._FRAME  # the kind of header that comes next
        self._head = bytearray()  # the part of that header read so far
        self._skip = 0  # block content, checksum or skippable frame left to pass over
        self._checksum = False  # the current frame ends with a checksum

    def read(self, size: int = -1, /) -> bytes:
        data = self._raw.read(size)
        if data:
            self._follow(memoryview(data))
        elif self._skip or self._head or self._next == self._BLOCK:
            raise EOFError(_TRUNCATED)
        return data

    def _header_size(self) -> int | None:
        """The size of the next header, as far as its bytes so far tell; None: not Zstandard."""
        head = self._head
        if self._next == self._BLOCK:
            return 3
        if len(head) < 4:
            return 4
        if _skippable(head):  # its size follows the magic number
            return 8
        if head[:4] != _ZSTD_MAGIC:
            return None
        if len(head) < 5:
            return 5
        descriptor = head[4]
        single_segment = descriptor >> 5 & 1
        content_size = (single_segment, 2, 4, 8)[descriptor >> 6]
        return 5 + (1 - single_segment) + (0, 1, 2, 4)[descriptor & 3] + content_size

    def _follow(self, data: memoryview) -> None:
        at = 0
        while at < len(data) and self._next != self._UNKNOWN:
            if self._skip:
                step = min(self._skip, len(data) - at)
                self._skip -= step
                at += step
                continue
            size = self._header_size()
            if size is None:
                self._next = self._UNKNOWN  # the decompressor reports what it is
                return
            if len(self._head) < size:
                step = min(size - len(self._head), len(data) - at)
                self._head += data[at:at + step]
                at += step
                continue
            self._read_header()
            self._head.clear()

    def _read_header(self) -> None:
        head = self._head
        if self._next == self._BLOCK:
            header = int.from_bytes(head, "little")
            kind = header >> 1 & 3
            if kind == 3:
                self._next = self._UNKNOWN
                return
            self._skip = 1 if kind == 1 else header >> 3  # a run-length block holds one byte
            if header & 1:  # the last block of the frame
                self._skip += 4 * self._checksum
                self._next = self._FRAME
        elif _skippable(head):
            self._skip = int.from_bytes(head[4:8], "little")
        else:
            self._checksum = bool(head[4] >> 2 & 1)
            self._next = self._BLOCK


class _Prefixed:
    """The bytes of a binary stream whose first bytes were read already: those
    bytes first, then the rest of the stream. Every read returns at once what
    it has (at least a byte, until the end); read1 reads the stream at most once."""

    def __init__(self, head: bytes, raw: IO[bytes], prompt: Callable[[int], bytes]) -> None:
        self._head = head
        self._read = raw.read
        self._prompt = prompt

    def _take(self, size: int) -> bytes:
        head = self._head[:size] if size is not None and size >= 0 else self._head
        self._head = self._head[len(head):]
        return head

    def read(self, size: int = -1, /) -> bytes:
        return self._take(size) if self._head and size != 0 else self._read(size)

    def read1(self, size: int = -1, /) -> bytes:
        return self._take(size) if self._head and size != 0 else self._prompt(size)

    def close(self) -> None:
        """Leaves the stream open, as decompressors leave theirs."""


def _read_once(raw: IO[bytes]) -> Callable[[int], bytes]:
    """read(n) of raw that reads the stream at most once (read1), where it can."""
    read1 = getattr(raw, "read1", None)
    return read1 if callable(read1) else raw.read


def _sniffed(raw: IO[bytes]) -> tuple[bytes, IO[bytes] | _Prefixed]:
    """The first bytes of raw (MAGIC_BYTES of them, fewer at the end) and a
    stream of all its bytes: raw itself when it let them be peeked at."""
    peek = getattr(raw, "peek", None)
    if callable(peek):
        head = peek(MAGIC_BYTES)
        if len(head) >= MAGIC_BYTES:
            return head[:MAGIC_BYTES], raw
    head = b""
    while len(head) < MAGIC_BYTES:
        more = raw.read(MAGIC_BYTES - len(head))
        if not isinstance(more, (bytes, bytearray)):
            raise TypeError(f"read() must return bytes, not {type(more).__name__}")
        if not more:
            break
        head += more
    return head, _Prefixed(head, raw, _read_once(raw))


class _Prompt:
    """A binary stream whose read(n) returns what has come (read1): what a
    decompressor reads from a pipe or a FIFO, so that it does not wait for
    a whole block before it decompresses what it has."""

    def __init__(self, raw: IO[bytes] | _Prefixed) -> None:
        self.read = _read_once(cast(IO[bytes], raw))

    def close(self) -> None:
        """Leaves the stream open."""


def decompressed(raw: IO[bytes], name: str = "", *, live: bool = False) -> ByteStream:
    """Returns a reader of the bytes of a binary file, decompressing gzip, bzip2,
    xz or Zstandard.

    The compression is recognised by the first bytes, peeked at where raw lets
    them be (buffered readers such as sys.stdin.buffer do), else read and put
    back in front. Closing the result leaves raw open. A compressed stream
    cut short raises EOFError when its end is reached. live (a pipe, a FIFO):
    the decompressor reads what has come rather than waiting for a block.
    """
    head, stream = _sniffed(raw)
    compression = compression_of(head)
    if compression is None:
        return stream
    source = cast(IO[bytes], _Prompt(stream) if live else stream)
    if compression == "gzip":
        return gzip.GzipFile(fileobj=source, mode="rb")
    if compression == "bzip2":
        return bz2.BZ2File(source, mode="rb")
    if compression == "xz":
        return lzma.LZMAFile(source, mode="rb")
    if compression == "zstd":
        try:
            zstandard = importlib.import_module("zstandard")
        except ImportError:
            raise ModuleNotFoundError(
                f"{name or 'the file'} is Zstandard-compressed: install the 'zstandard' "
                "package (pip install 'orvex_chess[zstd]')"
            ) from None
        reader: ByteStream = zstandard.ZstdDecompressor().stream_reader(
            _ZstdFrames(source), read_across_frames=True, closefd=False
        )
        return reader
    raise AssertionError(compression)


class _StoppableFile(io.RawIOBase):
    """A file opened for reading whose read, while it waits for input (from a FIFO
    or a device), another thread can cut short with stop(): that read, and every
    read after it, raises OSError (ECANCELED)."""

    mode = "rb"

    def __init__(self, file: io.FileIO) -> None:
        super().__init__()
        self._file = file
        self.name = file.name
        self._lock = threading.Lock()  # stop() against close()
        self._wake_out = self._wake_in = -1  # a pipe that stop() writes to
        try:
            self._wake_out, self._wake_in = os.pipe()
            self._poll = select.poll()
            self._poll.register(file.fileno(), select.POLLIN)
            self._poll.register(self._wake_out, select.POLLIN)
        except BaseException:
            self.close()
            raise

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._file.fileno()

    def readinto(self, buffer: WriteableBuffer, /) -> int | None:
        if any(fd == self._wake_out for fd, _ in self._poll.poll()):
            raise OSError(errno.ECANCELED, "the read was stopped by GameReader.close()")
        return self._file.readinto(buffer)

    def stop(self) -> None:
        with self._lock:
            if not self.closed:
                os.write(self._wake_in, b"\0")

    def close(self) -> None:
        with self._lock:
            if not self.closed:
                for fd in (self._wake_out, self._wake_in):
                    if fd >= 0:
                        os.close(fd)
                self._file.close()
            super().close()


def _open_path(path: str | os.PathLike[str]) -> tuple[_StoppableFile, ByteStream, bool]:
    """Returns the file at path, the stream of its bytes, decompressed, and
    whether it is live (not a regular file)."""
    file = _StoppableFile(open(path, "rb", buffering=0))
    try:
        live = is_live(file)
        return file, decompressed(io.BufferedReader(file), repr(os.fspath(path)), live=live), live
    except BaseException:
        file.close()
        raise


def is_live(stream: object) -> bool:
    """Whether a stream reads from a pipe, a FIFO, a socket or a device (whose
    input comes when it comes) rather than from a regular file or memory."""
    try:
        fd = cast(IO[bytes], stream).fileno()
        return not stat.S_ISREG(os.fstat(fd).st_mode)
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both
        return False


def _prompt_reader(read_once: Callable[[int], object], fd: int | None,
                   empty: bytes | str) -> Callable[[int], object]:
    """read(n) of a live stream: waits for the first input, then takes what
    else has come (while the file descriptor fd has input, up to n), and
    returns; read_once(n) reads the stream at most once."""
    poll = None
    if fd is not None:
        poll = select.poll()
        poll.register(fd, select.POLLIN)

    def read(size: int) -> object:
        data = read_once(size)
        if poll is None or not data:
            return data
        parts = [data]
        have = len(data)  # type: ignore[arg-type]
        while have < size and poll.poll(0):
            more = read_once(size - have)
            if not more:
                break
            parts.append(more)
            have += len(more)  # type: ignore[arg-type]
        return empty.join(parts)  # type: ignore[arg-type]

    return read


def _fileno(stream: object) -> int | None:
    try:
        return cast(IO[bytes], stream).fileno()
    except (AttributeError, OSError, ValueError):
        return None


class GameReader:
    """An iterator over the games of a PGN source; use read_games() to make one.

    It is its own context manager: leaving the with-block (or close()) stops
    the reading and closes a file that it opened itself.
    """

    def __init__(
        self,
        source: Source,
        *,
        errors: Literal["raise", "skip"] = "raise",
        threads: int | None = 1,
        max_game_bytes: int | None = MAX_GAME_BYTES,
    ) -> None:
        if errors not in ("raise", "skip"):
            raise ValueError(f"read_games() argument 'errors' must be 'raise' or 'skip', "
                             f"not {errors!r}")
        if max_game_bytes is not None:
            if not isinstance(max_game_bytes, int) or isinstance(max_game_bytes, bool):
                raise TypeError("read_games() argument 'max_game_bytes' must be int or None, "
                                f"not {type(max_game_bytes).__name__}")
            if max_game_bytes < 1:
                raise ValueError("read_games() argument 'max_game_bytes' must be positive, "
                                 f"not {max_game_bytes}")
        self._closing = False  # close() was called
        self._file: _StoppableFile | None = None  # the file opened here
        self._owned: ByteStream | None = None  # the stream of its bytes
        read: Callable[[int], bytes]
        readinto = None
        live = False
        if isinstance(source, (str, os.PathLike)):
            self._file, self._owned, live = _open_path(source)
            if live:
                read = cast(Callable[[int], bytes], _prompt_reader(
                    _read_once(cast(IO[bytes], self._owned)), self._file.fileno(), b""))
            else:
                read = self._owned.read
                # The streams opened here read straight into the reader's buffer.
                readinto = getattr(self._owned, "readinto", None)
        elif hasattr(source, "read"):
            live = is_live(source)
            read = _bytes_reader(source, live)
        else:
            raise TypeError(
                "read_games() argument 'source' must be a path or a file object opened "
                f"for reading, not {type(source).__name__}"
            )
        try:
            self._core = _pgn.Reader(read, Game, GameError, errors == "skip", threads, BLOCK_SIZE,
                                     max_game_bytes, readinto, live)
        except BaseException:
            self._close_source()
            raise

    def __iter__(self) -> GameReader:
        return self

    def __next__(self) -> Game:
        try:
            game: Game = next(self._core)
        except BaseException:
            if self._closing:  # close() was called from another thread while this one read
                self._close_source()
            raise
        return game

    @property
    def skipped(self) -> int:
        """The number of games that could not be replayed (and were not yielded)."""
        return self._core.skipped

    @property
    def errors(self) -> list[GameError]:
        """The error records of the first games that could not be replayed (at most 100)."""
        return self._core.errors

    def close(self) -> None:
        """Stops reading and closes the file that the reader opened itself, if any.

        Any thread may call it. When another thread is inside next() (waiting
        for input from a FIFO or a pipe, say), that thread stops as soon as it
        regains control and its next() raises StopIteration; the file is closed
        then. A read from a file that the reader opened is cut short; a read
        from a file object given to read_games() ends when it returns.
        """
        self._closing = True
        if self._core.close():
            self._close_source()
        else:
            file = self._file
            if file is not None:
                file.stop()

    def _close_source(self) -> None:
        owned, file = self._owned, self._file
        self._owned = self._file = None
        if owned is not None:
            owned.close()
        if file is not None:  # decompressors leave the file they read open
            file.close()

    def __enter__(self) -> GameReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def _bytes_reader(stream: ByteStream | TextStream, live: bool) -> Callable[[int], bytes]:
    """Returns read(n) -> bytes for a binary stream, decompressed as a path's
    bytes are, or a text stream (encoded as UTF-8). From a live stream, read(n)
    returns what has come."""
    first = stream.read(0)
    if isinstance(first, str):
        return _encoded(cast(TextStream, stream), live)
    if not isinstance(first, (bytes, bytearray, memoryview)):
        raise TypeError(f"source.read() must return bytes or str, not {type(first).__name__}")
    binary = cast(IO[bytes], stream)
    plain = decompressed(binary, live=live)
    if not live:
        return plain.read
    return cast(Callable[[int], bytes],
                _prompt_reader(_read_once(cast(IO[bytes], plain)), _fileno(binary), b""))


def _encoded(stream: TextStream, live: bool) -> Callable[[int], bytes]:
    read: Callable[[int], str] = stream.read
    readline = getattr(stream, "readline", None)
    if live and callable(readline):  # a line as soon as it has come, not n characters
        read = cast(Callable[[int], str], _prompt_reader(lambda size: readline(size), _fileno(stream), ""))

    def read_bytes(size: int) -> bytes:
        text = read(size)
        if not isinstance(text, str):
            raise TypeError(f"source.read() must return str, not {type(text).__name__}")
        return text.encode("utf-8", "surrogatepass")

    return read_bytes


def read_games(
    source: Source,
    *,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = 1,
    max_game_bytes: int | None = MAX_GAME_BYTES,
) -> GameReader:
    """Returns an iterator over the games of a PGN file, in file order.

    source is a path (plain text, or gzip, bzip2, xz or Zstandard compressed,
    recognised by content) or a file object opened for reading bytes (decompressed
    in the same way) or text. From a pipe or a FIFO, each game is returned as
    soon as its end has come.
    A game with an illegal or unreadable main-line move, a bad FEN tag or an
    unsupported Variant tag raises ValueError naming the game, its line and the
    move (errors="raise"), or is skipped and counted (errors="skip"). With
    threads > 1 (None: one per available core) that many threads replay games
    at the same time, with the interpreter lock released; the games and errors
    are the same. A game (from its first line to its end), or a line between
    games, longer than max_game_bytes (None: no limit) ends the reading with
    ValueError naming its line, once the games before it are out, so that input
    that never ends a line or a game is refused after that many bytes.
    """
    return GameReader(source, errors=errors, threads=threads, max_game_bytes=max_game_bytes)
