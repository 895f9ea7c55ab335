"""Training positions from PGN archives, built on a Dask cluster and written as Parquet.

    summary = orvex_tools.build_dataset(["2024-01.pgn.zst"], "positions/", dedup=True)
    print(summary)

Every position before a main-line move of every game that can be replayed
becomes one row: the game (input file and the game's index in it), the ply,
the position (twelve bitboards and the state word, or its FEN), the side to
move, the move played (coordinate notation and its policy id), the ids of all
legal moves, the Polyglot key and the game's result.

The parts, each a module of this package:

* chunks: the input text is cut into chunks of whole games, at game
  boundaries; plain files by the workers, compressed ones by the driver.
* rows: a worker reads and replays a chunk's games in C++ into rows (arrays),
  and later writes them to Parquet files in a staging directory.
* build: the driver (build_dataset) runs the chunks on the cluster: once every
  chunk before it is counted, a chunk's rows are written with their game
  numbers in the file.
* dedup: with dedup, the first row of each Polyglot key in input order is kept.
* output: the output directory is checked, and its files replaced all at once.
* summary: what a run did.

Tasks are pure functions of their inputs: when a worker dies Dask runs its
tasks again elsewhere and the output is the same.
"""

from orvex_tools.dataset.build import DEFAULT_ROWS_PER_FILE, build_dataset, check_paths
from orvex_tools.dataset.rows import COMPRESSIONS, dataset_schema
from orvex_tools.dataset.summary import DatasetSummary

__all__ = ["COMPRESSIONS", "DEFAULT_ROWS_PER_FILE", "DatasetSummary", "build_dataset", "check_paths",
           "dataset_schema"]
