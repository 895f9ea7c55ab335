"""Cutting the input text into chunks of whole games.

A chunk ends at a game boundary (orvex_tools._pgn.find_game_boundary, the
reader's rule: before a tag line that follows blank lines after a line ending
in a result), the first at or after each multiple of the chunk size. Plain
files are cut by the workers (a chunk is a byte range of the file, its edges
moved to the boundaries); compressed files are decompressed here, by the
driver, as a stream.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, Union

from orvex_tools import _pgn
from orvex_tools.pgn import MAGIC_BYTES, MAX_GAME_BYTES, compression_of, decompressed
from orvex_tools.stream_errors import damaged_stream_reason

PathLike = Union[str, "os.PathLike[str]"]

#: The chunk size is chosen so that each worker thread gets about this many chunks.
CHUNKS_PER_THREAD = 8
MIN_CHUNK_BYTES = 256 << 10
MAX_CHUNK_BYTES = 32 << 20
#: How much larger than its file the text of a compressed file is assumed to be.
COMPRESSION_GUESS = 5
_READ_BLOCK = 1 << 20


@dataclass
class Input:
    """One input file, as checked before the run."""

    index: int
    label: str  # as given
    path: str  # absolute
    compressed: bool
    size: int


def inspect_inputs(games: Sequence[PathLike]) -> list[Input]:
    """Opens each input to check that it can be read and to tell its compression.
    Raises OSError (of the matching kind, its message naming the file)."""
    inputs = []
    for index, given in enumerate(games):
        label = os.fspath(given)
        path = os.path.abspath(label)
        try:
            with open(path, "rb") as raw:
                size = os.fstat(raw.fileno()).st_size
                magic = raw.read(MAGIC_BYTES)
        except OSError as exc:
            # The same kind of OSError, its strerror the whole message.
            raise type(exc)(exc.errno, f"cannot read {label!r}: {exc.strerror}") from None
        inputs.append(Input(index, label, path, compression_of(magic) is not None, size))
    return inputs


def choose_chunk_bytes(inputs: list[Input], threads: int) -> int:
    text_bytes = sum(i.size * (COMPRESSION_GUESS if i.compressed else 1) for i in inputs)
    wanted = text_bytes // max(1, threads * CHUNKS_PER_THREAD)
    return min(MAX_CHUNK_BYTES, max(MIN_CHUNK_BYTES, wanted))


def _cut(data: Any, at: int, size: int) -> int:
    """The chunk edge for the nominal offset at: the first boundary at or after it, or the end."""
    if at <= 0:
        return 0
    if at >= size:
        return size
    found = _pgn.find_game_boundary(data, at)
    return size if found is None else int(found)


@dataclass(frozen=True)
class FileSpan:
    """Bytes start to end of a plain file, read by the worker that needs them."""

    path: str
    start: int
    end: int


def span_text(span: FileSpan) -> bytes:
    with open(span.path, "rb") as file:
        file.seek(span.start)
        return file.read(span.end - span.start)


def cut_span(span: FileSpan) -> FileSpan:
    """The span of whole games whose nominal edges are span.start and span.end."""
    with open(span.path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size == 0:
            return FileSpan(span.path, 0, 0)
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
            start = _cut(data, span.start, size)
            end = _cut(data, span.end, size)
    return FileSpan(span.path, start, max(start, end))


def stream_chunks(stream: IO[bytes] | Any, chunk_bytes: int, label: str = "the input",
                  max_game_bytes: int = MAX_GAME_BYTES) -> Iterator[bytes]:
    """Yields the text of a binary stream in chunks of whole games, each at least
    chunk_bytes long (but the last), cut at game boundaries.

    Text without a boundary for more than max_game_bytes past the chunk size
    (a game longer than that, or games that do not end in results) raises
    ValueError naming the line where that text begins, so that a stream that
    never ends a game is refused after that many bytes instead of filling memory.
    """
    buffer = bytearray()
    lines = 0  # line breaks in the chunks yielded
    while True:
        block = stream.read(_READ_BLOCK)
        if block:
            buffer += block
        while len(buffer) > chunk_bytes:
            cut = _pgn.find_game_boundary(buffer, chunk_bytes)
            if cut is None:
                if len(buffer) > chunk_bytes + max_game_bytes:
                    line = lines + buffer.count(b"\n", 0, chunk_bytes) + 1
                    raise ValueError(f"{label}: no game ends in the {max_game_bytes} bytes after "
                                     f"line {line} (a game longer than max_game_bytes, or games "
                                     f"without results)")
                break
            chunk = bytes(buffer[:cut])
            lines += chunk.count(b"\n")
            yield chunk
            del buffer[:cut]
        if not block:
            if buffer:
                yield bytes(buffer)
            return


def chunk_sources(inputs: list[Input], chunk_bytes: int,
                  max_game_bytes: int = MAX_GAME_BYTES) -> Iterator[tuple[Input, FileSpan | bytes]]:
    """Yields each chunk's input and source, in input order: nominal spans of
    plain files, the text of compressed files decompressed here."""
    for item in inputs:
        if not item.compressed:
            for start in range(0, item.size, chunk_bytes):
                yield item, FileSpan(item.path, start, min(item.size, start + chunk_bytes))
            continue
        for text in file_chunks(item, chunk_bytes, max_game_bytes):
            yield item, text


def file_chunks(item: Input, chunk_bytes: int, max_game_bytes: int = MAX_GAME_BYTES) -> Iterator[bytes]:
    """Yields the text of an input file (decompressed) in chunks of whole games,
    as stream_chunks cuts them; data that is truncated or damaged raises what
    unreadable() gives."""
    with open(item.path, "rb") as raw:
        stream = decompressed(raw, repr(item.label)) if item.compressed else raw
        chunks = stream_chunks(stream, chunk_bytes, item.label, max_game_bytes)
        while True:
            try:
                text = next(chunks, None)
            except Exception as exc:
                raise unreadable(item.label, exc) from exc
            if text is None:
                return
            yield text


def unreadable(label: str, exc: Exception) -> Exception:
    """The error to raise for exc, raised while decompressing the input label:
    EOFError for data that ends early, OSError for damaged data (both naming
    the file), else exc itself."""
    reason = damaged_stream_reason(exc)
    if reason is None:
        return exc
    message = f"cannot read {label!r}: {reason}"
    return EOFError(message) if isinstance(exc, EOFError) else OSError(message)
