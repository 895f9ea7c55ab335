"""De-duplication: only the first row of each Polyglot key, in input order, is kept.

The Polyglot keys and the order key (file index, game, ply) of all rows are
read back with dask.dataframe and shuffled by key with Dask's shuffle; for
each key the first row in input order is kept, the others are routed back by
a second shuffle on the file they are in, which is written again without them.
Only keys and row numbers travel.
"""

from __future__ import annotations

import importlib
import os
import uuid
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

from orvex_tools.cluster import import_distributed
from orvex_tools.dataset.rows import BATCH_ROWS, parquet_options

if TYPE_CHECKING:
    import pandas as pd
    from distributed import Client


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


def _filter_part(name: str, drop: pd.DataFrame, staging: str, kept_dir: str,
                 compression: str) -> tuple[str, int]:
    """Writes the part again without the rows in drop (their row numbers)."""
    import numpy as np
    import pyarrow.parquet as pq

    table = pq.read_table(os.path.join(staging, name))
    keep = np.ones(table.num_rows, bool)
    keep[drop["row"].to_numpy()] = False
    kept = table.filter(keep)
    temporary = os.path.join(kept_dir, f"{name}.{os.getpid()}-{uuid.uuid4().hex[:8]}.tmp")
    pq.write_table(kept, temporary, row_group_size=BATCH_ROWS, **parquet_options(compression))
    os.replace(temporary, os.path.join(kept_dir, name))
    return name, kept.num_rows


def dedup(client: Client, parts: list[StagedPart], staging: str, kept_dir: str, compression: str,
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
    tasks = [delayed(_filter_part)(part.name, drop, staging, kept_dir, compression)
             for part, drop in zip(parts, drops)]
    futures = cast(Any, client).compute(tasks)
    kept: dict[str, int] = {}
    for future in import_distributed().as_completed(futures):
        name, rows = future.result()
        kept[name] = rows
        progress.update(1)
    return [(part.name, kept[part.name]) for part in parts]
