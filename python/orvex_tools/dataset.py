"""Training positions from PGN archives, built on a Dask cluster and written as Parquet.

    summary = orvex_tools.build_dataset(["2024-01.pgn.zst"], "positions/", dedup=True)
    print(summary)

Every position before a main-line move of every game that can be replayed
becomes one row: the game (input file and the game's index in it), the ply,
the position (twelve bitboards and the state word, or its FEN), the side to
move, the move played (coordinate notation and its policy id), the ids of all
legal moves, the Polyglot key and the game's result.

How the work is cut:

* The input text is cut into chunks at game boundaries: before a tag line
  that follows a blank line after a line ending in a result (``1-0``,
  ``0-1``, ``1/2-1/2``, ``*``), the first such place at or after each multiple
  of the chunk size. A file whose games do not end in results is one chunk.
* Plain files are cut by the workers themselves: a chunk is a byte range that
  a worker reads from the file (so the inputs must be readable by every worker
  under the same path). Compressed files cannot be seeked: the driver
  decompresses them as a stream and hands each chunk's text to the cluster,
  with a bounded number of chunks in flight.
* Each chunk is read twice: a first task counts its games and lines (so that
  games get their index in the file and errors their line), a second replays
  the games and writes the chunk's rows to Parquet files in a hidden staging
  directory inside the output directory (which must be reachable by every
  worker). Only when every chunk is written are the files renamed to their
  final names (part-00000.parquet, ... in input order), after the files of
  an earlier dataset that they replace have been moved aside; a run that
  fails, up to the last rename, leaves the earlier dataset as it was (or no
  file under a final name).
* With dedup, the Polyglot keys and the order key (file index, game, ply) of
  all rows are shuffled by key with Dask's shuffle; for each key the first
  row in input order is kept, the others are routed back by a second shuffle
  to the file they are in, which is written again without them.

Tasks are pure functions of their inputs: when a worker dies Dask runs its
tasks again elsewhere and the output is the same.
"""

from __future__ import annotations

import importlib
import errno
import io
import mmap
import os
import re
import shutil
import sys
import time
import uuid
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from typing import IO, TYPE_CHECKING, Any, Literal, Union, cast

import orvex_chess

from orvex_tools.cluster import (
    DIST_EXTRA_HINT,
    cluster_client,
    import_distributed,
    process_generator,
)
from orvex_tools.pgn import decompressed, read_games
from orvex_tools.stream_errors import damaged_stream_reason

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    import pyarrow as pa
    from distributed import Client, Future

__all__ = ["DatasetSummary", "build_dataset", "check_paths", "dataset_schema", "DEFAULT_ROWS_PER_FILE"]

Encoding = Literal["az", "lc0"]
PathLike = Union[str, "os.PathLike[str]"]

#: The most rows in one output file.
DEFAULT_ROWS_PER_FILE = 1_000_000
#: The chunk size is chosen so that each worker thread gets about this many chunks.
CHUNKS_PER_THREAD = 8
MIN_CHUNK_BYTES = 256 << 10
MAX_CHUNK_BYTES = 32 << 20
#: How much larger than its file the text of a compressed file is assumed to be.
COMPRESSION_GUESS = 5
#: Positions whose arrays are worked out and written as one row group.
BATCH_ROWS = 1 << 15
#: How the Parquet files are written: Zstandard, and dictionary pages only for
#: the columns that repeat (trying them on keys and bitboards costs time for nothing).
PARQUET_OPTIONS: dict[str, Any] = {"compression": "zstd",
                                   "use_dictionary": ["file", "side", "move", "result"]}
#: The skipped games whose reasons a summary keeps.
MAX_ERRORS = 10
#: Chunks in flight per worker thread (counted or being written).
INFLIGHT_PER_THREAD = 3
_STAGING_PREFIX = ".orvex-staging-"
_REPLACED_PREFIX = ".orvex-replaced-"
_PART_NAME = re.compile(r"part-\d{5,}\.parquet")
_RESULTS = (b"1-0", b"0-1", b"1/2-1/2", b"*")
_READ_BLOCK = 1 << 20


# ---------------------------------------------------------------------------
# Cutting text into chunks of whole games


def _ends_with_result(data: Any, newline: int) -> bool:
    """Whether the line ending at data[newline] is blank and, above it and any
    other blank lines, the nearest line's last word is a result."""
    end = newline
    blank_lines = 0
    while True:
        start = data.rfind(b"\n", 0, end) + 1
        line = bytes(data[start:end]).strip()
        if line:
            break
        blank_lines += 1
        if start == 0:
            return False
        end = start - 1
    return blank_lines > 0 and line.rsplit(None, 1)[-1] in _RESULTS


