"""Training batches straight from PGN files.

    for batch in orvex_tools.training_batches(["2024-01.pgn.zst"], batch_size=1024, seed=1):
        x = numpy.asarray(batch.observation)  # (1024, 8, 8, 119) float32
        y = numpy.asarray(batch.move_id)      # (1024,) int32

The files are read in pieces of whole games; each piece is read, replayed
and turned into positions by the C++ core on worker threads, with the
interpreter lock released (with more than one thread, in the background
while the batches of the pieces before it are taken). A position's observation is the one ChessEnv shows
after the game's moves have been played from its start; the positions go
through the shard's filter and the shuffle buffer, and come out in batches
whose arrays belong to the batch.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Union

from orvex_tools import _pgn
from orvex_tools.pgn import MAX_GAME_BYTES, GameError, decompressed

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["TrainingBatch", "TrainingBatches", "training_batches"]

#: Text is handed to the core in pieces of whole games of at least this many bytes.
PIECE_BYTES = 512 << 10
#: The most error records kept.
MAX_ERRORS = 100
_STATE_VERSION = 1
_FUNCTION = "training_batches()"


@dataclass(frozen=True, slots=True)
class TrainingBatch:
    """One batch of training positions; every array is its own (buffer protocol:
    numpy.asarray and torch.frombuffer wrap it without copying)."""

    #: (B, 8, 8, 119) float32 or uint8, or (B, 119) uint64 ("bits"): ChessEnv's observation.
    observation: memoryview
    #: (B,) int32: the move played, in the encoding ("az": 4672 ids, "lc0": 1858).
    move_id: memoryview
    #: (B,) float32: the game's result for the side to move: 1, 0 or -1.
    value: memoryview
    #: (B,) int32: the index of the position's file in sources.
    file: memoryview
    #: (B,) int64: the game's index in its file, as Game.index counts it.
    game: memoryview
    #: (B,) int32: the ply of the position in its game, from 0.
    ply: memoryview
    #: None; (B, size) bool with legal="mask"; the ids of all rows' legal moves, int32, with legal="ids".
    legal: memoryview | None = None
    #: With legal="ids": (B + 1,) int64, row i's ids are legal[legal_offsets[i]:legal_offsets[i + 1]].
    legal_offsets: memoryview | None = None

    def __len__(self) -> int:
        return len(self.move_id)


def _whole(name: str, value: Any, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise ValueError(f"{_FUNCTION} argument '{name}' must be a whole number of at least "
                         f"{least}, not {value!r}")
    return value


def _paths(sources: Sequence[PathLike] | PathLike) -> list[PathLike]:
    if isinstance(sources, (str, os.PathLike)):
        return [sources]
    if isinstance(sources, (bytes, bytearray)) or not isinstance(sources, Sequence):
        raise ValueError(f"{_FUNCTION} argument 'sources' must be a path or a sequence of paths, "
                         f"not {type(sources).__name__}")
    paths = list(sources)
    for path in paths:
        if not isinstance(path, (str, os.PathLike)):
            raise ValueError(f"{_FUNCTION} argument 'sources' must hold paths, not "
                             f"{type(path).__name__}")
    if not paths:
        raise ValueError(f"{_FUNCTION} needs at least one PGN file")
    return paths


def _next_piece(chunks: Iterator[bytes]) -> tuple[bytes | None, Exception | None]:
    """The next piece of a file (None at its end), or the exception reading it raised."""
    try:
        return next(chunks, None), None
    except Exception as exc:
        return None, exc


def _check_start(item: Any) -> None:
    """Decompresses the first bytes of a compressed input, so that a file that is
    not what its first bytes say fails before any batch (what is damaged or cut
    later is found when it is reached)."""
    from orvex_tools.dataset.chunks import unreadable

    with open(item.path, "rb") as raw:
        try:
            decompressed(raw, repr(item.label)).read(1)
        except Exception as exc:
            raise unreadable(item.label, exc) from exc


class TrainingBatches:
    """An iterator over training batches; use training_batches() to make one."""

    def __init__(self, sources: Sequence[PathLike] | PathLike, *, batch_size: int, encoding: str,
                 observation: str, legal: str | None, shuffle: int, seed: int, epochs: int,
                 shard: tuple[int, int] | None, threads: int | None, min_elo: int | None,
                 max_elo: int | None, min_ply: int, results: Sequence[str], drop_last: bool,
                 state: dict[str, Any] | None) -> None:
        from orvex_tools.dataset.chunks import inspect_inputs

        if encoding not in ("az", "lc0"):
            raise ValueError(f"{_FUNCTION} argument 'encoding' must be 'az' or 'lc0', not {encoding!r}")
        if observation not in ("float32", "uint8", "bits"):
            raise ValueError(f"{_FUNCTION} argument 'observation' must be 'float32', 'uint8' or "
                             f"'bits', not {observation!r}")
        if legal not in (None, "mask", "ids"):
            raise ValueError(f"{_FUNCTION} argument 'legal' must be None, 'mask' or 'ids', not {legal!r}")
        self._batch_size = _whole("batch_size", batch_size, 1)
        _whole("shuffle", shuffle, 0)
        _whole("seed", seed, 0)
        if seed >= 1 << 64:
            raise ValueError(f"{_FUNCTION} argument 'seed' must be below 2**64, not {seed!r}")
        self._epochs = _whole("epochs", epochs, 1)
        given = shard
        if shard is None:
            shard = (0, 1)
        if isinstance(shard, list):
            shard = (*shard,)
        if (not isinstance(shard, tuple) or len(shard) != 2
                or not all(isinstance(v, int) and not isinstance(v, bool) for v in shard)
                or not 0 <= shard[0] < shard[1] or shard[1] >= 1 << 32):
            raise ValueError(f"{_FUNCTION} argument 'shard' must be None or (index, count) with "
                             f"0 <= index < count, not {given!r}")
        if threads is None:
            threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        _whole("threads", threads, 1)
        threads = min(threads, 256)
        for name, bound in (("min_elo", min_elo), ("max_elo", max_elo)):
            if bound is not None:
                _whole(name, bound, 0)
        _whole("min_ply", min_ply, 0)
        if isinstance(results, str) or not isinstance(results, Sequence) or not all(
                isinstance(r, str) for r in results):
            raise ValueError(f"{_FUNCTION} argument 'results' must be a sequence of str, not {results!r}")
        if not isinstance(drop_last, bool):
            raise ValueError(f"{_FUNCTION} argument 'drop_last' must be True or False, not {drop_last!r}")
        self._observation = observation
        self._legal = legal
        self._drop_last = drop_last
        self._inputs = inspect_inputs(_paths(sources))
        for item in self._inputs:
            if item.compressed:
                _check_start(item)
        # What decides the order of the positions: a saved state fits only a
        # run with the same.
        self._fingerprint = {
            "sources": [item.path for item in self._inputs],
            "sizes": [item.size for item in self._inputs],
            "encoding": encoding, "shuffle": shuffle, "seed": seed, "epochs": epochs,
            "shard": list(shard), "min_elo": min_elo, "max_elo": max_elo, "min_ply": min_ply,
            "results": list(results),
        }
        self._epoch = 0  # the epoch being read
        self._position = 0  # the positions of this epoch already given out
        if state is not None:
            self._epoch, self._position = self._restore(state)
        self._core = _pgn.TrainingStream(encoding, shuffle, seed, shard[0], shard[1], threads,
                                         min_elo, max_elo, min_ply, list(results), self._batch_size)
        self._skip = 0
        self._skipped = 0
        self._errors: list[GameError] = []
        self._run = self._batches()

    def _restore(self, state: Any) -> tuple[int, int]:
        if (not isinstance(state, dict) or state.get("version") != _STATE_VERSION
                or not isinstance(state.get("epoch"), int) or not isinstance(state.get("position"), int)
                or state["epoch"] < 0 or state["position"] < 0):
            raise ValueError(f"{_FUNCTION} argument 'state' must be a dict that state_dict() returned")
        if state.get("fingerprint") != self._fingerprint:
            raise ValueError(f"{_FUNCTION} argument 'state' was saved by a run over other sources "
                             "or with other arguments")
        return state["epoch"], state["position"]

    def state_dict(self) -> dict[str, Any]:
        """Where the iteration stands: training_batches(..., state=this) with the same
        sources and arguments goes on with the batch that would have come next."""
        return {"version": _STATE_VERSION, "epoch": self._epoch, "position": self._position,
                "fingerprint": self._fingerprint}

    @property
    def skipped(self) -> int:
        """The number of games of the sources that could not be replayed (counted in the
        first epoch read)."""
        return self._skipped

    @property
    def errors(self) -> list[GameError]:
        """The error records of the first games that could not be replayed (at most 100),
        their messages beginning with the file."""
        return self._errors

    def __iter__(self) -> TrainingBatches:
        return self

    def __next__(self) -> TrainingBatch:
        return next(self._run)

    def _batches(self) -> Iterator[TrainingBatch]:
        from orvex_tools.dataset.chunks import file_chunks

        core = self._core
        first_epoch = self._epoch
        for epoch in range(first_epoch, self._epochs):
            counting = epoch == first_epoch
            core.begin_epoch(epoch)
            if epoch != first_epoch:
                self._epoch, self._position = epoch, 0
            # The positions of the epoch that a resumed run gave out before.
            self._skip = self._position
            for item in self._inputs:
                game_base = line_base = 0
                chunks = file_chunks(item, PIECE_BYTES, MAX_GAME_BYTES)
                text, failure = _next_piece(chunks)
                while text is not None:
                    room = MAX_ERRORS - len(self._errors) if counting else 0
                    # Starts the workers on the piece (with more than one
                    # thread) and takes in the one before, whose batches go
                    # out meanwhile, as the file's next piece is fetched.
                    core.start_text(text, item.index, game_base, MAX_GAME_BYTES, room)
                    yield from self._whole_batches()
                    text, failure = _next_piece(chunks)
                    games, lines, skipped, failures, too_long = core.finish_text()
                    if too_long is not None:
                        game, index, line = too_long
                        raise ValueError(f"{item.label}: " + _pgn.too_long_message(
                            game, game_base + index, line_base + line, MAX_GAME_BYTES))
                    if counting:
                        self._count(item.label, skipped, failures, game_base, line_base)
                    game_base += games
                    line_base += lines
                if failure is not None:
                    # The file fails after the batches of what was read of it.
                    core.take_in()
                    yield from self._whole_batches()
                    raise failure
            core.end_epoch()
            yield from self._whole_batches()
            if core.ready() and not self._drop_last:
                yield self._take(core.ready())
            core.discard(core.ready())
        self._epoch, self._position = self._epochs, 0

    def _whole_batches(self) -> Iterator[TrainingBatch]:
        """The whole batches of the ready positions, past those that a resumed run
        gave out before."""
        step = min(self._core.ready(), self._skip)
        if step > 0:
            self._core.discard(step)
            self._skip -= step
        while self._core.ready() >= self._batch_size:
            yield self._take(self._batch_size)

    def _take(self, n: int) -> TrainingBatch:
        arrays = self._core.take(n, self._observation, self._legal)
        self._position += len(arrays["move_id"])
        return TrainingBatch(**arrays)

    def _count(self, label: str, skipped: int, failures: list[tuple[Any, ...]], game_base: int,
               line_base: int) -> None:
        self._skipped += skipped
        for index, game_line, line, text, reason in failures:
            message = f"{label}: " + _pgn.failure_message(game_base + index, line_base + game_line,
                                                           line_base + line, text, reason)
            self._errors.append(GameError(game_base + index, line_base + line, text, message))


def training_batches(
    sources: Sequence[PathLike] | PathLike,
    *,
    batch_size: int = 1024,
    encoding: Literal["az", "lc0"] = "az",
    observation: Literal["float32", "uint8", "bits"] = "float32",
    legal: Literal["mask", "ids"] | None = None,
    shuffle: int = 100_000,
    seed: int = 0,
    epochs: int = 1,
    shard: tuple[int, int] | None = None,
    threads: int | None = None,
    min_elo: int | None = None,
    max_elo: int | None = None,
    min_ply: int = 0,
    results: Sequence[str] = ("1-0", "0-1", "1/2-1/2"),
    drop_last: bool = False,
    state: dict[str, Any] | None = None,
) -> TrainingBatches:
    """Returns an iterator over batches of training positions read from PGN files.

    Every position before a main-line move of every game that replays and
    passes the filters is one row: the observation ChessEnv shows after the
    game's moves were played from its start (a FEN start begins the history
    and takes its counters from the FEN), the move played, the result for the
    side to move, and where it comes from. The games kept: both players' Elo
    tags within min_elo and max_elo (a game without them is left out when a
    bound is given), at least min_ply plies, a result among results. Games
    that cannot be replayed, and Chess960 games (ChessEnv plays standard
    chess), are skipped and counted (skipped, errors).

    shuffle is the size of the shuffle buffer in positions (0: file order),
    whose draws are seeded by seed and the epoch: the same arguments give the
    same batches, whatever the threads. shard=(index, count) keeps every
    count-th position, from the index-th: the shards are disjoint and together
    the whole. Batches do not span epochs; the last of an epoch may be short
    unless drop_last. state (from state_dict()) goes on where a run stopped.

    Raises ValueError for bad arguments, OSError naming the file for a source
    that cannot be read or a compressed one whose start does not decompress
    (before any batch), EOFError or OSError naming the file for compressed data
    that is truncated or damaged further on (when it is reached), and
    ValueError naming the file and line for a game longer than 64 MiB.
    """
    return TrainingBatches(sources, batch_size=batch_size, encoding=encoding, observation=observation,
                           legal=legal, shuffle=shuffle, seed=seed, epochs=epochs, shard=shard,
                           threads=threads, min_elo=min_elo, max_elo=max_elo, min_ply=min_ply,
                           results=results, drop_last=drop_last, state=state)
