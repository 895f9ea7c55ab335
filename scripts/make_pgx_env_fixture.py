"""Writes tests/data/pgx_env.txt: pgx's ``chess`` environment stepped through
seeded games, state by state, and the player order a batched reset draws.

pgx (PyPI ``pgx``, with JAX) is a different program used here as an oracle
only; it is not a dependency of this project. Run it from a throwaway virtual
environment that has pgx, jax and chess (python-chess) installed:

    python3 -m venv build/pgx-venv
    build/pgx-venv/bin/pip install pgx jax chess==1.11.2
    build/pgx-venv/bin/python scripts/make_pgx_env_fixture.py   # two to four minutes

The rules it records are written out in scripts/pgx_env_notes.md. With
JAX_THREEFRY_PARTITIONABLE=0 in the environment (JAX's random scheme before
0.5) and an output path as argument, the games are checked in that mode instead
(other players, and pgx then counts the starting position for repetitions).

All games are reset together, the way a pgx user does it:
``jax.vmap(env.init)(jax.random.split(jax.random.PRNGKey(SEED), N))``, and
stepped together with ``jax.jit(jax.vmap(env.step))`` on the CPU. Each game
has a policy that picks its actions from the position (python-chess helps to
steer): plain random games, games steered to checkmate, stalemate, threefold
repetition (pgx's position key: castling flags and the en-passant square after
every double push count), the fifty-move rule, bare kings and pgx's other
insufficient-material cases, the 512-step cap, and games that end on an
illegal action of every kind pgx lets through (from an empty square, moving
the opponent's piece, off the board, castling through pieces, king capture,
pawn tricks with the en-passant square, ...). Every game is stepped twice more
after it ends (random action ids).

Next to pgx the script steps scripts/pgx_env_reference.py (numpy and
python-chess, no JAX) and stops on the first difference in any output, so the
reference, and the rules in scripts/pgx_env_notes.md that it follows, are
checked on every state written. It also checks the reference's threefry2x32
draws against JAX for several seeds and batch sizes, in both of JAX's
schemes.

Output (text, one record a line, "#" lines are comments):

    prng-config partitionable=1 x64=0 impl=threefry2x32 jax=VERSION pgx=VERSION
    key SEED K0 K1                      jax.random.PRNGKey(SEED) as two uint32
    split SEED N K0 K1 ...              the first keys of split(PRNGKey(SEED), N)
    draw K0 K1 BITS PLAYER              bits(key) as uint32, init(key).current_player
    players SEED N BITS                 current_player of vmap(init)(split(PRNGKey(SEED), N)),
                                        one "0"/"1" per game
    players-original SEED N BITS        the same with jax_threefry_partitionable=False
    game INDEX NAME SEED N K0 K1 END    game INDEX of the batch reset from SEED with N games;
                                        END is how it ended (checkmate, stalemate, threefold,
                                        fifty-move, insufficient, step-cap, illegal)
    s ACTION PLAYER TERM TRUNC R0 R1 STEP OBS LEGAL
                                        one state: the action that led to it ("-" for the
                                        reset), current_player, terminated, truncated (0/1),
                                        rewards of players 0 and 1, step count, the first 16
                                        hex digits of sha256 of the (8, 8, 119) float32
                                        observation (little-endian, C order), and the legal
                                        action ids: "*" when the mask is all true, else two
                                        characters per id in increasing order,
                                        chr(48 + id // 73) + chr(48 + id % 73)
    end FEN                             the position the game ended in
"""

from __future__ import annotations

import random
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import chess
import jax
import jax.numpy as jnp
import numpy as np
import pgx

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pgx_env_reference as ref  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
OUT = REPO / "tests" / "data" / "pgx_env.txt"
SEED = 2024
STEPS_AFTER_END = 2

# ------------------------------------------------------------------------------------
# Policies: (env, rng, ply) -> action id. ``env`` is the reference, in step with pgx.
# ------------------------------------------------------------------------------------
Policy = Callable[[ref.Env, random.Random, int], int]


