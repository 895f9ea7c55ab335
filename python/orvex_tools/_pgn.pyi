"""The native PGN reader behind orvex_tools.read_games."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, final

from typing_extensions import Buffer

@final
class Reader:
    """Reader(read, game, error, skip_errors, threads, block_size, max_game_bytes, readinto=None, live=False): the games of PGN bytes pulled from read(n), or read into the reader's buffer by readinto(buffer); live: read(n) returns what has come, and the games read are handed out before more is read; use orvex_tools.read_games."""

    def __new__(
        cls,
        read: Callable[[int], bytes],
        game: Callable[..., Any],
        error: Callable[..., Any],
        skip_errors: bool,
        threads: int | None,
        block_size: int,
        max_game_bytes: int | None,
        readinto: Callable[[memoryview], int | None] | None = None,
        live: bool = False,
    ) -> Reader: ...
    def __iter__(self) -> Reader: ...
    def __next__(self) -> Any:
        """Returns the next game; raises ValueError for a game that cannot be replayed unless errors are skipped, StopIteration at the end."""
    def close(self) -> bool:
        """close() -> bool: stops reading; the reader yields no more games. Returns False when another thread is inside next(): it stops as soon as it regains control, its next() raising StopIteration."""
    @property
    def skipped(self) -> int:
        """The number of games that could not be replayed."""
    @property
    def errors(self) -> list[Any]:
        """The error records of the first failed games."""

def movetext(start: str, number: str, moves: Iterable[object], result: str,
             chess960: bool = False) -> str | tuple[int, object]:
    """The movetext of a game from the start FEN (of a Chess960 board with chess960) whose move number is the decimal text number: SAN with move numbers in lines of at most 80 characters, ended by result. The moves are taken one by one from the iterable moves, in coordinate notation as MoveGenerator writes them; at the first item that is not such a legal move, (its place, the item) is returned instead."""

def position_rows(text: Buffer, encoding: str, fen: bool, max_game_bytes: int | None,
                  max_errors: int | None) -> dict[str, Any]:
    """Reads the games of a chunk of PGN text and returns the rows of the positions before each main-line move of the games that replay, as arrays, with the chunk's game and line counts and the first max_errors failures as (index, game_line, line, text, reason)."""

def find_game_boundary(text: Buffer, start: int) -> int | None:
    """The first game boundary at or after start: the offset of a '[' that begins a line after one or more blank lines that follow a line ending in a result; None if there is none."""

def failure_message(index: int, game_line: int, line: int, text: str, reason: str) -> str:
    """The message of a game that cannot be replayed, as read_games reports it."""

def too_long_message(game: bool, index: int, line: int, limit: int) -> str:
    """The message of a game (or, game false, a line between games) longer than limit bytes, as read_games reports it."""

@final
class TrainingStream:
    """TrainingStream(encoding, shuffle, seed, shard_index, shard_count, threads, min_elo, max_elo, min_ply, results, batch_size): training positions of PGN text; use orvex_tools.training_batches."""

    def __new__(
        cls,
        encoding: str,
        shuffle: int,
        seed: int,
        shard_index: int,
        shard_count: int,
        threads: int,
        min_elo: int | None,
        max_elo: int | None,
        min_ply: int,
        results: Sequence[str],
        batch_size: int,
        /,
    ) -> TrainingStream: ...
    def begin_epoch(self, epoch: int, /) -> None:
        """begin_epoch(epoch): starts an epoch, holding no positions."""
    def start_text(
        self, text: Buffer, file: int, game_base: int, max_game_bytes: int, max_failures: int, /
    ) -> None:
        """start_text(text, file, game_base, max_game_bytes, max_failures): starts reading the whole games of text, in the background with more than one thread, and takes in the positions of the piece read before."""
    def finish_text(
        self,
    ) -> tuple[int, int, int, list[tuple[int, int, int, str, str]], tuple[bool, int, int] | None]:
        """finish_text() -> (games, lines, skipped, failures, too_long): waits for the piece started."""
    def take_in(self) -> None:
        """take_in(): takes in the positions of the piece finished last."""
    def end_epoch(self) -> None:
        """end_epoch(): takes in the last piece, and the shuffle buffer sends out what it holds."""
    def ready(self) -> int:
        """ready() -> int: the positions ready to be taken."""
    def take(self, n: int, observation: str, legal: str | None, /) -> dict[str, memoryview]:
        """take(n, observation, legal) -> dict: the arrays of the first n ready positions, which it lets go of."""
    def discard(self, n: int, /) -> None:
        """discard(n): lets go of the first n ready positions."""
