"""The rows of a chunk and their Parquet files: the two tasks a worker runs per chunk.

read_chunk reads and replays a chunk's games in C++ (orvex_tools._pgn.position_rows,
with the interpreter lock released) and keeps the rows as arrays on the worker,
with the chunk's counts: its games and lines, and the games that failed. Once
the driver knows how many games the chunks before it hold, write_chunk writes
the rows, their game numbers counted in the file, to Parquet files in the
staging directory.
"""

from __future__ import annotations

import os
import uuid
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from orvex_tools import _pgn
from orvex_tools.dataset.chunks import FileSpan, cut_span, span_text
from orvex_tools.pgn import MAX_GAME_BYTES

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pyarrow as pa

Encoding = Literal["az", "lc0"]
Compression = Literal["zstd", "lz4", "snappy", "none"]

#: The Parquet compressions build_dataset offers.
COMPRESSIONS: tuple[str, ...] = ("zstd", "lz4", "snappy", "none")
#: The Zstandard level: a fast one (Parquet files are written once per run and
#: compress well at any level).
ZSTD_LEVEL = 1
#: Rows per row group of the Parquet files.
BATCH_ROWS = 1 << 17
#: Values the Parquet writer takes at a time: far more than its default (1024),
#: which made it spend as long going round its loops as encoding.
_WRITE_BATCH = 1 << 18
#: The skipped games whose reasons a chunk keeps (and a summary shows).
MAX_ERRORS = 10
#: The columns whose values repeat: written with dictionary pages.
_DICTIONARY_COLUMNS = ["file", "side", "move", "result"]
#: The columns with min/max statistics: the flat ones (statistics of the list
#: columns' elements cost more to work out than the rest of their writing).
_STATISTICS_COLUMNS = ["file", "game", "ply", "fen", "state", "side", "move", "move_id",
                       "zobrist", "result"]


def parquet_options(compression: str) -> dict[str, Any]:
    """The options of pyarrow.parquet's writer for the compression."""
    import pyarrow as pa

    # The system allocator keeps the writer's freed buffers for its next
    # pages; pyarrow's default pool gave them back to the kernel, and every
    # page then faulted afresh (a fifth of a worker's time went clearing pages).
    options: dict[str, Any] = {"compression": compression, "use_dictionary": _DICTIONARY_COLUMNS,
                               "write_statistics": _STATISTICS_COLUMNS,
                               "write_batch_size": _WRITE_BATCH,
                               "memory_pool": pa.system_memory_pool()}
    if compression == "zstd":
        options["compression_level"] = ZSTD_LEVEL
    return options


def dataset_schema(fen: bool = False) -> pa.Schema:
    """The Arrow schema of the rows: with fen, the position is its FEN text
    instead of the bitboards and the state word. No value is ever null (so
    the Parquet files carry no definition levels, a sixth of their writing)."""
    import pyarrow as pa

    text = pa.dictionary(pa.int32(), pa.string())
    fields: list[tuple[str, pa.DataType]] = [("file", text), ("game", pa.int64()), ("ply", pa.int32())]
    if fen:
        fields.append(("fen", pa.string()))
    else:
        fields += [("bitboards", pa.list_(pa.field("item", pa.uint64(), nullable=False), 12)),
                   ("state", pa.uint64())]
    fields += [
        ("side", text),
        ("move", text),
        ("move_id", pa.int16()),
        ("legal_ids", pa.list_(pa.field("item", pa.int16(), nullable=False))),
        ("zobrist", pa.uint64()),
        ("result", text),
    ]
    return pa.schema([pa.field(name, kind, nullable=False) for name, kind in fields])


@dataclass(frozen=True)
class SkippedGame:
    """A game of a chunk that could not be replayed, counted in the chunk."""

    index: int  # the game's place in the chunk, from 0
    game_line: int  # the line where it begins, from 1
    line: int  # the line of the move (or tag) at fault
    text: str  # that move or tag value, shortened
    reason: str  # "illegal move", ...


@dataclass(frozen=True)
class ChunkCount:
    """What the reading of a chunk found, besides its rows: all the driver needs."""

    games: int  # games begun in the chunk, replayed or not
    lines: int  # line ends in the chunk
    positions: int
    skipped: int
    errors: tuple[SkippedGame, ...]  # the first MAX_ERRORS skipped games
    # A game (True) or a line between games (False) longer than max_game_bytes,
    # as (game, index, line): the reading stopped before it.
    too_long: tuple[bool, int, int] | None
    chess960: int = 0  # the Chess960 games among those replayed


@dataclass
class ChunkRows:
    """The rows of a chunk, held by the worker that read it until they are written."""

    count: ChunkCount
    fen: bool
    columns: dict[str, npt.NDArray[Any]]
    moves: list[str]  # the move column's dictionary
    results: list[str]  # the result column's dictionary
    fen_text: bytes = b""


def read_chunk(source: FileSpan | bytes, encoding: Encoding, fen: bool) -> ChunkRows:
    """Reads the games of a chunk (a nominal span of a plain file, or its text) into rows."""
    import numpy as np

    text = span_text(cut_span(source)) if isinstance(source, FileSpan) else source
    found = _pgn.position_rows(text, encoding, fen, MAX_GAME_BYTES, MAX_ERRORS)
    names = ["game", "ply", "state", "move", "move_id", "legal_ids", "legal_offsets", "zobrist",
             "result"] + (["fen_offsets"] if fen else ["bitboards"])
    columns = {name: np.asarray(found[name]) for name in names}
    count = ChunkCount(
        games=found["games"], lines=found["lines"], positions=len(columns["ply"]),
        skipped=found["skipped"], errors=tuple(SkippedGame(*error) for error in found["errors"]),
        too_long=found["too_long"], chess960=found["chess960"])
    return ChunkRows(count, fen, columns, found["moves"], found["results"],
                     found["fen_text"] if fen else b"")


