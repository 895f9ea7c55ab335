"""The network of the search fixture (scripts/make_mctx_fixture.py): a fixed
function of the observation whose outputs are exact in float32, so that numpy
(the tests) and JAX (the fixture) give the same bits.

Everything is integer arithmetic on the 0/1 piece and repetition planes of the
current position, turned into float32 only at the end and scaled by a power of
two: no rounding anywhere. The logits depend on the position and on the
action (the piece on the action's from-square, an opponent's piece on a
square the action id points at, the repetition plane), the value on the
material and on how far each side's pieces have advanced.

``evaluate(observation, xp)`` takes an (N, 8, 8, 119) float32 observation (the
env's and pgx's form) and returns ``(logits (N, 4672) float32, value (N,)
float32)``; ``xp`` is ``numpy`` or ``jax.numpy``.
"""

from __future__ import annotations

import numpy as np

NUM_ACTIONS = 4672
_ACTION = np.arange(NUM_ACTIONS, dtype=np.int64)
#: The action's from-square (board index: file * 8 + rank, mover's frame).
FROM = (_ACTION // 73).astype(np.int32)
#: Another square the action id picks (not its destination: any fixed square will do).
OTHER = ((_ACTION // 73 + 1 + 5 * (_ACTION % 73)) % 64).astype(np.int32)


def _table(multiplier: int, shift: int) -> np.ndarray:
    """Small integers in -3..3, a fixed hash of the action id."""
    return (((_ACTION * multiplier) >> shift) % 7 - 3).astype(np.int32)


WEIGHT_MINE = _table(2654435761, 7)
WEIGHT_THEIRS = _table(40503, 3)
WEIGHT_REPEAT = _table(2246822519, 11)
BIAS = _table(3266489917, 13)
#: Material of pawn, knight, bishop, rook, queen, king.
MATERIAL = np.array([1, 3, 3, 5, 9, 0], dtype=np.int32)
LOGIT_SCALE = np.float32(1 / 16)
VALUE_SCALE = np.float32(1 / 32)


def evaluate(observation, xp=np):
    obs = xp.asarray(observation)
    n = obs.shape[0]
    # (N, 8, 8, 12) piece planes of the current position, rows turned so that
    # row r is the mover's rank r, then (N, file, rank): board index file * 8 + rank.
    pieces = obs[:, ::-1, :, 0:12].astype(xp.int32).transpose(0, 2, 1, 3).reshape(n, 64, 12)
    kinds = xp.arange(1, 7, dtype=xp.int32)
    mine = (pieces[:, :, 0:6] * kinds).sum(axis=2)  # (N, 64): 0 empty, 1..6 the mover's piece
    theirs = (pieces[:, :, 6:12] * kinds).sum(axis=2)
    repeated = obs[:, 0, 0, 13].astype(xp.int32)  # the position has occurred before
    logits = (xp.asarray(WEIGHT_MINE) * mine[:, FROM]
              + xp.asarray(WEIGHT_THEIRS) * theirs[:, OTHER]
              + xp.asarray(WEIGHT_REPEAT) * repeated[:, None]
              + xp.asarray(BIAS))
    rank = xp.asarray(np.arange(64, dtype=np.int32) % 8)
    material = (pieces[:, :, 0:6] * xp.asarray(MATERIAL)).sum(axis=(1, 2)) \
        - (pieces[:, :, 6:12] * xp.asarray(MATERIAL)).sum(axis=(1, 2))
    advance = ((mine > 0) * rank).sum(axis=1) - ((theirs > 0) * (7 - rank)).sum(axis=1)
    value = xp.clip(4 * material + advance // 4, -32, 32)
    return (logits.astype(xp.float32) * LOGIT_SCALE,
            value.astype(xp.float32) * VALUE_SCALE)
