"""The native PGN reader behind orvex_tools.read_games."""

from collections.abc import Callable
from typing import Any, final

@final
class Reader:
    """Reader(read, game, error, skip_errors, threads, block_size, max_game_bytes): the games of PGN bytes pulled from read(n); use orvex_tools.read_games."""

    def __new__(
        cls,
        read: Callable[[int], bytes],
        game: Callable[..., Any],
        error: Callable[..., Any],
        skip_errors: bool,
        threads: int | None,
        block_size: int,
        max_game_bytes: int | None,
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
