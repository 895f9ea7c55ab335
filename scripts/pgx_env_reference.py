"""A numpy reference of pgx's ``chess`` environment (pgx 2.6.0), written from
its rules as described in scripts/pgx_env_notes.md, without JAX.

pgx is a different program used here as an oracle only. This module needs
numpy and python-chess (both in the test extra); it does not import pgx or jax.
scripts/make_pgx_env_fixture.py steps it next to pgx and stops on the first
difference, so what it does is what pgx does on every state of the fixture.

Two parts:

* ``prng_key``, ``split``, ``bernoulli_half``, ``initial_players``: JAX's
  default random numbers (threefry2x32) as far as pgx's ``Env.init`` uses them,
  so the player order of a batch reset from one seed can be reproduced.
* ``Env``: reset from a key, step, observation, legal-action mask, rewards,
  terminated, truncated, current player and step count, state for state.

Legal moves come from python-chess (pgx's legal moves are the rules of chess;
the fixture checks that at every state). Everything else is pgx's own rule,
illegal actions included.
"""

from __future__ import annotations

import hashlib

import chess
import numpy as np

from pgx_env_fixture import decode_ids, encode_ids, read_fixture  # noqa: F401 - also for users of this module

# --------------------------------------------------------------------------
# JAX's threefry2x32 random numbers (jax_threefry_partitionable=True, the
# default from jax 0.5 on; jax_enable_x64=False; jax_default_prng_impl
# "threefry2x32"). The "original" scheme (partitionable=False) is here too.
# --------------------------------------------------------------------------

_ROTATIONS = ((13, 15, 26, 6), (17, 29, 16, 24))
_M32 = 0xFFFFFFFF


def _rotl(x: np.ndarray, d: int) -> np.ndarray:
    return (x << np.uint32(d)) | (x >> np.uint32(32 - d))


def threefry2x32(key: tuple[int, int], x0, x1) -> tuple[np.ndarray, np.ndarray]:
    """Threefry-2x32 with 20 rounds, as JAX computes it, on uint32 arrays."""
    k0, k1 = np.uint32(key[0]), np.uint32(key[1])
    ks = (k0, k1, np.uint32(k0 ^ k1 ^ np.uint32(0x1BD11BDA)))
    x = [np.asarray(x0, np.uint32).copy(), np.asarray(x1, np.uint32).copy()]
    with np.errstate(over="ignore"):
        x[0] = x[0] + ks[0]
        x[1] = x[1] + ks[1]
        for block in range(5):
            for r in _ROTATIONS[block % 2]:
                x[0] = x[0] + x[1]
                x[1] = _rotl(x[1], r)
                x[1] = x[0] ^ x[1]
            x[0] = x[0] + ks[(block + 1) % 3]
            x[1] = x[1] + ks[(block + 2) % 3] + np.uint32(block + 1)
    return x[0], x[1]


def prng_key(seed: int, *, x64: bool = False) -> tuple[int, int]:
    """``jax.random.PRNGKey(seed)`` as two uint32 words.

    Without x64 the seed is an int32 (a Python int is wrapped modulo 2**32),
    so the high word is 0 and the low word is ``seed mod 2**32``; with x64 it is
    an int64 split into its high and low halves."""
    if x64:
        s = seed & 0xFFFFFFFFFFFFFFFF
        return (s >> 32, s & _M32)
    return (0, seed & _M32)


def split(key: tuple[int, int], n: int, *, partitionable: bool = True) -> list[tuple[int, int]]:
    """``jax.random.split(key, n)``: n keys of two uint32 words each."""
    if partitionable:
        # key i = threefry2x32(key, (hi(i), lo(i))): a 64-bit counter per key.
        i = np.arange(n, dtype=np.uint64)
        b0, b1 = threefry2x32(key, (i >> np.uint64(32)).astype(np.uint32), (i & np.uint64(_M32)).astype(np.uint32))
        return [(int(a), int(b)) for a, b in zip(b0, b1)]
    # Original scheme: hash counters 0 .. 2n-1 as pairs (j, n + j), lay the
    # 2n outputs end to end (first words, then second words), read as (n, 2).
    counts = np.arange(2 * n, dtype=np.uint32)
    b0, b1 = threefry2x32(key, counts[:n], counts[n:])
    flat = np.concatenate([b0, b1])
    return [(int(flat[2 * j]), int(flat[2 * j + 1])) for j in range(n)]


