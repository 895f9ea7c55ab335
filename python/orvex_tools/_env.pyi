"""The native self-play environment behind orvex_tools.ChessEnv."""

from collections.abc import Callable, Sequence
from typing import Literal, SupportsIndex, final, overload

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

@final
class SearchOutput(tuple[memoryview, memoryview, memoryview, memoryview]):
    """What MCTS.run returns (a named tuple of four arrays)."""

    @property
    def action(self) -> memoryview:
        """(N,) int32: the action chosen in each game."""
    @property
    def action_weights(self) -> memoryview:
        """(N, 4672) float32: the policy target (mctx's action_weights)."""
    @property
    def visit_counts(self) -> memoryview:
        """(N, 4672) int32: the visit counts of the root's children."""
    @property
    def root_value(self) -> memoryview:
        """(N,) float32: the root's search value (mctx's search_tree.summary().value)."""

_Evaluate = Callable[[memoryview], tuple[Buffer, Buffer] | list[Buffer]]

@final
class MCTS:
    """A batched search over every game of a ChessEnv, as mctx's muzero_policy or gumbel_muzero_policy, in C++ on worker threads."""

    @overload
    def __new__(
        cls,
        env: ChessEnv,
        num_simulations: int = 64,
        policy: Literal["gumbel"] = "gumbel",
        threads: int | None = None,
        *,
        max_depth: int | None = None,
        max_num_considered_actions: int = 16,
        gumbel_scale: float = 1.0,
        value_scale: float = 0.1,
        maxvisit_init: float = 50.0,
        rescale_values: bool = True,
        use_mixed_value: bool = True,
        epsilon: float = 1e-8,
    ) -> MCTS: ...
    @overload
    def __new__(
        cls,
        env: ChessEnv,
        num_simulations: int = 64,
        *,
        policy: Literal["muzero"],
        threads: int | None = None,
        max_depth: int | None = None,
        pb_c_init: float = 1.25,
        pb_c_base: float = 19652.0,
        dirichlet_fraction: float = 0.25,
        dirichlet_alpha: float = 0.3,
        temperature: float = 1.0,
        epsilon: float = 1e-8,
    ) -> MCTS: ...
    @overload
    def __new__(
        cls,
        env: ChessEnv,
        num_simulations: int,
        policy: Literal["muzero"],
        threads: int | None = None,
        *,
        max_depth: int | None = None,
        pb_c_init: float = 1.25,
        pb_c_base: float = 19652.0,
        dirichlet_fraction: float = 0.25,
        dirichlet_alpha: float = 0.3,
        temperature: float = 1.0,
        epsilon: float = 1e-8,
    ) -> MCTS: ...
    def run(self, evaluate: _Evaluate, key: SupportsIndex | Buffer | Sequence[int], gumbel: Buffer | None = None) -> SearchOutput:
        """Searches every game from its current state; evaluate(observation) -> (prior_logits (N, 4672) float32, value (N,) float32) is called once for the roots and once per simulation. Raises TypeError or ValueError on bad arguments or bad outputs of evaluate, evaluate's own exceptions, KeyboardInterrupt; the env is never changed."""
    @property
    def env(self) -> ChessEnv:
        """The environment searched."""
    @property
    def num_simulations(self) -> int:
        """The simulations of each run."""
    @property
    def policy(self) -> Literal["muzero", "gumbel"]:
        """'muzero' or 'gumbel'."""
    @property
    def threads(self) -> int:
        """The worker threads."""