def find_boundary(data: Any, at: int) -> int | None:
    """Returns the first game boundary at or after offset at in data (bytes,
    bytearray or mmap): the start of a line beginning with '[' that follows
    one or more blank lines after a line ending in a result. None if there is
    none in data."""
    pos = max(at - 1, 0)
    while True:
        newline = data.find(b"\n[", pos)
        if newline < 0:
            return None
        if newline + 1 >= at and _ends_with_result(data, newline):
            return int(newline) + 1
        pos = newline + 1


def _cut(data: Any, at: int, size: int) -> int:
    """The chunk edge for the nominal offset at: the first boundary at or after it, or the end."""
    if at <= 0:
        return 0
    if at >= size:
        return size
    found = find_boundary(data, at)
    return size if found is None else found


@dataclass(frozen=True)
class FileSpan:
    """Bytes start to end of a plain file, read by the worker that needs them."""

    path: str
    start: int
    end: int


def _span_text(span: FileSpan) -> bytes:
    with open(span.path, "rb") as file:
        file.seek(span.start)
        return file.read(span.end - span.start)


def _cut_span(span: FileSpan) -> FileSpan:
    """The span of whole games whose nominal edges are span.start and span.end."""
    with open(span.path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size == 0:
            return FileSpan(span.path, 0, 0)
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
            start = _cut(data, span.start, size)
            end = _cut(data, span.end, size)
    return FileSpan(span.path, start, max(start, end))


def stream_chunks(stream: IO[bytes] | Any, chunk_bytes: int) -> Iterator[bytes]:
    """Yields the text of a binary stream in chunks of whole games, each at least
    chunk_bytes long (but the last), cut at game boundaries."""
    buffer = bytearray()
    while True:
        block = stream.read(_READ_BLOCK)
        if block:
            buffer += block
        while len(buffer) > chunk_bytes:
            cut = find_boundary(buffer, chunk_bytes)
            if cut is None:
                break
            yield bytes(buffer[:cut])
            del buffer[:cut]
        if not block:
            if buffer:
                yield bytes(buffer)
            return


# ---------------------------------------------------------------------------
# Rows


def dataset_schema(fen: bool = False) -> pa.Schema:
    """The Arrow schema of the rows: with fen, the position is its FEN text
    instead of the bitboards and the state word."""
    import pyarrow as pa

    text = pa.dictionary(pa.int32(), pa.string())
    fields: list[tuple[str, pa.DataType]] = [("file", text), ("game", pa.int64()), ("ply", pa.int32())]
    if fen:
        fields.append(("fen", pa.string()))
    else:
        fields += [("bitboards", pa.list_(pa.uint64(), 12)), ("state", pa.uint64())]
    fields += [
        ("side", text),
        ("move", text),
        ("move_id", pa.int16()),
        ("legal_ids", pa.list_(pa.int16())),
        ("zobrist", pa.uint64()),
        ("result", text),
    ]
    return pa.schema(fields)


@dataclass
class PositionArrays:
    """The arrays of a batch of positions, one row each."""

    bitboards: npt.NDArray[np.uint64]  # (n, 12)
    states: npt.NDArray[np.uint64]
    zobrist: npt.NDArray[np.uint64]
    legal_ids: npt.NDArray[np.int16]  # every position's ids, one after another
    offsets: npt.NDArray[np.int64]  # (n + 1): position i's ids are legal_ids[offsets[i]:offsets[i + 1]]


def position_arrays(boards: Sequence[orvex_chess.Board], encoding: Encoding) -> PositionArrays:
    """Works out the arrays of the positions with the generator's many-position
    calls, on the calling thread (a worker runs one task per core)."""
    import numpy as np

    generator = process_generator()
    ids, offsets = generator.indices_many(boards, encoding, threads=1)
    return PositionArrays(
        bitboards=np.asarray(generator.bitboards_many(boards, threads=1)),
        states=np.asarray(generator.states_many(boards, threads=1)),
        zobrist=np.asarray(generator.zobrist_many(boards, threads=1)),
        legal_ids=np.asarray(ids),
        offsets=np.asarray(offsets),
    )


class RowBatch:
    """The rows of whole games, gathered until they are turned into a table."""

    def __init__(self, encoding: Encoding, fen: bool) -> None:
        self.encoding = encoding
        self.fen = fen
        self.games: list[int] = []
        self.lengths: list[int] = []
        self.black_first: list[bool] = []
        self.results: list[str] = []
        self.boards: list[orvex_chess.Board] = []
        self.fens: list[str] = []
        self.moves: list[str] = []
        self.move_ids: list[int] = []

    def __len__(self) -> int:
        return len(self.boards)

    def add_game(self, game_index: int, start_fen: str, moves: list[str], result: str) -> None:
        """Adds a row for the position before each move of a replayed game."""
        board = orvex_chess.Board(start_fen)
        boards = self.boards
        ids = self.move_ids
        encoding = self.encoding
        if self.fen:
            fens = self.fens
            for move in moves:
                fens.append(board.fen())
                boards.append(board.copy())
                ids.append(board.move_index(move, encoding))
                board.push(move)
        else:
            for move in moves:
                boards.append(board.copy())
                ids.append(board.move_index(move, encoding))
                board.push(move)
        self.moves += moves
        self.games.append(game_index)
        self.lengths.append(len(moves))
        self.black_first.append(start_fen.split(" ", 2)[1] == "b")
        self.results.append(result)

    def table(self, file_label: str) -> pa.Table:
        """The batch's rows as an Arrow table of dataset_schema(fen)."""
        import numpy as np
        import pyarrow as pa

        count = len(self.boards)
        lengths = np.array(self.lengths, np.int64)
        game_of_row = np.repeat(np.arange(len(lengths)), lengths)
        starts = np.repeat(np.cumsum(lengths) - lengths, lengths)
        ply = (np.arange(count, dtype=np.int64) - starts).astype(np.int32)
        black = np.array(self.black_first, np.int32)[game_of_row] ^ (ply & 1)
        results = pa.array(self.results, pa.string()).dictionary_encode()
        columns: dict[str, pa.Array] = {
            "file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(count, np.int32)),
                                                   pa.array([file_label], pa.string())),
            "game": pa.array(np.array(self.games, np.int64)[game_of_row]),
            "ply": pa.array(ply),
        }
        arrays = position_arrays(self.boards, self.encoding)
        if self.fen:
            columns["fen"] = pa.array(self.fens, pa.string())
        else:
            columns["bitboards"] = pa.FixedSizeListArray.from_arrays(
                pa.array(arrays.bitboards.reshape(-1)), 12)
            columns["state"] = pa.array(arrays.states)
        columns["side"] = pa.DictionaryArray.from_arrays(pa.array(black),
                                                         pa.array(["white", "black"], pa.string()))
        columns["move"] = pa.array(self.moves, pa.string()).dictionary_encode()
        columns["move_id"] = pa.array(np.array(self.move_ids, np.int16))
        columns["legal_ids"] = pa.ListArray.from_arrays(pa.array(arrays.offsets.astype(np.int32)),
                                                        pa.array(arrays.legal_ids))
        columns["zobrist"] = pa.array(arrays.zobrist)
        columns["result"] = pa.DictionaryArray.from_arrays(
            pa.array(results.indices.to_numpy(zero_copy_only=False)[game_of_row]), results.dictionary)
        schema = dataset_schema(self.fen)
        return pa.Table.from_arrays([columns[name] for name in schema.names], schema=schema)