def _after(board: chess.Board, move: chess.Move) -> chess.Board:
    b = board.copy(stack=False)
    b.push(move)
    return b


def _key_after(board: chess.Board, move: chess.Move) -> tuple:
    """pgx's position key of the child, as python-chess sees it (for steering only)."""
    b = _after(board, move)
    double = board.piece_type_at(move.from_square) == chess.PAWN and abs(move.to_square - move.from_square) == 16
    return (b.board_fen(), b.turn, b.castling_rights, (move.from_square + move.to_square) // 2 if double else None)


def _progress(board: chess.Board, move: chess.Move) -> bool:
    return board.is_capture(move) or board.piece_type_at(move.from_square) == chess.PAWN


def random_policy(env: ref.Env, rng: random.Random, ply: int) -> int:
    return rng.choice(sorted(env.x.legal_moves()))


def mate_policy(capture_p: float) -> Policy:
    """Mate when there is a mate in one; else capture with probability capture_p."""

    def choose(env: ref.Env, rng: random.Random, ply: int) -> int:
        moves = env.x.legal_moves()
        board = env.x.to_chess()
        mates = [a for a, m in moves.items() if _after(board, m).is_checkmate()]
        if mates:
            return rng.choice(sorted(mates))
        captures = [a for a, m in moves.items() if board.is_capture(m)]
        if captures and rng.random() < capture_p:
            return rng.choice(sorted(captures))
        return rng.choice(sorted(moves))

    return choose


def special_policy(env: ref.Env, rng: random.Random, ply: int) -> int:
    """Develop and castle early; prefer castling, en passant and promotions (any piece)."""
    moves = env.x.legal_moves()
    board = env.x.to_chess()
    special = [a for a, m in moves.items() if board.is_castling(m) or board.is_en_passant(m) or m.promotion]
    if special and rng.random() < 0.9:
        return rng.choice(sorted(special))
    home = chess.BB_RANK_1 if board.turn == chess.WHITE else chess.BB_RANK_8
    develop = [
        a for a, m in moves.items()
        if chess.BB_SQUARES[m.from_square] & home and board.piece_type_at(m.from_square) in (chess.KNIGHT, chess.BISHOP, chess.QUEEN)
    ]
    if ply < 30 and develop and rng.random() < 0.6:
        return rng.choice(sorted(develop))
    pawns = [a for a, m in moves.items() if board.piece_type_at(m.from_square) == chess.PAWN]
    if pawns and rng.random() < 0.4:
        return rng.choice(sorted(pawns))
    return rng.choice(sorted(moves))


def attack_policy(env: ref.Env, rng: random.Random, ply: int) -> int:
    """Mate in one when there is one, else checks and captures often."""
    moves = env.x.legal_moves()
    board = env.x.to_chess()
    mates = [a for a, m in moves.items() if _after(board, m).is_checkmate()]
    if mates:
        return rng.choice(sorted(mates))
    checks = [a for a, m in moves.items() if board.gives_check(m)]
    if checks and rng.random() < 0.5:
        return rng.choice(sorted(checks))
    captures = [a for a, m in moves.items() if board.is_capture(m)]
    if captures and rng.random() < 0.4:
        return rng.choice(sorted(captures))
    return rng.choice(sorted(moves))


def capture_policy(env: ref.Env, rng: random.Random, ply: int) -> int:
    """Trade everything off: captures first, minor-piece promotions, no mates."""
    moves = env.x.legal_moves()
    board = env.x.to_chess()
    safe = {a: m for a, m in moves.items() if not _after(board, m).is_checkmate()} or moves
    promos = [a for a, m in safe.items() if m.promotion in (chess.KNIGHT, chess.BISHOP)]
    captures = [a for a, m in safe.items() if board.is_capture(m)]
    if promos and rng.random() < 0.8:
        return rng.choice(sorted(promos))
    if captures and rng.random() < 0.9:
        return rng.choice(sorted(captures))
    return rng.choice(sorted(safe))


def bishops_policy(dark_only: bool) -> Policy:
    """Keep the bishops (only those on dark squares when ``dark_only``), take
    everything else, promote to bishops (on dark squares when ``dark_only``)."""

    def keep(board: chess.Board, square: int) -> bool:
        return board.piece_type_at(square) == chess.BISHOP and (
            not dark_only or bool(chess.BB_SQUARES[square] & chess.BB_DARK_SQUARES)
        )

    def choose(env: ref.Env, rng: random.Random, ply: int) -> int:
        moves = env.x.legal_moves()
        board = env.x.to_chess()
        safe = {a: m for a, m in moves.items() if not _after(board, m).is_checkmate()} or moves
        good_promos = [
            a for a, m in safe.items()
            if m.promotion == chess.BISHOP and (not dark_only or chess.BB_SQUARES[m.to_square] & chess.BB_DARK_SQUARES)
        ]
        if good_promos:
            return rng.choice(sorted(good_promos))
        no_bishop_loss = {
            a: m for a, m in safe.items()
            if (m.promotion in (None, chess.BISHOP) or dark_only) and not keep(board, m.to_square)
        } or safe
        return _bishops_rest(board, no_bishop_loss, rng)

    return choose


def _bishops_rest(board: chess.Board, no_bishop_loss: dict, rng: random.Random) -> int:
    captures = [a for a, m in no_bishop_loss.items() if board.is_capture(m)]
    if captures and rng.random() < 0.9:
        return rng.choice(sorted(captures))
    pawns = [a for a, m in no_bishop_loss.items() if board.piece_type_at(m.from_square) == chess.PAWN]
    if pawns and rng.random() < 0.5:
        return rng.choice(sorted(pawns))
    return rng.choice(sorted(no_bishop_loss))


def quiet_policy(opening: int, pawn_after: int | None) -> Policy:
    """No repeated position, no mate or stalemate given; after ``opening`` random
    plies, no capture or pawn move unless the no-progress count has reached
    ``pawn_after`` (None: never, which runs into the fifty-move rule)."""

    def choose(env: ref.Env, rng: random.Random, ply: int) -> int:
        moves = env.x.legal_moves()
        board = env.x.to_chess()
        if ply < opening:
            return rng.choice(sorted(a for a, m in moves.items() if not _after(board, m).is_game_over()) or sorted(moves))
        seen = env_keys.setdefault(id(env), set())
        seen.add((board.board_fen(), board.turn, board.castling_rights, board.ep_square))
        ok = {}
        for a, m in moves.items():
            after = _after(board, m)
            if after.is_checkmate() or after.is_stalemate() or after.is_insufficient_material():
                continue
            ok[a] = (m, _key_after(board, m) in seen)
        fresh = {a: m for a, (m, repeated) in ok.items() if not repeated}
        pool = fresh or {a: m for a, (m, _) in ok.items()} or moves
        progress = [a for a, m in pool.items() if _progress(board, m) and not board.is_capture(m)]
        if pawn_after is not None and env.x.halfmove >= pawn_after and progress:
            return rng.choice(sorted(progress))
        quiet = [a for a, m in pool.items() if not _progress(board, m)]
        return rng.choice(sorted(quiet or pool))

    env_keys: dict[int, set] = {}
    return choose


def scripted(sans: list[str], then: Policy | None = None) -> Policy:
    """Play the SAN moves; afterwards ``then`` (or stop with an error)."""

    def choose(env: ref.Env, rng: random.Random, ply: int) -> int:
        board = env.x.to_chess()
        if ply < len(sans):
            return ref.action_of(board.parse_san(sans[ply]), board.turn)
        if then is None:
            raise SystemExit(f"script {sans} ran out before the game ended")
        return then(env, rng, ply)

    return choose


# -- illegal actions ---------------------------------------------------------------
def _rel_square(env: ref.Env, name: str) -> int:
    sq = chess.parse_square(name)
    rank = chess.square_rank(sq) if env.x.color == 0 else 7 - chess.square_rank(sq)
    return chess.square_file(sq) * 8 + rank


def _illegal(pick: Callable[[ref.Env, random.Random], int | None]) -> Callable[[ref.Env, random.Random], int]:
    def wrapped(env: ref.Env, rng: random.Random) -> int:
        action = pick(env, rng)
        if action is None or env.legal_action_mask[action]:
            raise SystemExit(f"no illegal action of this kind here: {env.x.to_chess().fen()}")
        return action

    return wrapped


def illegal_random_id(env, rng):
    return rng.choice([a for a in range(ref.NUM_ACTIONS) if not env.legal_action_mask[a]])


def illegal_from_empty(env, rng):
    empty = [s for s in range(64) if env.x.board[s] == 0]
    return rng.choice(empty) * 73 + rng.randrange(73)


def illegal_opponent_piece(env, rng):
    theirs = [s for s in range(64) if env.x.board[s] < 0]
    frm = rng.choice(theirs)
    planes = [p for p in range(73) if ref.FROM_PLANE[frm, p] >= 0]
    return frm * 73 + rng.choice(planes)


def illegal_off_board(env, rng):
    """An own piece with a plane that leaves the board: pgx puts it on h8 (index -1)."""
    options = [s * 73 + p for s in range(64) if env.x.board[s] > 0 for p in range(9, 73) if ref.FROM_PLANE[s, p] < 0]
    return rng.choice(options)


def illegal_underpromotion_elsewhere(env, rng):
    """An underpromotion plane from a square off the seventh rank: to is -1."""
    mine = [s for s in range(64) if env.x.board[s] > 0 and s % 8 != 6]
    return rng.choice(mine) * 73 + rng.randrange(9)


def illegal_into_check(env, rng):
    board = env.x.to_chess()
    legal = set(board.legal_moves)
    bad = [m for m in board.pseudo_legal_moves if m not in legal and not board.is_castling(m)]
    return ref.action_of(rng.choice(bad), board.turn) if bad else None


def illegal_king_capture(env, rng):
    """Any own piece's plane that lands on the opponent's king."""
    king = int(np.flatnonzero(env.x.board == -ref.KING)[0])
    options = [s * 73 + p for s in range(64) if env.x.board[s] > 0 for p in range(9, 73) if ref.FROM_PLANE[s, p] == king]
    return rng.choice(options) if options else None


def fixed(action_of_env: Callable[[ref.Env], int]):
    return lambda env, rng: action_of_env(env)


def ends_illegal(prefix: list[str] | int, kind, seed_moves: Policy = random_policy) -> Policy:
    """Play ``prefix`` (SAN moves, or that many random plies), then the illegal action."""
    kind = _illegal(kind)

    def choose(env: ref.Env, rng: random.Random, ply: int) -> int:
        n = len(prefix) if isinstance(prefix, list) else prefix
        if ply < n:
            if isinstance(prefix, list):
                board = env.x.to_chess()
                return ref.action_of(board.parse_san(prefix[ply]), board.turn)
            moves = env.x.legal_moves()
            board = env.x.to_chess()
            return rng.choice(sorted(a for a, m in moves.items() if not _after(board, m).is_game_over()) or sorted(moves))
        return kind(env, rng)

    return choose


# ------------------------------------------------------------------------------------
@dataclass
class Plan:
    name: str
    policy: Policy
    expect: str | None = None  # how the game must end, when steered


LOYD = "e3 a5 Qh5 Ra6 Qxa5 h5 h4 Rah6 Qxc7 f6 Qxd7+ Kf7 Qxb7 Qd3 Qxb8 Qh7 Qxc8 Kg6 Qe6".split()
# The starting position comes back after plies 4 and 8, but pgx's history holds a
# stale hash for it (see pgx_env_reference.STALE_START_KEY): ply 8 is no third
# repetition; ply 9 is (the position after 1. Nf3, also after plies 1 and 5).
KNIGHTS = "Nf3 Nf6 Ng1 Ng8 Nf3 Nf6 Ng1 Ng8 Nf3".split()
# e4 (en-passant square set), then the same placement without it: pgx keeps them apart,
# so ply 9 is no repetition yet and ply 10 repeats the position after ply 2 a third time.
EP_KEY = "e4 Nf6 Nf3 Ng8 Ng1 Nf6 Nf3 Ng8 Ng1 Nf6".split()
# Plies 2, 6 and 10 have one placement, but ply 2 still has castling rights: the third
# repetition is ply 12 (plies 4, 8, 12), not ply 10.
CASTLING_KEY = "e3 e6 Ke2 Ke7 Ke1 Ke8 Ke2 Ke7 Ke1 Ke8 Ke2 Ke7".split()


def plans() -> list[Plan]:
    out = [
        Plan("fools-mate", scripted("f3 e5 g4 Qh4#".split()), "checkmate"),
        Plan("scholars-mate", scripted("e4 e5 Bc4 Nc6 Qh5 Nf6 Qxf7#".split()), "checkmate"),
        Plan("stalemate-loyd", scripted(LOYD), "stalemate"),
        Plan("threefold-knights", scripted(KNIGHTS), "threefold"),
        Plan("threefold-ep-square", scripted(EP_KEY), "threefold"),
        Plan("threefold-castling-flags", scripted(CASTLING_KEY), "threefold"),
        Plan("en-passant-both-sides", scripted("e4 Nf6 e5 d5 exd6 e5 Nc3 e4 d4 exd3".split(), special_policy)),
        # illegal actions
        Plan("illegal-castle-at-start", ends_illegal([], fixed(lambda e: 2367)), "illegal"),
        Plan("illegal-rook-takes-own-pawn", ends_illegal([], fixed(lambda e: 0 * 73 + 16)), "illegal"),
        Plan("illegal-a2-pawn-two-down", ends_illegal([], fixed(lambda e: 1 * 73 + 14)), "illegal"),
        Plan("illegal-a7-pawn-two-down", ends_illegal(["Nf3"], fixed(lambda e: 1 * 73 + 14)), "illegal"),
        Plan("illegal-double-push-over-knight", ends_illegal(["Na3", "e5"], fixed(lambda e: 1 * 73 + 17)), "illegal"),
        Plan(
            "illegal-pawn-jumps-to-ep-square",
            ends_illegal(["e4", "d5"], fixed(lambda e: _rel_square(e, "e4") * 73 + int(ref.TO_PLANE[_rel_square(e, "e4"), _rel_square(e, "d6")]))),
            "illegal",
        ),
        Plan("illegal-black-castles-through", ends_illegal(["e4"], fixed(lambda e: 2364)), "illegal"),
        Plan(
            "illegal-castle-without-rights",
            ends_illegal("e4 e5 Nf3 Nf6 Bc4 Bc5 Ke2 Ke7 Ke1 Ke8".split(), fixed(lambda e: 2367)),
            "illegal",
        ),
        Plan("illegal-from-empty", ends_illegal(7, illegal_from_empty), "illegal"),
        Plan("illegal-opponent-piece", ends_illegal(12, illegal_opponent_piece), "illegal"),
        Plan("illegal-off-board", ends_illegal(9, illegal_off_board), "illegal"),
        Plan("illegal-off-board-late", ends_illegal(40, illegal_off_board), "illegal"),
        Plan("illegal-underpromotion-elsewhere", ends_illegal(16, illegal_underpromotion_elsewhere), "illegal"),
        Plan("illegal-into-check", ends_illegal(["e4", "e5", "Bc4", "Nc6", "Bxf7+"], illegal_into_check), "illegal"),
        Plan("illegal-king-capture", ends_illegal(["e4", "f5", "exf5", "g5"], illegal_king_capture), "illegal"),
        Plan("illegal-king-capture-blocked", ends_illegal(["e4", "e5"], illegal_king_capture), "illegal"),
        Plan("illegal-random-id", ends_illegal(21, illegal_random_id), "illegal"),
        Plan("illegal-random-id-late", ends_illegal(60, illegal_random_id), "illegal"),
    ]
    for i in range(3):
        out.append(Plan(f"random-{i}", random_policy))
    for i in range(2):
        out.append(Plan(f"mate-{i}", mate_policy(0.5)))
    for i in range(4):
        out.append(Plan(f"attack-{i}", attack_policy))
    for i in range(4):
        out.append(Plan(f"bare-kings-{i}", capture_policy))
    for i in range(2):
        out.append(Plan(f"bishops-{i}", bishops_policy(False)))
    for i in range(3):
        out.append(Plan(f"dark-bishops-{i}", bishops_policy(True)))
    for i in range(4):
        out.append(Plan(f"special-moves-{i}", special_policy))
    for i in range(3):
        out.append(Plan(f"fifty-move-{i}", quiet_policy(10 + 2 * i, None), "fifty-move"))
    for i in range(2):
        out.append(Plan(f"step-cap-{i}", quiet_policy(8, 70), "step-cap"))
    return out


def end_reason(env: ref.Env, illegal: bool) -> str:
    x = env.x
    if illegal:
        return "illegal"
    if not x.legal.any():
        return "checkmate" if x.to_chess().is_check() else "stalemate"
    if x.repetitions(x.key_history[0]) >= 2:
        return "threefold"
    if x.halfmove >= 100:
        return "fifty-move"
    if x.insufficient():
        return "insufficient"
    if x.step_count >= ref.MAX_STEPS:
        return "step-cap"
    return "?"


# ------------------------------------------------------------------------------------
def prng_section() -> list[str]:
    """The reference's threefry draws against JAX's, in both schemes; the fixture lines."""
    env = pgx.make("chess")
    seeds = [0, 1, 42, 2024, 123456789, 2**31 - 1, -1, -2024]
    sizes = [1, 2, 3, 7, 64, 1000]
    lines = [
        f"prng-config partitionable={int(jax.config.jax_threefry_partitionable)} "
        f"x64={int(jax.config.jax_enable_x64)} impl={jax.config.jax_default_prng_impl} "
        f"jax={jax.__version__} pgx={pgx.__version__}"
    ]
    vinit = jax.jit(jax.vmap(env.init))
    for seed in seeds:
        key = tuple(int(v) for v in np.asarray(jax.random.PRNGKey(seed)))
        if key != ref.prng_key(seed):
            raise SystemExit(f"PRNGKey({seed}) = {key}, reference {ref.prng_key(seed)}")
        lines.append(f"key {seed} {key[0]} {key[1]}")
        cp = int(env.init(jax.random.PRNGKey(seed)).current_player)
        if cp != ref.initial_player(key):
            raise SystemExit(f"init(PRNGKey({seed})).current_player = {cp}, reference differs")
        bits = int(np.asarray(jax.random.bits(jax.random.PRNGKey(seed), dtype=jnp.uint32)))
        if bits != ref.random_bits32(key):
            raise SystemExit(f"bits(PRNGKey({seed})) = {bits}, reference {ref.random_bits32(key)}")
        lines.append(f"draw {key[0]} {key[1]} {bits} {cp}")
        for n in sizes:
            keys = np.asarray(jax.random.split(jax.random.PRNGKey(seed), n))
            mine = ref.split(key, n)
            if [tuple(int(v) for v in k) for k in keys] != mine:
                raise SystemExit(f"split(PRNGKey({seed}), {n}) differs from the reference")
            players = [int(v) for v in np.asarray(vinit(jnp.asarray(keys)).current_player)]
            if players != ref.initial_players(seed, n):
                raise SystemExit(f"players of seed {seed}, {n} games differ from the reference")
            if n == 7:
                lines.append(f"split {seed} {n} " + " ".join(f"{a} {b}" for a, b in mine))
                for k in mine:
                    lines.append(f"draw {k[0]} {k[1]} {ref.random_bits32(k)} {ref.initial_player(k)}")
            lines.append(f"players {seed} {n} " + "".join(map(str, players)))
    # the scheme of older JAX versions (jax_threefry_partitionable=False)
    jax.config.update("jax_threefry_partitionable", False)
    try:
        vinit_orig = jax.jit(jax.vmap(env.init))
        for seed in seeds[:4]:
            key = ref.prng_key(seed)
            for n in (1, 7, 64):
                keys = np.asarray(jax.random.split(jax.random.PRNGKey(seed), n))
                if [tuple(int(v) for v in k) for k in keys] != ref.split(key, n, partitionable=False):
                    raise SystemExit(f"original split(PRNGKey({seed}), {n}) differs from the reference")
                players = [int(v) for v in np.asarray(vinit_orig(jnp.asarray(keys)).current_player)]
                if players != ref.initial_players(seed, n, partitionable=False):
                    raise SystemExit(f"original players of seed {seed}, {n} games differ from the reference")
                lines.append(f"players-original {seed} {n} " + "".join(map(str, players)))
    finally:
        jax.config.update("jax_threefry_partitionable", True)
    return lines


def check_same(i: int, name: str, pgx_row: dict, env: ref.Env) -> None:
    problems = []
    if pgx_row["obs"].tobytes() != np.ascontiguousarray(env.observation, dtype=np.float32).tobytes():
        diff = np.argwhere(pgx_row["obs"] != env.observation)
        problems.append(f"observation differs at {diff[:5].tolist()} (row, column, plane)")
    if not np.array_equal(pgx_row["mask"], env.legal_action_mask):
        problems.append(
            f"mask: pgx only {np.flatnonzero(pgx_row['mask'] & ~env.legal_action_mask)[:10]}, "
            f"reference only {np.flatnonzero(~pgx_row['mask'] & env.legal_action_mask)[:10]}"
        )
    for field_name, mine in (
        ("rewards", env.rewards),
        ("terminated", env.terminated),
        ("truncated", env.truncated),
        ("current_player", env.current_player),
        ("step_count", env.step_count),
    ):
        if not np.array_equal(np.asarray(pgx_row[field_name]), np.asarray(mine)):
            problems.append(f"{field_name}: pgx {pgx_row[field_name]}, reference {mine}")
    if problems:
        raise SystemExit(f"game {i} ({name}), step {env.step_count}: " + "; ".join(problems) + f"\n{env.x.to_chess().fen()}")


def state_line(action: int | None, row: dict) -> str:
    mask = row["mask"]
    legal = "*" if mask.all() else ref.encode_ids(np.flatnonzero(mask))
    r0, r1 = (f"{v:g}" for v in row["rewards"])
    return (
        f"s {'-' if action is None else action} {row['current_player']} {int(row['terminated'])} "
        f"{int(row['truncated'])} {r0} {r1} {row['step_count']} {ref.observation_digest(row['obs'])} {legal}"
    )


def rows_of(state, n: int) -> list[dict]:
    host = jax.device_get(
        (state.observation, state.legal_action_mask, state.rewards, state.terminated, state.truncated,
         state.current_player, state._step_count)
    )
    obs, mask, rewards, term, trunc, cp, steps = (np.asarray(a) for a in host)
    return [
        {
            "obs": obs[i], "mask": mask[i], "rewards": rewards[i], "terminated": bool(term[i]),
            "truncated": bool(trunc[i]), "current_player": int(cp[i]), "step_count": int(steps[i]),
        }
        for i in range(n)
    ]


def main() -> None:
    started = time.time()
    # With JAX_THREEFRY_PARTITIONABLE=0 in the environment (JAX's scheme before 0.5),
    # the games are checked against the reference in that mode; pass another output
    # path as the first argument then, the fixture is for the default.
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else OUT
    partitionable = bool(jax.config.jax_threefry_partitionable)
    lines = [
        "# pgx's chess environment, stepped (scripts/make_pgx_env_fixture.py; format in its docstring).",
        f"# pgx {pgx.__version__}, jax {jax.__version__}, CPU.",
    ]
    if partitionable:
        lines += prng_section()
        print(f"random numbers checked ({time.time() - started:.0f} s)", flush=True)

    env = pgx.make("chess")
    games = plans()
    n = len(games)
    keys = jax.random.split(jax.random.PRNGKey(SEED), n)
    init = jax.jit(jax.vmap(env.init))
    step = jax.jit(jax.vmap(env.step))
    state = init(keys)
    key_words = [tuple(int(v) for v in k) for k in np.asarray(keys)]
    refs = [ref.Env(k, partitionable=partitionable) for k in key_words]
    rngs = [random.Random(SEED * 1000 + i) for i in range(n)]
    records: list[list[str]] = [[] for _ in range(n)]
    reasons: list[str | None] = [None] * n
    after_end = [0] * n
    for i, row in enumerate(rows_of(state, n)):
        check_same(i, games[i].name, row, refs[i])
        records[i].append(state_line(None, row))
    last_fen: list[str | None] = [None] * n
    plies = 0
    while any(after_end[i] <= STEPS_AFTER_END for i in range(n)):
        actions = np.zeros(n, np.int32)
        illegal_now = [False] * n
        for i in range(n):
            e = refs[i]
            if e.terminated:
                actions[i] = rngs[i].randrange(ref.NUM_ACTIONS)
            elif after_end[i] == 0:
                actions[i] = games[i].policy(e, rngs[i], e.step_count)
                illegal_now[i] = not e.legal_action_mask[actions[i]]
        state = step(state, jnp.asarray(actions))
        plies += 1
        rows = rows_of(state, n)
        for i in range(n):
            if after_end[i] > STEPS_AFTER_END:
                continue
            was_over = refs[i].terminated
            refs[i].step(int(actions[i]))
            check_same(i, games[i].name, rows[i], refs[i])
            records[i].append(state_line(int(actions[i]), rows[i]))
            if was_over:
                after_end[i] += 1
            elif refs[i].terminated:
                after_end[i] = 1
                reasons[i] = end_reason(refs[i], illegal_now[i])
                board = refs[i].x.to_chess()
                last_fen[i] = board.fen(en_passant="fen")
                if games[i].expect and reasons[i] != games[i].expect:
                    print(f"warning: {games[i].name} ended by {reasons[i]}, not {games[i].expect}", flush=True)
        if plies % 50 == 0:
            print(f"{plies} steps, {sum(r is not None for r in reasons)}/{n} games over ({time.time() - started:.0f} s)", flush=True)

    for i, plan in enumerate(games):
        lines.append(f"game {i} {plan.name} {SEED} {n} {key_words[i][0]} {key_words[i][1]} {reasons[i]}")
        lines += records[i]
        lines.append(f"end {last_fen[i]}")
    out.write_text("\n".join(lines) + "\n")
    summary: dict[str, int] = {}
    for r in reasons:
        summary[r] = summary.get(r, 0) + 1
    states = sum(len(r) for r in records)
    print(f"{n} games, {states} states, ends {summary}; {out} {out.stat().st_size} bytes ({time.time() - started:.0f} s)")
    for i, plan in enumerate(games):
        print(f"  {plan.name}: {reasons[i]} after {len(records[i]) - 1 - STEPS_AFTER_END} steps")


if __name__ == "__main__":
    sys.exit(main())
