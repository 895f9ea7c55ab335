"""Training batches from PGN files as a PyTorch dataset (torch is not a
dependency of orvex_chess: install it to use this module).

    dataset = orvex_tools.torch.TrainingDataset(["2024-01.pgn.zst"], batch_size=1024, seed=1)
    loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2)
    for batch in loader:
        loss = criterion(model(batch["observation"]), batch["move_id"])

The dataset yields whole batches (hence batch_size=None in the DataLoader),
each a dict of tensors over the batch's own memory.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Any, Union

import torch  # type: ignore[import-not-found, unused-ignore]
import torch.utils.data  # type: ignore[import-not-found, unused-ignore]

from orvex_tools.training import TrainingBatch, training_batches

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["TrainingDataset", "batch_tensors"]

_DTYPES = {"f": torch.float32, "i": torch.int32, "q": torch.int64, "l": torch.int64,
           "Q": torch.uint64, "B": torch.uint8, "?": torch.bool}


def _tensor(view: memoryview) -> torch.Tensor:
    shape = view.shape or ()
    if view.nbytes == 0:
        return torch.empty(shape, dtype=_DTYPES[view.format])
    return torch.frombuffer(view, dtype=_DTYPES[view.format]).reshape(shape)


def batch_tensors(batch: TrainingBatch) -> dict[str, torch.Tensor]:
    """The arrays of a batch as tensors that share their memory; "legal" and
    "legal_offsets" only when the batch has them."""
    fields = ("observation", "move_id", "value", "file", "game", "ply", "legal", "legal_offsets")
    return {name: _tensor(getattr(batch, name)) for name in fields if getattr(batch, name) is not None}


class TrainingDataset(torch.utils.data.IterableDataset):  # type: ignore[type-arg, misc, unused-ignore]
    """training_batches(sources, **options) as an IterableDataset of dicts of tensors.

    In a DataLoader with several workers, each worker reads its own shard of
    the positions (within the shard given, if any): together they give every
    position once per epoch.
    """

    def __init__(self, sources: Sequence[PathLike] | PathLike, **options: Any) -> None:
        super().__init__()
        self.sources = sources
        self.options = options
        # Arguments are checked now, in the main process.
        training_batches(sources, **options)

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        options = dict(self.options)
        info = torch.utils.data.get_worker_info()
        if info is not None and info.num_workers > 1:
            index, count = options.get("shard") or (0, 1)
            options["shard"] = (index + count * info.id, count * info.num_workers)
        for batch in training_batches(self.sources, **options):
            yield batch_tensors(batch)