# ---------------------------------------------------------------------------
# Tasks run by the workers


@dataclass(frozen=True)
class ChunkCount:
    """What the first pass over a chunk found."""

    span: FileSpan | None  # the chunk's bytes in a plain file
    games: int  # games begun in the chunk, replayed or not
    lines: int  # line ends in the chunk


def count_chunk(source: FileSpan | bytes) -> ChunkCount:
    """Counts the games and lines of a chunk: a nominal span of a plain file, or its text."""
    span = _cut_span(source) if isinstance(source, FileSpan) else None
    text = _span_text(span) if span is not None else source
    assert isinstance(text, bytes)
    with read_games(io.BytesIO(text), errors="skip", threads=1) as games:
        replayed = sum(1 for _ in games)
        skipped = games.skipped
    return ChunkCount(span=span, games=replayed + skipped, lines=text.count(b"\n"))


@dataclass(frozen=True)
class ChunkJob:
    """What a worker needs to write the rows of one chunk."""

    chunk: int  # the chunk's place among all chunks of the run, in input order
    file_index: int
    file_label: str
    game_base: int  # games of the file before the chunk
    line_base: int  # lines of the file before the chunk
    encoding: Encoding
    fen: bool
    rows_per_file: int
    staging: str


@dataclass(frozen=True)
class ChunkResult:
    """What a worker wrote for one chunk."""

    chunk: int
    file_index: int
    parts: tuple[tuple[str, int], ...]  # (file name in the staging directory, rows)
    games: int
    positions: int
    skipped: int
    errors: tuple[str, ...]


_GAME_ERROR = re.compile(r"game (\d+) \(line (\d+)\): (.*) on line (\d+)", re.DOTALL)


