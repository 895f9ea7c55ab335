"""The native self-play environment behind orvex_tools.ChessEnv."""

from collections.abc import Sequence
from typing import Literal, SupportsIndex, final

from typing_extensions import Buffer

import orvex_chess

@final
class ChessEnv:
    """A batch of chess games stepped together by pgx's chess rules, in C++ on worker threads."""

    def __new__(
        cls,
        batch_size: int,
        *,
        threads: int | None = None,
        observation: Literal["float32", "uint8", "bits"] = "float32",
        autoreset: bool = False,
        illegal: Literal["raise", "lose"] = "raise",
    ) -> ChessEnv:
        """Makes batch_size games at the standard position, player 0 white; raises TypeError or ValueError on bad arguments."""
    def reset(self, seed: SupportsIndex | None = None) -> None:
        """Starts every game again; with a seed, each game's player order is drawn as pgx's init draws it from jax.random.split(jax.random.PRNGKey(seed), N); raises TypeError, KeyboardInterrupt (every game as it was)."""
    def step(self, actions: Buffer | Sequence[int]) -> None:
        """Makes one AlphaZero action id per game; raises TypeError or ValueError on bad actions (no game moves), KeyboardInterrupt (every game as it was)."""
    def sample_actions(self, rng_seed: SupportsIndex | None = None) -> memoryview:
        """Returns a (N,) int32 array: a uniformly random legal action per running game, 0 for an ended one."""
    def moves(self, game: int) -> list[str]:
        """Returns the legal moves played in that game, in coordinate notation; raises ValueError for a game out of range."""
    def board(self, game: int) -> orvex_chess.Board:
        """Returns that game as a Board: the standard position with its moves pushed."""
    def __reduce__(self) -> tuple[type[ChessEnv], tuple[int], bytes]:
        """Returns (ChessEnv, (N,), state) for pickle, state holding every game."""
    def __setstate__(self, state: bytes, /) -> None:
        """Replaces every game with those of __reduce__; raises ValueError on bad bytes."""
    @property
    def observation(self) -> memoryview:
        """(N, 8, 8, 119) float32 or uint8, or (N, 119) uint64: each game's observation for the player to move (read-only, updated in place)."""
    @property
    def legal_action_mask(self) -> memoryview:
        """(N, 4672) bool: the legal actions, all of them once a game has ended."""
    @property
    def rewards(self) -> memoryview:
        """(N, 2) float32: the last step's rewards by player."""
    @property
    def terminated(self) -> memoryview:
        """(N,) bool: the game has ended."""
    @property
    def truncated(self) -> memoryview:
        """(N,) bool: always false, as in pgx."""
    @property
    def current_player(self) -> memoryview:
        """(N,) int32: the player (0 or 1) to move."""
    @property
    def step_count(self) -> memoryview:
        """(N,) int32: the steps since the game's reset."""
    @property
    def batch_size(self) -> int:
        """The number of games."""