def random_bits32(key: tuple[int, int], *, partitionable: bool = True) -> int:
    """``jax.random.bits(key)`` for one uint32 (the draw ``uniform`` makes)."""
    b0, b1 = threefry2x32(key, np.zeros(1, np.uint32), np.zeros(1, np.uint32))
    if partitionable:
        return int(b0[0] ^ b1[0])
    return int(b0[0])  # counter pair (0, 0): the padding word is dropped


def bernoulli_half(key: tuple[int, int], *, partitionable: bool = True) -> bool:
    """``jax.random.bernoulli(key)`` (p = 0.5, float32): uniform(key) < 0.5.

    uniform = bitcast((bits >> 9) | 0x3F800000) - 1.0 = (bits >> 9) / 2**23,
    which is below 0.5 exactly when the top bit of ``bits`` is 0."""
    bits = random_bits32(key, partitionable=partitionable)
    u = np.uint32((bits >> 9) | 0x3F800000).view(np.float32) - np.float32(1.0)
    return bool(u < np.float32(0.5))


def initial_player(key: tuple[int, int], *, partitionable: bool = True) -> int:
    """``env.init(key).current_player`` for pgx's chess.

    pgx: player_order = [[0, 1], [1, 0]][bernoulli(key)]; current_player =
    player_order[0] (white moves first). So a true draw makes player 1 white."""
    return 1 if bernoulli_half(key, partitionable=partitionable) else 0


def initial_players(seed: int, n: int, *, partitionable: bool = True) -> list[int]:
    """``jax.vmap(env.init)(jax.random.split(jax.random.PRNGKey(seed), n))
    .current_player``."""
    return [initial_player(k, partitionable=partitionable) for k in split(prng_key(seed), n, partitionable=partitionable)]


# --------------------------------------------------------------------------
# The chess environment.
# Boards are 64 ints indexed file * 8 + rank (a1 = 0, a2 = 1, ..., h8 = 63),
# always seen from the side to move: its pieces positive, its first rank is
# rank 0 (the board is mirrored rank-wise, not file-wise, for black).
# --------------------------------------------------------------------------

EMPTY, PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(7)
MAX_STEPS = 512
NUM_ACTIONS = 64 * 73
HISTORY = 8


def _action_tables() -> tuple[np.ndarray, np.ndarray]:
    """FROM_PLANE[from, plane] -> to (-1 off the board); TO_PLANE[from, to] -> plane."""
    from_plane = -np.ones((64, 73), np.int64)
    to_plane = -np.ones((64, 64), np.int64)
    zeros, up, down = [0] * 7, list(range(1, 8)), list(range(-7, 0))
    # planes 9..64 (rank step, file step): 9-15 ranks -7..-1, 16-22 ranks +1..+7,
    # 23-29 files -7..-1, 30-36 files +1..+7, 37-43 (-7,-7)..(-1,-1),
    # 44-50 (+1,+1)..(+7,+7), 51-57 (+7,-7)..(+1,-1), 58-64 (-1,+1)..(-7,+7);
    # 65-72 the knight jumps.
    dr = down + up + zeros + zeros + down + up + up[::-1] + down[::-1] + [-1, 1, -2, 2, -1, 1, -2, 2]
    df = zeros + zeros + down + up + down + up + down + up + [-2, -2, -1, -1, 2, 2, 1, 1]
    for frm in range(64):
        for plane in range(73):
            if plane < 9:  # underpromotions: only from rank 7 (index % 8 == 6)
                to = frm + (1, 9, -7)[plane % 3] if frm % 8 == 6 else -1
                if 0 <= to < 64:
                    from_plane[frm, plane] = to
            else:
                r, f = frm % 8 + dr[plane - 9], frm // 8 + df[plane - 9]
                if 0 <= r < 8 and 0 <= f < 8:
                    from_plane[frm, plane] = f * 8 + r
                    to_plane[frm, f * 8 + r] = plane
    return from_plane, to_plane


FROM_PLANE, TO_PLANE = _action_tables()

INIT_BOARD = np.zeros(64, np.int64)
for _f, _p in enumerate((ROOK, KNIGHT, BISHOP, QUEEN, KING, BISHOP, KNIGHT, ROOK)):
    INIT_BOARD[_f * 8 + 0], INIT_BOARD[_f * 8 + 1] = _p, PAWN
    INIT_BOARD[_f * 8 + 6], INIT_BOARD[_f * 8 + 7] = -PAWN, -_p

