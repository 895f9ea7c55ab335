"""orvex_tools: the companion package of orvex_chess.

The module orvex_chess holds the two classes Board and MoveGenerator; what is
built on top of them lives here: the PGN reader (read_games) and writer
(write_games), training datasets built on Dask (build_dataset), the batched
self-play environment (ChessEnv), training batches straight from PGN files
(training_batches, with a PyTorch dataset in orvex_tools.torch), perft on a Dask cluster
(orvex_tools.cluster) and the orvex-chess command line (python -m orvex_tools).

Importing the package loads none of its parts: each name below is imported
from its module on first use, so that the command line and programs that need
one part start without paying for the others (Dask, pyarrow and the PGN
reader above all).
"""

from __future__ import annotations

# Not typing.TYPE_CHECKING: importing typing would cost more than the rest of
# the package (type checkers take any name TYPE_CHECKING as true).
TYPE_CHECKING = False

try:
    # Written when the package is built (see [tool.scikit-build] in pyproject.toml).
    from orvex_tools._version import __version__
except ImportError:  # a source tree that was never built
    __version__ = "unknown"

if TYPE_CHECKING:
    from typing import Any

    from orvex_tools._env import MCTS, ChessEnv, SearchOutput
    from orvex_tools.dataset import DatasetSummary, build_dataset
    from orvex_tools.pgn import Game, GameError, GameReader, read_games
    from orvex_tools.pgn_writer import write_games
    from orvex_tools.training import TrainingBatch, TrainingBatches, training_batches

__all__ = ["MCTS", "ChessEnv", "DatasetSummary", "Game", "GameError", "GameReader", "SearchOutput",
           "TrainingBatch", "TrainingBatches", "build_dataset", "read_games", "training_batches", "write_games",
           "__version__"]

# The module of each name that is imported on first use.
_LAZY = {
    "DatasetSummary": "orvex_tools.dataset",
    "build_dataset": "orvex_tools.dataset",
    "Game": "orvex_tools.pgn",
    "GameError": "orvex_tools.pgn",
    "GameReader": "orvex_tools.pgn",
    "read_games": "orvex_tools.pgn",
    "write_games": "orvex_tools.pgn_writer",
    "ChessEnv": "orvex_tools._env",
    "MCTS": "orvex_tools._env",
    "SearchOutput": "orvex_tools._env",
    "TrainingBatch": "orvex_tools.training",
    "TrainingBatches": "orvex_tools.training",
    "training_batches": "orvex_tools.training",
}

if not TYPE_CHECKING:  # type checkers see the imports above, and no catch-all

    def __getattr__(name: str) -> Any:
        module = _LAZY.get(name)
        if module is None:
            raise AttributeError(f"module 'orvex_tools' has no attribute {name!r}")
        from importlib import import_module

        value = getattr(import_module(module), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(_LAZY))
