"""The driver: build_dataset cuts the input into chunks, has every chunk read and
written on the cluster, and publishes the files.

Per chunk, a first task (read_chunk) reads and replays its games into rows that
stay on the worker, and a second, tiny one hands the chunk's counts (games,
lines, skipped games) to the driver. Once every chunk before it is counted, a
chunk's game numbers in its file are known and a third task (write_chunk),
run where the rows are, writes them. At most INFLIGHT_PER_THREAD chunks per
worker thread are in flight, so memory stays bounded whatever the input size.
"""

from __future__ import annotations

import os
import sys
import time
import uuid
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from orvex_tools import _pgn
from orvex_tools.cluster import DIST_EXTRA_HINT, cluster_client, import_distributed
from orvex_tools.dataset.chunks import (
    FileSpan,
    Input,
    PathLike,
    choose_chunk_bytes,
    chunk_sources,
    inspect_inputs,
)
from orvex_tools.dataset.dedup import StagedPart, dedup as dedup_parts
from orvex_tools.dataset.output import (
    STAGING_PREFIX,
    check_output,
    publish,
    remove_old_staging,
    remove_staging,
)
from orvex_tools.dataset.rows import (
    COMPRESSIONS,
    MAX_ERRORS,
    ChunkCount,
    ChunkJob,
    ChunkResult,
    chunk_count,
    hold,
    read_chunk,
    write_chunk,
)
from orvex_tools.dataset.summary import DatasetSummary
from orvex_tools.pgn import MAX_GAME_BYTES

if TYPE_CHECKING:
    from distributed import Client, Future

Encoding = Literal["az", "lc0"]
Compression = Literal["zstd", "lz4", "snappy", "none"]

#: The most rows in one output file.
DEFAULT_ROWS_PER_FILE = 1_000_000
#: Chunks in flight per worker thread (read, or being written).
INFLIGHT_PER_THREAD = 3


@dataclass
class _Chunk:
    number: int
    item: Input
    source: Any  # a FileSpan, or the future holding a compressed chunk's text
    rows: Any = None  # the future of its rows, on the worker that read them
    count: ChunkCount | None = None