_DARK = np.array([(i // 8 + i % 8) % 2 == 0 for i in range(64)])  # a1 is dark


def action_of(move: chess.Move, turn: bool) -> int:
    """pgx's action id of a python-chess move for the side ``turn``."""

    def rel(sq: int) -> int:
        rank = chess.square_rank(sq) if turn == chess.WHITE else 7 - chess.square_rank(sq)
        return chess.square_file(sq) * 8 + rank

    frm, to = rel(move.from_square), rel(move.to_square)
    if move.promotion is not None and move.promotion != chess.QUEEN:
        direction = {0: 0, 1: 1, -1: 2}[chess.square_file(move.to_square) - chess.square_file(move.from_square)]
        kind = {chess.ROOK: 0, chess.BISHOP: 1, chess.KNIGHT: 2}[move.promotion]
        return frm * 73 + kind * 3 + direction
    return frm * 73 + int(TO_PLANE[frm, to])


# pgx seeds its history with a constant for the starting position's hash. That
# constant is the hash of the starting position only under the Zobrist tables
# that JAX's original random scheme gives; under jax_threefry_partitionable=True
# (the default from jax 0.5 on) the tables differ, the constant matches no
# position, and the starting position is never counted as repeated.
STALE_START_KEY = b"start"


class Game:
    """pgx's GameState: one position seen from the side to move, plus history."""

    def __init__(self, start_repeats: bool = False) -> None:
        self.color = 0  # 0: white to move, 1: black
        self.board = INIT_BOARD.copy()
        self.castling = np.ones((2, 2), bool)  # [[my a-side, my h-side], [their a-side, their h-side]]
        self.en_passant = -1  # square a double push skipped (mover's view), else -1
        self.halfmove = 0
        self.fullmove = 1
        self.step_count = 0
        self.board_history = np.zeros((HISTORY, 64), np.int64)
        self.board_history[0] = self.board
        self.key_history: list[bytes | None] = [None] * (MAX_STEPS + 1)
        self.key_history[0] = self.key() if start_repeats else STALE_START_KEY
        self.legal = self.legal_mask()

    def copy(self) -> "Game":
        g = Game.__new__(Game)
        g.__dict__.update({k: (v.copy() if isinstance(v, (np.ndarray, list)) else v) for k, v in self.__dict__.items()})
        return g

    def key(self) -> bytes:
        """What pgx's Zobrist hash tells apart: the board as the mover sees it,
        the colour to move, the four castling flags, the en-passant square."""
        return (
            self.board.astype(np.int8).tobytes()
            + bytes([self.color])
            + self.castling.astype(np.uint8).tobytes()
            + bytes([self.en_passant + 1])
        )

    # -- python-chess view, for legal moves and check ---------------------------------
    def to_chess(self) -> chess.Board:
        board = chess.Board(None)
        for i in range(64):
            v = int(self.board[i])
            if v == 0:
                continue
            f, r = i // 8, i % 8
            mine = v > 0
            white = mine if self.color == 0 else not mine
            rank = r if self.color == 0 else 7 - r
            board.set_piece_at(chess.square(f, rank), chess.Piece(abs(v), white))
        board.turn = chess.WHITE if self.color == 0 else chess.BLACK
        board.halfmove_clock, board.fullmove_number = self.halfmove, self.fullmove
        white_flags, black_flags = (self.castling[0], self.castling[1]) if self.color == 0 else (self.castling[1], self.castling[0])
        rights = 0
        rights |= chess.BB_A1 if white_flags[0] else 0
        rights |= chess.BB_H1 if white_flags[1] else 0
        rights |= chess.BB_A8 if black_flags[0] else 0
        rights |= chess.BB_H8 if black_flags[1] else 0
        board.castling_rights = rights
        if self.en_passant >= 0:
            f, r = self.en_passant // 8, self.en_passant % 8
            board.ep_square = chess.square(f, r if self.color == 0 else 7 - r)
        return board

    def legal_moves(self) -> dict[int, chess.Move]:
        board = self.to_chess()
        return {action_of(m, board.turn): m for m in board.legal_moves}

    def legal_mask(self) -> np.ndarray:
        mask = np.zeros(NUM_ACTIONS, bool)
        mask[list(self.legal_moves())] = True
        return mask

    # -- pgx's Game.step ---------------------------------------------------------------
    def step(self, action: int) -> "Game":
        g = self.copy()
        frm, plane = divmod(int(action), 73)
        to = int(FROM_PLANE[frm, plane])
        under = plane // 3 if plane < 9 else -1
        g._apply_move(frm, to, under)
        g._flip()
        g.board_history = np.roll(g.board_history, 1, axis=0)
        g.board_history[0] = g.board
        g.key_history = [g.key()] + g.key_history[:-1]
        g.legal = g.legal_mask()
        g.step_count += 1
        return g

    def _apply_move(self, frm: int, to: int, under: int) -> None:
        # Indices follow numpy's (and JAX's) rule: -1 is square 63, -2 is 62.
        b = self.board
        piece = int(b[frm])
        if self.en_passant >= 0 and piece == PAWN and self.en_passant == to:
            b[to - 1] = EMPTY
        double = piece == PAWN and abs(to - frm) == 2
        self.en_passant = (to + frm) // 2 if double else -1
        captured = b[to] < 0 or double
        self.halfmove = 0 if (captured or piece == PAWN) else self.halfmove + 1
        self.fullmove += int(self.color == 1)
        if piece == KING and frm == 32 and to == 16:
            b[0], b[24] = EMPTY, ROOK
        if piece == KING and frm == 32 and to == 48:
            b[56], b[40] = EMPTY, ROOK
        self.castling &= np.array([[frm not in (32, 0), frm not in (32, 56)], [to != 7, to != 63]])
        if piece == PAWN and frm % 8 == 6 and under < 0:
            piece = QUEEN
        if under >= 0:
            piece = (ROOK, BISHOP, KNIGHT)[under]
        b[frm] = EMPTY
        b[to] = piece

    def _flip(self) -> None:
        self.board = -self.board.reshape(8, 8)[:, ::-1].reshape(64)
        self.color = 1 - self.color
        if self.en_passant != -1:
            self.en_passant = (self.en_passant // 8) * 8 + 7 - self.en_passant % 8
        self.castling = self.castling[::-1].copy()
        self.board_history = -self.board_history.reshape(HISTORY, 8, 8)[:, :, ::-1].reshape(HISTORY, 64)

    # -- pgx's terminal test, rewards and observation ----------------------------------
    def repetitions(self, key: bytes | None) -> int:
        """How many other entries of the key history hold ``key`` (0 for an empty entry)."""
        if key is None:
            return 0
        return sum(1 for k in self.key_history if k == key) - 1

    def insufficient(self) -> bool:
        b = np.abs(self.board)
        pieces = int((b != EMPTY).sum())
        heavy = int(((b >= ROOK) | (b == PAWN)).sum()) - 2  # the two kings counted by b >= ROOK
        bishops = int((b == BISHOP).sum())
        dark_bishops = int(((b == BISHOP) & _DARK).sum())
        return (
            pieces <= 2
            or (pieces == 3 and heavy == 0)
            or (pieces == bishops + 2 and (dark_bishops == bishops or dark_bishops == 0))
        )

    def is_terminal(self) -> bool:
        return bool(
            not self.legal.any()
            or self.halfmove >= 100
            or self.insufficient()
            or self.repetitions(self.key_history[0]) >= 2
            or self.step_count >= MAX_STEPS
        )

    def rewards_by_colour(self) -> np.ndarray:
        if not self.legal.any() and self.to_chess().is_check():
            r = np.ones(2, np.float32)
            r[self.color] = -1
            return r
        return np.zeros(2, np.float32)

    def observe(self) -> np.ndarray:
        planes = np.zeros((119, 8, 8), np.float32)
        for i in range(HISTORY):
            # row 0 is the mover's eighth rank, column 0 the a-file
            board = np.rot90(self.board_history[i].reshape(8, 8), k=1)
            for p in range(1, 7):
                planes[14 * i + p - 1] = board == p
                planes[14 * i + 6 + p - 1] = board == -p
            rep = self.repetitions(self.key_history[i])
            planes[14 * i + 12] = rep == 0
            planes[14 * i + 13] = rep >= 1
        planes[112] = self.color
        planes[113] = np.float32(self.step_count) / np.float32(MAX_STEPS)
        planes[114:118] = self.castling.reshape(4, 1, 1)
        # pgx writes halfmove / 100.0; XLA on the CPU compiles the division by a
        # constant into a product with its float32 reciprocal, which differs from
        # the quotient in the last bit for 30 of the values 0..100 (5, 9, 10, ...).
        planes[118] = np.float32(self.halfmove) * np.float32(0.01)
        return planes.transpose(1, 2, 0).copy()


class Env:
    """pgx's ``State`` and ``Env.step`` for chess, one game."""

    def __init__(self, key: tuple[int, int], *, partitionable: bool = True, start_repeats: bool | None = None) -> None:
        """``partitionable``: JAX's random scheme when pgx was imported and when
        ``init`` runs; ``start_repeats`` (by default: not partitionable) whether
        the starting position counts for repetition (see STALE_START_KEY)."""
        swap = bernoulli_half(key, partitionable=partitionable)
        self.player_order = np.array([1, 0] if swap else [0, 1])
        self.x = Game(not partitionable if start_repeats is None else start_repeats)
        self.current_player = int(self.player_order[self.x.color])
        self.rewards = np.zeros(2, np.float32)
        self.terminated = False
        self.truncated = False
        self.legal_action_mask = self.x.legal.copy()
        self.step_count = 0
        self.observation = self.x.observe()

    def step(self, action: int) -> None:
        if not 0 <= action < NUM_ACTIONS:
            raise ValueError(f"action {action} out of range")
        illegal = not self.legal_action_mask[action]
        mover = self.current_player
        if self.terminated or self.truncated:
            self.rewards = np.zeros(2, np.float32)
        else:
            self.step_count += 1
            self.x = self.x.step(action)
            self.legal_action_mask = self.x.legal.copy()
            self.terminated = self.x.is_terminal()
            self.rewards = self.x.rewards_by_colour()[self.player_order]
            self.current_player = int(self.player_order[self.x.color])
        if illegal:
            self.rewards = np.ones(2, np.float32)
            self.rewards[mover] = -1
            self.terminated = True
        if self.terminated:
            self.legal_action_mask = np.ones(NUM_ACTIONS, bool)
        self.observation = self.x.observe()


def observation_digest(observation: np.ndarray) -> str:
    """First 16 hex digits of the sha256 of the (8, 8, 119) float32 observation,
    little-endian, C order."""
    return hashlib.sha256(np.ascontiguousarray(observation, dtype="<f4").tobytes()).hexdigest()[:16]


def replay(game: dict) -> list[str]:
    """Steps the reference through one fixture game; the differences found."""
    problems = []
    env = None
    for n, want in enumerate(game["states"]):
        if want["action"] is None:
            env = Env(game["key"])
        else:
            env.step(want["action"])
        got = {
            "player": env.current_player,
            "terminated": env.terminated,
            "truncated": env.truncated,
            "rewards": tuple(float(r) for r in env.rewards),
            "step_count": env.step_count,
            "obs": observation_digest(env.observation),
            "legal": None if env.legal_action_mask.all() else [int(i) for i in np.flatnonzero(env.legal_action_mask)],
        }
        for name, value in got.items():
            if value != want[name]:
                problems.append(f"{game['name']} state {n}: {name} {value!r}, fixture {want[name]!r}")
    return problems


def _check_prng(records: list[list[str]]) -> list[str]:
    problems = []
    for words in records:
        kind, args = words[0], words[1:]
        if kind == "key" and prng_key(int(args[0])) != (int(args[1]), int(args[2])):
            problems.append(" ".join(words))
        elif kind == "split":
            flat = [w for k in split(prng_key(int(args[0])), int(args[1])) for w in k]
            if flat != [int(w) for w in args[2:]]:
                problems.append(" ".join(words))
        elif kind == "draw":
            key = (int(args[0]), int(args[1]))
            if (random_bits32(key), initial_player(key)) != (int(args[2]), int(args[3])):
                problems.append(" ".join(words))
        elif kind in ("players", "players-original"):
            got = initial_players(int(args[0]), int(args[1]), partitionable=kind == "players")
            if "".join(map(str, got)) != args[2]:
                problems.append(" ".join(words)[:80])
    return problems


if __name__ == "__main__":
    import sys
    from pathlib import Path

    fixture = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "tests" / "data" / "pgx_env.txt"
    prng_records, fixture_games = read_fixture(fixture)
    found = _check_prng(prng_records)
    for g in fixture_games:
        found += replay(g)
    print("\n".join(found[:20]))
    print(f"{len(fixture_games)} games, {sum(len(g['states']) for g in fixture_games)} states, {len(prng_records)} random-number records: "
          f"{len(found)} differences")
    sys.exit(1 if found else 0)