def _global_message(job: ChunkJob, message: str) -> str:
    """The reader's message about a game of the chunk, with the game and lines counted in the file."""
    found = _GAME_ERROR.fullmatch(message)
    if found is None:
        return f"{job.file_label}: {message}"
    game, line, reason, fault = found.groups()
    return (f"{job.file_label}: game {job.game_base + int(game)} (line {job.line_base + int(line)}): "
            f"{reason} on line {job.line_base + int(fault)}")


class _PartWriter:
    """Writes a chunk's tables into files of at most rows_per_file rows each."""

    def __init__(self, job: ChunkJob) -> None:
        self.job = job
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
                self._writer = pq.ParquetWriter(self._temporary, table.schema, **PARQUET_OPTIONS)
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


def build_chunk(job: ChunkJob, source: FileSpan | bytes) -> ChunkResult:
    """Replays the games of a chunk (a span of whole games, or its text) and writes their rows."""
    text = _span_text(source) if isinstance(source, FileSpan) else source
    writer = _PartWriter(job)
    games = positions = 0
    try:
        with read_games(io.BytesIO(text), errors="skip", threads=1) as reader:
            batch = RowBatch(job.encoding, job.fen)
            for game in reader:
                batch.add_game(job.game_base + game.index, game.fen, game.moves, game.result)
                games += 1
                if len(batch) >= BATCH_ROWS:
                    positions += len(batch)
                    writer.write(batch.table(job.file_label))
                    batch = RowBatch(job.encoding, job.fen)
            if len(batch):
                positions += len(batch)
                writer.write(batch.table(job.file_label))
            skipped = reader.skipped
            errors = tuple(_global_message(job, e.message) for e in reader.errors[:MAX_ERRORS])
        writer.close()
    except BaseException:
        writer.abandon()
        raise
    return ChunkResult(chunk=job.chunk, file_index=job.file_index, parts=tuple(writer.parts), games=games,
                       positions=positions, skipped=skipped, errors=errors)


def _hold(text: bytes) -> bytes:
    """Keeps a chunk's text on a worker (and, through the task, with the scheduler)."""
    return text


# ---------------------------------------------------------------------------
# De-duplication


@dataclass(frozen=True)
class StagedPart:
    """One file of rows in the staging directory."""

    name: str
    rows: int
    file_index: int


def _part_keys(part: StagedPart, number: int, staging: str) -> pd.DataFrame:
    """The keys and order keys of a part's rows."""
    import numpy as np
    import pyarrow.parquet as pq

    table = pq.read_table(os.path.join(staging, part.name), columns=["zobrist", "game", "ply"])
    frame = table.to_pandas()
    frame["file_index"] = np.int32(part.file_index)
    frame["part"] = np.int32(number)
    frame["row"] = np.arange(len(frame), dtype=np.int64)
    return frame


def _later_copies(frame: pd.DataFrame) -> pd.DataFrame:
    """The rows of a shuffled partition whose key came earlier in input order."""
    ordered = frame.sort_values(["zobrist", "file_index", "game", "ply"], kind="stable")
    return ordered.loc[ordered.duplicated("zobrist", keep="first"), ["part", "row"]]


def _filter_part(name: str, drop: pd.DataFrame, staging: str, kept_dir: str) -> tuple[str, int]:
    """Writes the part again without the rows in drop (their row numbers)."""
    import numpy as np
    import pyarrow.parquet as pq

    table = pq.read_table(os.path.join(staging, name))
    keep = np.ones(table.num_rows, bool)
    keep[drop["row"].to_numpy()] = False
    kept = table.filter(keep)
    temporary = os.path.join(kept_dir, f"{name}.{os.getpid()}-{uuid.uuid4().hex[:8]}.tmp")
    pq.write_table(kept, temporary, row_group_size=BATCH_ROWS, **PARQUET_OPTIONS)
    os.replace(temporary, os.path.join(kept_dir, name))
    return name, kept.num_rows


def _dedup(client: Client, parts: list[StagedPart], staging: str, kept_dir: str,
           progress: Any) -> list[tuple[str, int]]:
    """Drops the rows whose key came before in input order; returns the kept parts and rows."""
    import numpy as np
    import pandas as pd
    from dask.delayed import delayed

    dd: Any = importlib.import_module("dask.dataframe")

    meta = pd.DataFrame({"zobrist": np.array([], np.uint64), "game": np.array([], np.int64),
                         "ply": np.array([], np.int32), "file_index": np.array([], np.int32),
                         "part": np.array([], np.int32), "row": np.array([], np.int64)})
    keys = dd.from_map(_part_keys, parts, range(len(parts)), staging=staging, meta=meta,
                       enforce_metadata=False)
    shuffled = keys.shuffle(on="zobrist", npartitions=max(1, len(parts)))
    later = shuffled.map_partitions(_later_copies, meta=meta[["part", "row"]])
    by_part = later.set_index("part", divisions=list(range(len(parts) + 1)), sort=True)
    drops = by_part.to_delayed()
    assert len(drops) == len(parts)
    tasks = [delayed(_filter_part)(part.name, drop, staging, kept_dir)
             for part, drop in zip(parts, drops)]
    futures = cast(Any, client).compute(tasks)
    kept: dict[str, int] = {}
    for future in import_distributed().as_completed(futures):
        name, rows = future.result()
        kept[name] = rows
        progress.update(1)
    return [(part.name, kept[part.name]) for part in parts]


