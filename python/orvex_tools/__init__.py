"""orvex_tools: the companion package of orvex_chess.

The module orvex_chess holds the two classes Board and MoveGenerator; what is
built on top of them lives here: the PGN reader (read_games), training
datasets built on Dask (build_dataset), perft on a Dask cluster
(orvex_tools.cluster) and the orvex-chess command line (python -m orvex_tools).
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("orvex_chess")
except PackageNotFoundError:  # running from a source tree
    __version__ = "unknown"

from orvex_tools.dataset import DatasetSummary, build_dataset
from orvex_tools.pgn import Game, GameError, GameReader, read_games
from orvex_tools.pgn_writer import write_games

__all__ = ["DatasetSummary", "Game", "GameError", "GameReader", "build_dataset", "read_games",
           "write_games", "__version__"]