def chunk_count(rows: ChunkRows) -> ChunkCount:
    """The counts of a chunk read (a task, so that only they travel to the driver)."""
    return rows.count


def rows_table(rows: ChunkRows, file_label: str, game_base: int, start: int, stop: int) -> pa.Table:
    """Rows start to stop of a chunk as an Arrow table of dataset_schema(fen), the
    games numbered from game_base."""
    import numpy as np
    import pyarrow as pa

    c = rows.columns
    count = stop - start
    text = pa.string()
    schema = dataset_schema(rows.fen)
    columns: dict[str, pa.Array] = {
        "file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(count, np.int32)),
                                               pa.array([file_label], text)),
        "game": pa.array(c["game"][start:stop].astype(np.int64) + game_base),
        "ply": pa.array(c["ply"][start:stop]),
    }
    states = c["state"][start:stop]
    if rows.fen:
        offsets = c["fen_offsets"][start:stop + 1]
        data = rows.fen_text[offsets[0]:offsets[-1]]
        columns["fen"] = pa.StringArray.from_buffers(
            count, pa.py_buffer((offsets - offsets[0]).astype(np.int32)), pa.py_buffer(data))
    else:
        columns["bitboards"] = pa.FixedSizeListArray.from_arrays(
            pa.array(c["bitboards"][start:stop].reshape(-1)), type=schema.field("bitboards").type)
        columns["state"] = pa.array(states)
    columns["side"] = pa.DictionaryArray.from_arrays(
        pa.array((states & 1 ^ 1).astype(np.int32)), pa.array(["white", "black"], text))
    columns["move"] = pa.DictionaryArray.from_arrays(pa.array(c["move"][start:stop]),
                                                     pa.array(rows.moves, text))
    columns["move_id"] = pa.array(c["move_id"][start:stop])
    offsets = c["legal_offsets"][start:stop + 1]
    columns["legal_ids"] = pa.ListArray.from_arrays(
        pa.array((offsets - offsets[0]).astype(np.int32)),
        pa.array(c["legal_ids"][offsets[0]:offsets[-1]]), type=schema.field("legal_ids").type)
    columns["zobrist"] = pa.array(c["zobrist"][start:stop])
    columns["result"] = pa.DictionaryArray.from_arrays(pa.array(c["result"][start:stop]),
                                                       pa.array(rows.results, text))
    return pa.Table.from_arrays([columns[name] for name in schema.names], schema=schema)


@dataclass(frozen=True)
class ChunkJob:
    """What a worker needs to write the rows of one chunk."""

    chunk: int  # the chunk's place among all chunks of the run, in input order
    file_index: int
    file_label: str
    game_base: int  # games of the file before the chunk
    rows_per_file: int
    compression: str
    staging: str


@dataclass(frozen=True)
class ChunkResult:
    """What a worker wrote for one chunk."""

    chunk: int
    file_index: int
    parts: tuple[tuple[str, int], ...]  # (file name in the staging directory, rows)


class PartWriter:
    """Writes a chunk's tables into files of at most rows_per_file rows each."""

    def __init__(self, job: ChunkJob) -> None:
        self.job = job
        self.options = parquet_options(job.compression)
        self.parts: list[tuple[str, int]] = []
        self._writer: Any = None
        self._temporary = ""
        self._rows = 0

    def write(self, table: pa.Table) -> None:
        import pyarrow.parquet as pq

        while table.num_rows:
            if self._writer is None:
                name = f"part-{self.job.chunk:06d}-{len(self.parts):04d}.parquet"
                self._temporary = os.path.join(self.job.staging,
                                               f"{name}.{os.getpid()}-{uuid.uuid4().hex[:8]}.tmp")
                self._writer = pq.ParquetWriter(self._temporary, table.schema, **self.options)
                self.parts.append((name, 0))
            room = self.job.rows_per_file - self._rows
            piece = table.slice(0, room)
            self._writer.write_table(piece)
            self._rows += piece.num_rows
            table = table.slice(piece.num_rows)
            if self._rows == self.job.rows_per_file:
                self._finish()

    def _finish(self) -> None:
        name, _ = self.parts[-1]
        self._writer.close()
        os.replace(self._temporary, os.path.join(self.job.staging, name))
        self.parts[-1] = (name, self._rows)
        self._writer = None
        self._rows = 0

    def close(self) -> None:
        if self._writer is not None:
            self._finish()

    def abandon(self) -> None:
        if self._writer is not None:
            self._writer.close()
            os.unlink(self._temporary)
            self._writer = None


def write_chunk(job: ChunkJob, rows: ChunkRows) -> ChunkResult:
    """Writes the rows of a chunk into the staging directory."""
    writer = PartWriter(job)
    try:
        total = rows.count.positions
        for start in range(0, total, BATCH_ROWS):
            writer.write(rows_table(rows, job.file_label, job.game_base, start,
                                    min(total, start + BATCH_ROWS)))
        writer.close()
    except BaseException:
        writer.abandon()
        raise
    return ChunkResult(chunk=job.chunk, file_index=job.file_index, parts=tuple(writer.parts))


def hold(text: bytes) -> bytes:
    """Keeps a chunk's text on a worker (and, through the task, with the scheduler)."""
    return text