# ---------------------------------------------------------------------------
# The driver


@dataclass
class DatasetSummary:
    """What build_dataset did."""

    #: The output directory.
    out: str
    #: The games replayed, over all inputs.
    games: int = 0
    #: The positions (rows) built, before de-duplication.
    positions: int = 0
    #: The games that could not be replayed and were left out.
    skipped: int = 0
    #: The reasons of the first skipped games (at most 10), naming file, game and line.
    errors: list[str] = field(default_factory=list)
    #: The rows dropped by de-duplication (0 without it).
    dropped: int = 0
    #: The rows in the output files.
    rows_written: int = 0
    #: The output files, in input order.
    files: list[str] = field(default_factory=list)
    #: The chunks the input was cut into.
    chunks: int = 0
    #: Wall-clock seconds of the whole run.
    seconds: float = 0.0

    def __str__(self) -> str:
        lines = [f"Games: {self.games}", f"Positions: {self.positions}"]
        if self.skipped:
            lines.append(f"Skipped games: {self.skipped}, such as:")
            lines += [f"  {error}" for error in self.errors[:5]]
        else:
            lines.append("Skipped games: 0")
        if self.dropped:
            lines.append(f"Duplicate positions dropped: {self.dropped}")
        lines.append(f"Rows written: {self.rows_written} in {len(self.files)} file(s) to {self.out}")
        lines.append(f"Time: {self.seconds:.1f} s")
        return "\n".join(lines)


@dataclass
class _Input:
    index: int
    label: str
    path: str
    compressed: bool
    size: int


def _inspect_inputs(games: Sequence[PathLike]) -> list[_Input]:
    inputs = []
    for index, given in enumerate(games):
        label = os.fspath(given)
        path = os.path.abspath(label)
        try:
            with open(path, "rb") as raw:
                size = os.fstat(raw.fileno()).st_size
                magic = raw.read(4)
        except OSError as exc:
            # The same kind of OSError, its strerror the whole message.
            raise type(exc)(exc.errno, f"cannot read {label!r}: {exc.strerror}") from None
        compressed = magic.startswith((b"\x1f\x8b", b"BZh", b"\x28\xb5\x2f\xfd"))
        inputs.append(_Input(index, label, path, compressed, size))
    return inputs


def _check_output(out: PathLike, overwrite: bool) -> str:
    """Returns the absolute path of the output directory after checking that
    the run can write there: an existing directory must be empty, or with
    overwrite hold no part-*.parquet that is a directory; a missing one must be
    creatable. Raises FileExistsError, NotADirectoryError, IsADirectoryError or
    PermissionError."""
    label = os.fspath(out)
    out_dir = os.path.abspath(label)
    if os.path.isdir(out_dir):
        existing = sorted(os.listdir(out_dir))
        if existing and not overwrite:
            raise FileExistsError(f"the output directory {label!r} is not empty "
                                  f"(it holds {existing[0]!r}): pass overwrite=True to replace it")
        for name in existing:
            if _PART_NAME.fullmatch(name) and os.path.isdir(os.path.join(out_dir, name)):
                raise IsADirectoryError(errno.EISDIR, f"cannot replace {name!r} in the output "
                                        f"directory {label!r}: it is a directory")
        if not os.access(out_dir, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, f"cannot write to the output directory {label!r}: "
                                  "permission denied")
        return out_dir
    if os.path.lexists(out_dir):
        raise NotADirectoryError(errno.ENOTDIR,
                                 f"the output directory {label!r} exists and is not a directory")
    parent = os.path.dirname(out_dir)
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise NotADirectoryError(errno.ENOTDIR, f"cannot create the output directory {label!r}: "
                                 f"{parent!r} is not a directory")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, f"cannot create the output directory {label!r}: "
                              f"permission denied in {parent!r}")
    return out_dir


def check_paths(games: Sequence[PathLike] | PathLike, out: PathLike, *,
                overwrite: bool = False) -> None:
    """Raises what build_dataset would raise for its paths, without starting
    any work: OSError (of the matching kind, its message naming the file) for
    an input that cannot be read, FileExistsError for an output directory that
    is not empty without overwrite, NotADirectoryError, IsADirectoryError or
    PermissionError for one that cannot be written; ValueError for no input.
    The command line calls it before it starts a cluster."""
    paths = _paths(games)
    _inspect_inputs(paths)
    _check_output(out, overwrite)