class _ChunkDriver:
    """Reads and writes every chunk on the cluster, keeping a bounded number of
    chunks in flight; a chunk's writing starts once every chunk before it is
    counted (so that it knows the index of its first game in its file)."""

    def __init__(self, client: Client, inputs: list[Input], chunk_bytes: int, encoding: Encoding,
                 fen: bool, template: ChunkJob, summary: DatasetSummary, progress: Any) -> None:
        threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
        self.client: Any = client
        self.limit = INFLIGHT_PER_THREAD * max(1, threads)
        self.sources = chunk_sources(inputs, chunk_bytes)
        self.known_total = sum(-(-i.size // chunk_bytes) for i in inputs if not i.compressed)
        self.encoding = encoding
        self.fen = fen
        self.template = template
        self.summary = summary
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
                self._start_reads()
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
            held = [c.source for c in self.chunks if c.source is not None
                    and not isinstance(c.source, FileSpan)]
            held += [c.rows for c in self.chunks if c.rows is not None]
            self.client.cancel(list(self.waiting) + held)
            raise
        return [self.results[chunk.number] for chunk in self.chunks]

    def _start_reads(self) -> None:
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
                    chunk.source = self.client.submit(hold, source, pure=False)
            self.chunks.append(chunk)
            chunk.rows = self.client.submit(read_chunk, chunk.source, self.encoding, self.fen,
                                            pure=False)
            self._submit("count", chunk, chunk_count, chunk.rows)
            self.in_flight += 1
            self.progress.total = max(self.known_total, len(self.chunks))

    def _start_writes(self) -> None:
        while self.based < len(self.chunks) and self.chunks[self.based].count is not None:
            chunk = self.chunks[self.based]
            count = chunk.count
            assert count is not None
            if chunk.item.index != self.file:
                self.file, self.game_base, self.line_base = chunk.item.index, 0, 0
            self._take_count(chunk.item.label, count)
            job = ChunkJob(chunk=chunk.number, file_index=chunk.item.index,
                           file_label=chunk.item.label, game_base=self.game_base,
                           rows_per_file=self.template.rows_per_file,
                           compression=self.template.compression, staging=self.template.staging)
            self.game_base += count.games
            self.line_base += count.lines
            self._submit("write", chunk, write_chunk, job, chunk.rows)
            self.based += 1

    def _take_count(self, label: str, count: ChunkCount) -> None:
        """Adds a chunk's counts to the summary, its errors counted in the file."""
        summary = self.summary
        if count.too_long is not None:
            game, index, line = count.too_long
            raise ValueError(f"{label}: " + _pgn.too_long_message(
                game, self.game_base + index, self.line_base + line, MAX_GAME_BYTES))
        summary.games += count.games - count.skipped
        summary.positions += count.positions
        summary.skipped += count.skipped
        summary.chess960 += count.chess960
        for error in count.errors[: MAX_ERRORS - len(summary.errors)]:
            message = _pgn.failure_message(self.game_base + error.index,
                                           self.line_base + error.game_line,
                                           self.line_base + error.line, error.text, error.reason)
            summary.errors.append(f"{label}: {message}")

    def _submit(self, kind: str, chunk: _Chunk, function: Any, *args: Any) -> None:
        future = self.client.submit(function, *args, pure=False)
        self.waiting[future] = (kind, chunk)
        self.pending.add(future)

    def _written(self, chunk: _Chunk, result: ChunkResult) -> None:
        self.results[chunk.number] = result
        if not isinstance(chunk.source, FileSpan):
            chunk.source.release()
        chunk.rows.release()
        chunk.source = chunk.rows = None
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
    compression: Compression = "zstd",
) -> DatasetSummary:
    """Replays the games of PGN files on a Dask cluster and writes one Parquet row per position.

    games: PGN files (plain, gzip, bzip2, xz or Zstandard). out: the output
    directory, reachable by every worker under the same path; it must be
    empty or missing unless overwrite, which replaces the part-*.parquet files
    of an earlier run once the new ones are complete. client: a
    distributed.Client to run on; without it a LocalCluster of workers
    processes (None: one per available core) is started and closed. With
    dedup, only the first row of each Polyglot key in input order is kept.
    With fen, positions are FEN text instead of bitboards and state words.
    progress shows a bar of chunks done on stderr. chunk_bytes sets the size
    of the chunks the text is cut into (None: chosen from the input size).
    compression is the Parquet files' compression: "zstd" (at a fast level),
    "lz4", "snappy" or "none".

    Every input and the output directory are checked before any work
    starts (see check_paths). Raises ValueError for bad arguments,
    FileExistsError when out holds files and overwrite is false, OSError for
    an input that cannot be read or an output directory that cannot be
    written (IsADirectoryError for an old part-*.parquet that is a
    directory), EOFError or OSError naming the file for compressed input that
    is truncated or damaged, ValueError naming the file and line for a game
    longer than 64 MiB, and whatever a task raised; on any failure out holds
    what it held before (an earlier dataset stays whole).
    """
    started = time.perf_counter()
    if encoding not in ("az", "lc0"):
        raise ValueError(f"build_dataset() argument 'encoding' must be 'az' or 'lc0', not {encoding!r}")
    if compression not in COMPRESSIONS:
        raise ValueError(f"build_dataset() argument 'compression' must be one of "
                         f"{', '.join(map(repr, COMPRESSIONS))}, not {compression!r}")
    paths = _paths(games)
    if isinstance(rows_per_file, bool) or not isinstance(rows_per_file, int) or rows_per_file < 1:
        raise ValueError(f"build_dataset() argument 'rows_per_file' must be a whole number of at "
                         f"least 1, not {rows_per_file!r}")
    if chunk_bytes is not None and (not isinstance(chunk_bytes, int) or chunk_bytes < 1):
        raise ValueError(f"build_dataset() argument 'chunk_bytes' must be a whole number of at "
                         f"least 1, not {chunk_bytes!r}")
    if client is not None and workers is not None:
        raise ValueError("build_dataset() takes either a client or a number of workers, not both")
    inputs = inspect_inputs(paths)
    out_dir = check_output(out, overwrite)
    try:
        import pyarrow  # noqa: F401
        import dask.dataframe  # noqa: F401
    except ImportError:
        raise ModuleNotFoundError(f"building datasets needs Dask and pyarrow: {DIST_EXTRA_HINT}") from None
    os.makedirs(out_dir, exist_ok=True)
    options = _Options(encoding, dedup, rows_per_file, fen, progress, chunk_bytes, compression)
    if client is None:
        with cluster_client(workers=workers) as own:
            return _run(own, inputs, out_dir, options, started)
    return _run(client, inputs, out_dir, options, started)


@dataclass(frozen=True)
class _Options:
    encoding: Encoding
    dedup: bool
    rows_per_file: int
    fen: bool
    progress: bool
    chunk_bytes: int | None
    compression: str


def check_paths(games: Sequence[PathLike] | PathLike, out: PathLike, *,
                overwrite: bool = False) -> None:
    """Raises what build_dataset would raise for its paths, without starting
    any work: OSError (of the matching kind, its message naming the file) for
    an input that cannot be read, FileExistsError for an output directory that
    is not empty without overwrite, NotADirectoryError, IsADirectoryError or
    PermissionError for one that cannot be written; ValueError for no input.
    The command line calls it before it starts a cluster."""
    paths = _paths(games)
    inspect_inputs(paths)
    check_output(out, overwrite)


def _paths(games: Sequence[PathLike] | PathLike) -> list[PathLike]:
    paths: list[PathLike] = [games] if isinstance(games, (str, os.PathLike)) else list(games)
    if not paths:
        raise ValueError("build_dataset() needs at least one PGN file")
    return paths


def _run(client: Client, inputs: list[Input], out_dir: str, options: _Options,
         started: float) -> DatasetSummary:
    from tqdm import tqdm

    summary = DatasetSummary(out=out_dir)
    staging = os.path.join(out_dir, f"{STAGING_PREFIX}{uuid.uuid4().hex[:12]}")
    os.makedirs(staging)
    try:
        chunk_bytes = options.chunk_bytes
        if chunk_bytes is None:
            threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
            chunk_bytes = choose_chunk_bytes(inputs, max(1, threads))
        with tqdm(desc="chunks", unit="chunk", file=sys.stderr, leave=False,
                  disable=not options.progress) as bar:
            template = ChunkJob(chunk=0, file_index=0, file_label="", game_base=0,
                                rows_per_file=options.rows_per_file,
                                compression=options.compression, staging=staging)
            results = _ChunkDriver(client, inputs, chunk_bytes, options.encoding, options.fen,
                                   template, summary, bar).run()
        parts: list[StagedPart] = []
        for result in results:
            parts += [StagedPart(name, rows, result.file_index) for name, rows in result.parts]
        summary.chunks = len(results)
        final_dir = staging
        kept = [(part.name, part.rows) for part in parts]
        if options.dedup and parts:
            final_dir = os.path.join(staging, "kept")
            os.makedirs(final_dir)
            with tqdm(total=len(parts), desc="dedup", unit="file", file=sys.stderr, leave=False,
                      disable=not options.progress) as bar:
                kept = dedup_parts(client, parts, staging, final_dir, options.compression, bar)
        summary.rows_written = sum(rows for _, rows in kept)
        summary.dropped = summary.positions - summary.rows_written
        # A file that de-duplication emptied is left out.
        kept = [(name, rows) for name, rows in kept if rows]
        summary.files = publish(out_dir, final_dir, kept)
        remove_old_staging(out_dir, staging)
    finally:
        remove_staging(staging)
    summary.seconds = time.perf_counter() - started
    return summary