def _paths(games: Sequence[PathLike] | PathLike) -> list[PathLike]:
    paths: list[PathLike] = [games] if isinstance(games, (str, os.PathLike)) else list(games)
    if not paths:
        raise ValueError("build_dataset() needs at least one PGN file")
    return paths


def _choose_chunk_bytes(inputs: list[_Input], threads: int) -> int:
    text_bytes = sum(i.size * (COMPRESSION_GUESS if i.compressed else 1) for i in inputs)
    wanted = text_bytes // max(1, threads * CHUNKS_PER_THREAD)
    return min(MAX_CHUNK_BYTES, max(MIN_CHUNK_BYTES, wanted))


def _chunk_sources(inputs: list[_Input], chunk_bytes: int) -> Iterator[tuple[_Input, FileSpan | bytes]]:
    """Yields each chunk's input and source, in input order: nominal spans of
    plain files, the text of compressed files decompressed here."""
    for item in inputs:
        if not item.compressed:
            for start in range(0, item.size, chunk_bytes):
                yield item, FileSpan(item.path, start, min(item.size, start + chunk_bytes))
            continue
        with open(item.path, "rb") as raw:
            stream = decompressed(raw, repr(item.label))
            chunks = stream_chunks(stream, chunk_bytes)
            while True:
                try:
                    text = next(chunks, None)
                except Exception as exc:
                    raise _unreadable(item.label, exc) from exc
                if text is None:
                    break
                yield item, text


def _unreadable(label: str, exc: Exception) -> Exception:
    """The error to raise for exc, raised while decompressing the input label:
    EOFError for data that ends early, OSError for damaged data (both naming
    the file), else exc itself."""
    reason = damaged_stream_reason(exc)
    if reason is None:
        return exc
    message = f"cannot read {label!r}: {reason}"
    return EOFError(message) if isinstance(exc, EOFError) else OSError(message)


def _publish(out_dir: str, final_dir: str, kept: list[tuple[str, int]]) -> list[str]:
    """Gives the staged files kept their final names part-00000.parquet, ... in
    out_dir, in that order, and returns their paths.

    The part-*.parquet files of an earlier dataset are first moved aside into a
    hidden directory of out_dir, removed once every new file has its name. If
    any move fails, the moves done are undone, so that out_dir holds either
    the earlier dataset or the new one, and the error is raised.
    """
    aside = os.path.join(out_dir, f"{_REPLACED_PREFIX}{uuid.uuid4().hex[:12]}")
    os.mkdir(aside)
    moved: list[tuple[str, str]] = []  # (from, to), in the order done
    try:
        for name in sorted(os.listdir(out_dir)):
            if _PART_NAME.fullmatch(name):
                _move(os.path.join(out_dir, name), os.path.join(aside, name), moved)
        finals = []
        for number, (name, _) in enumerate(kept):
            final = os.path.join(out_dir, f"part-{number:05d}.parquet")
            _move(os.path.join(final_dir, name), final, moved)
            finals.append(final)
    except BaseException as exc:
        stuck = []
        for source, target in reversed(moved):
            try:
                os.rename(target, source)
            except OSError:
                stuck.append(source)
        if not stuck:
            os.rmdir(aside)
        elif isinstance(exc, Exception):
            raise OSError(f"replacing the dataset in {out_dir!r} failed ({exc}), and "
                          f"{len(stuck)} file(s) could not be put back: the earlier dataset's "
                          f"are in {aside!r}") from exc
        raise
    shutil.rmtree(aside, ignore_errors=True)
    return finals


def _move(source: str, target: str, moved: list[tuple[str, str]]) -> None:
    os.rename(source, target)
    moved.append((source, target))


def _remove_old_staging(out_dir: str, staging: str) -> None:
    """Removes the staging directories other than this run's (left by runs that were killed)."""
    for name in os.listdir(out_dir):
        path = os.path.join(out_dir, name)
        if name.startswith(_STAGING_PREFIX) and path != staging and os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)


@dataclass
class _Chunk:
    number: int
    item: _Input
    source: Any  # a FileSpan, or the future holding a compressed chunk's text
    count: ChunkCount | None = None


class _ChunkDriver:
    """Counts and writes every chunk on the cluster, keeping a bounded number
    of chunks in flight; a chunk's writing starts once the games of every
    chunk before it are counted (so that it knows its first game's index)."""

    def __init__(self, client: Client, inputs: list[_Input], chunk_bytes: int, job: ChunkJob,
                 progress: Any) -> None:
        threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
        self.client: Any = client
        self.limit = INFLIGHT_PER_THREAD * max(1, threads)
        self.sources = _chunk_sources(inputs, chunk_bytes)
        self.known_total = sum(-(-i.size // chunk_bytes) for i in inputs if not i.compressed)
        self.template = job
        self.progress = progress
        self.chunks: list[_Chunk] = []
        self.results: dict[int, ChunkResult] = {}
        self.waiting: dict[Future[Any], tuple[str, _Chunk]] = {}
        self.pending: Any = import_distributed().as_completed()
        self.based = 0  # chunks whose writing has been started
        self.file = -1
        self.game_base = self.line_base = 0
        self.in_flight = 0
        self.exhausted = False

    def run(self) -> list[ChunkResult]:
        """Returns the result of every chunk, in input order; on failure cancels what is left."""
        try:
            while True:
                self._start_counts()
                if self.pending.is_empty():
                    break
                future = next(self.pending)
                kind, chunk = self.waiting.pop(future)
                outcome = future.result()
                future.release()
                if kind == "count":
                    chunk.count = outcome
                    self._start_writes()
                else:
                    self._written(chunk, outcome)
        except BaseException:
            texts = [c.source for c in self.chunks if c.source is not None
                     and not isinstance(c.source, FileSpan)]
            self.client.cancel(list(self.waiting) + texts)
            raise
        return [self.results[chunk.number] for chunk in self.chunks]

    def _start_counts(self) -> None:
        while not self.exhausted and self.in_flight < self.limit:
            nxt = next(self.sources, None)
            if nxt is None:
                self.exhausted = True
                self.progress.total = len(self.chunks)
                self.progress.refresh()
                return
            item, source = nxt
            chunk = _Chunk(len(self.chunks), item, source)
            if isinstance(source, bytes):
                # The text goes with the task, so that the scheduler can run it
                # again if the worker holding the text is lost.
                with warnings.catch_warnings():
                    warnings.filterwarnings("ignore", message="Sending large graph")
                    chunk.source = self.client.submit(_hold, source, pure=False)
            self.chunks.append(chunk)
            self._submit("count", chunk, count_chunk, chunk.source)
            self.in_flight += 1
            self.progress.total = max(self.known_total, len(self.chunks))

    def _start_writes(self) -> None:
        while self.based < len(self.chunks) and self.chunks[self.based].count is not None:
            chunk = self.chunks[self.based]
            count = chunk.count
            assert count is not None
            if chunk.item.index != self.file:
                self.file, self.game_base, self.line_base = chunk.item.index, 0, 0
            job = replace(self.template, chunk=chunk.number, file_index=chunk.item.index,
                          file_label=chunk.item.label, game_base=self.game_base,
                          line_base=self.line_base)
            self.game_base += count.games
            self.line_base += count.lines
            self._submit("write", chunk, build_chunk, job,
                         count.span if count.span is not None else chunk.source)
            self.based += 1

    def _submit(self, kind: str, chunk: _Chunk, function: Callable[..., Any], *args: Any) -> None:
        future = self.client.submit(function, *args, pure=False)
        self.waiting[future] = (kind, chunk)
        self.pending.add(future)

    def _written(self, chunk: _Chunk, result: ChunkResult) -> None:
        self.results[chunk.number] = result
        if not isinstance(chunk.source, FileSpan):
            chunk.source.release()
        chunk.source = None
        self.in_flight -= 1
        self.progress.update(1)


def build_dataset(
    games: Sequence[PathLike] | PathLike,
    out: PathLike,
    *,
    encoding: Encoding = "az",
    dedup: bool = False,
    client: Client | None = None,
    workers: int | None = None,
    rows_per_file: int = DEFAULT_ROWS_PER_FILE,
    overwrite: bool = False,
    fen: bool = False,
    progress: bool = True,
    chunk_bytes: int | None = None,
) -> DatasetSummary:
    """Replays the games of PGN files on a Dask cluster and writes one Parquet row per position.

    games: PGN files (plain, gzip, bzip2 or Zstandard). out: the output
    directory, reachable by every worker under the same path; it must be
    empty or missing unless overwrite, which replaces the part-*.parquet files
    of an earlier run once the new ones are complete. client: a
    distributed.Client to run on; without it a LocalCluster of workers
    processes (None: one per available core) is started and closed. With
    dedup, only the first row of each Polyglot key in input order is kept.
    With fen, positions are FEN text instead of bitboards and state words.
    progress shows a bar of chunks done on stderr. chunk_bytes sets the size
    of the chunks the text is cut into (None: chosen from the input size).

    Every input and the output directory are checked before any work
    starts (see check_paths). Raises ValueError for bad arguments,
    FileExistsError when out holds files and overwrite is false, OSError for
    an input that cannot be read or an output directory that cannot be
    written (IsADirectoryError for an old part-*.parquet that is a
    directory), EOFError or OSError naming the file for compressed input that
    is truncated or damaged, and whatever a task raised; on any failure out
    holds what it held before (an earlier dataset stays whole).
    """
    started = time.perf_counter()
    if encoding not in ("az", "lc0"):
        raise ValueError(f"build_dataset() argument 'encoding' must be 'az' or 'lc0', not {encoding!r}")
    paths = _paths(games)
    if isinstance(rows_per_file, bool) or not isinstance(rows_per_file, int) or rows_per_file < 1:
        raise ValueError(f"build_dataset() argument 'rows_per_file' must be a whole number of at "
                         f"least 1, not {rows_per_file!r}")
    if chunk_bytes is not None and (not isinstance(chunk_bytes, int) or chunk_bytes < 1):
        raise ValueError(f"build_dataset() argument 'chunk_bytes' must be a whole number of at "
                         f"least 1, not {chunk_bytes!r}")
    if client is not None and workers is not None:
        raise ValueError("build_dataset() takes either a client or a number of workers, not both")
    inputs = _inspect_inputs(paths)
    out_dir = _check_output(out, overwrite)
    try:
        import pyarrow  # noqa: F401
        import dask.dataframe  # noqa: F401
    except ImportError:
        raise ModuleNotFoundError(f"building datasets needs Dask and pyarrow: {DIST_EXTRA_HINT}") from None
    os.makedirs(out_dir, exist_ok=True)

    if client is None:
        with cluster_client(workers=workers) as own:
            return _run(own, inputs, out_dir, encoding, dedup, rows_per_file, fen, progress,
                        chunk_bytes, started)
    return _run(client, inputs, out_dir, encoding, dedup, rows_per_file, fen, progress,
                chunk_bytes, started)


def _remove_staging(staging: str, patience: float = 60.0) -> None:
    """Removes the staging directory, also while chunk tasks of a failed run still write into it.

    A task that was already running when the run failed is not stopped by
    cancelling it; a file it creates while the directory is being removed
    keeps the directory alive, so removal is repeated until the directory is
    gone. Once it is gone, such a task fails to write and leaves nothing.
    """
    deadline = time.monotonic() + patience
    while True:
        shutil.rmtree(staging, ignore_errors=True)
        if not os.path.exists(staging) or time.monotonic() > deadline:
            return
        time.sleep(0.05)


def _run(client: Client, inputs: list[_Input], out_dir: str, encoding: Encoding, dedup: bool,
         rows_per_file: int, fen: bool, show_progress: bool,
         chunk_bytes: int | None, started: float) -> DatasetSummary:
    from tqdm import tqdm

    summary = DatasetSummary(out=out_dir)
    staging = os.path.join(out_dir, f"{_STAGING_PREFIX}{uuid.uuid4().hex[:12]}")
    os.makedirs(staging)
    try:
        if chunk_bytes is None:
            threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
            chunk_bytes = _choose_chunk_bytes(inputs, max(1, threads))
        with tqdm(desc="chunks", unit="chunk", file=sys.stderr, leave=False,
                  disable=not show_progress) as bar:
            template = ChunkJob(chunk=0, file_index=0, file_label="", game_base=0, line_base=0,
                                encoding=encoding, fen=fen, rows_per_file=rows_per_file,
                                staging=staging)
            results = _ChunkDriver(client, inputs, chunk_bytes, template, bar).run()
        parts: list[StagedPart] = []
        for result in results:
            summary.games += result.games
            summary.positions += result.positions
            summary.skipped += result.skipped
            summary.errors += result.errors[: MAX_ERRORS - len(summary.errors)]
            parts += [StagedPart(name, rows, result.file_index) for name, rows in result.parts]
        summary.chunks = len(results)
        final_dir = staging
        kept = [(part.name, part.rows) for part in parts]
        if dedup and parts:
            final_dir = os.path.join(staging, "kept")
            os.makedirs(final_dir)
            with tqdm(total=len(parts), desc="dedup", unit="file", file=sys.stderr, leave=False,
                      disable=not show_progress) as bar:
                kept = _dedup(client, parts, staging, final_dir, bar)
        summary.rows_written = sum(rows for _, rows in kept)
        summary.dropped = summary.positions - summary.rows_written
        # A file that de-duplication emptied is left out.
        kept = [(name, rows) for name, rows in kept if rows]
        summary.files = _publish(out_dir, final_dir, kept)
        _remove_old_staging(out_dir, staging)
    finally:
        _remove_staging(staging)
    summary.seconds = time.perf_counter() - started
    return summary
