"""Writes tests/data/mctx_search.json.gz: DeepMind's mctx searching batches of
pgx chess games, for tests/python/test_search_mctx.py to replay with
orvex_tools.MCTS.

mctx and pgx (with JAX) are other programs, used here as oracles only; they
are not dependencies of this project. Run this from a throwaway virtual
environment that has them:

    python3 -m venv build/mctx-venv
    build/mctx-venv/bin/pip install jax==0.10.2 mctx==0.0.71 pgx==2.6.0 chess
    build/mctx-venv/bin/python scripts/make_mctx_fixture.py     # about ten minutes

Each batch is N games reset together from a seed, as ChessEnv.reset(seed)
resets them (``jax.vmap(env.init)(jax.random.split(jax.random.PRNGKey(seed),
N))``), stepped together ``depth`` times with uniformly random legal actions
(numpy's generator seeded with the seed; an ended game is stepped with action
0, which changes nothing), then searched once, under ``jax.jit`` on the CPU,
by ``mctx.muzero_policy`` or ``mctx.gumbel_muzero_policy`` with the batch's
options and ``rng_key=jax.random.PRNGKey(key)``.

The network is scripts/mctx_fixture_network.py (exact in float32, so numpy
gives the same bits). The root and the recurrent function are those of
pgx's AlphaZero example: the root's prior logits and value are the network's
on the observation, with ``invalid_actions = ~legal_action_mask``; a
recurrent step steps the game with the action, and returns as reward the
reward of the player who moved, as prior logits the network's logits less
their maximum with illegal actions at float32's lowest value, as value the
network's value or 0 for an ended game, and as discount -1, or 0 for an ended
game.

Output, gzipped JSON:

    {"versions": {"jax": ..., "mctx": ..., "pgx": ...},
     "batches": [{"policy": "muzero" | "gumbel", "num_simulations": S,
                  "options": {name: value, ...},      # as given to orvex_tools.MCTS
                  "seed": SEED, "n": N, "depth": D, "key": KEY,
                  "actions": [[a, ...], ...],         # per game, the D actions stepped
                  "roots": [{"observation": HASH,                # of the root's observation
                             "visit_counts": [[action, count], ...],   # nonzero only
                             "action": A,
                             "action_weights": [[action, weight], ...],  # nonzero only
                             "root_value": V}, ...]}, ...]}

The options keep mctx's names: the policy's keyword arguments, and
value_scale, maxvisit_init, rescale_values, use_mixed_value given to
qtransform_completed_by_mix_value (gumbel). The plan (PLAN below): 512 roots
in 60 batches of 4 to 16 games, 0 to 220 plies deep, 8 to 64 simulations,
mctx's defaults and a few other option values, muzero with and without
Dirichlet noise; then the batches of MATES, whose searches go on below a
game they end. HASH is the first 16 hex digits of sha256 of the root's (8, 8, 119) float32
observation (C order), to tell a game replayed wrong from a search that
differs. Floats are float32 values written in their shortest decimal form.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import sys
import time
from importlib.metadata import version
from pathlib import Path

import jax
import jax.numpy as jnp
import mctx
import numpy as np
import pgx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from mctx_fixture_network import evaluate  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
OUT = REPO / "tests" / "data" / "mctx_search.json.gz"

ENV = pgx.make("chess")
INIT = jax.jit(jax.vmap(ENV.init))
STEP = jax.jit(jax.vmap(ENV.step))

# Plies played before the search, taken in turn by the batches of a row.
DEPTHS = [0, 1, 2, 3, 5, 8, 12, 16, 20, 25, 30, 38, 45, 52, 60, 75, 90, 105, 120, 150, 180, 220]

# (policy, num_simulations, N, options, batches): one compilation per row.
PLAN = [
    ("muzero", 8, 8, {"dirichlet_fraction": 0.0}, 8),
    ("muzero", 32, 8, {"dirichlet_fraction": 0.0}, 8),
    ("muzero", 64, 16, {"dirichlet_fraction": 0.0}, 6),
    ("muzero", 24, 4, {"dirichlet_fraction": 0.0, "pb_c_init": 2.0, "pb_c_base": 50.0,
                       "temperature": 0.5, "max_depth": 3}, 4),
    ("muzero", 32, 4, {}, 4),  # Dirichlet noise at the root, as by default
    ("gumbel", 8, 8, {}, 8),
    ("gumbel", 32, 8, {}, 8),
    ("gumbel", 64, 16, {}, 6),
    ("gumbel", 24, 4, {"max_num_considered_actions": 5, "gumbel_scale": 0.5, "max_depth": 4,
                       "value_scale": 0.25, "maxvisit_init": 10, "use_mixed_value": False}, 4),
    ("gumbel", 16, 4, {"rescale_values": False, "max_num_considered_actions": 32}, 4),
]

# Batches whose games all play one opening to a mate in one, so that the
# searches go on below a game that has ended: (policy, num_simulations, N,
# options, actions).
MATES = [
    ("gumbel", 32, 4, {}, [3009, 2426, 3594]),  # 1. f3 e5 2. g4, Qh4#
    ("gumbel", 48, 4, {"max_num_considered_actions": 4}, [2426, 2426, 2975, 656, 1799, 3572]),  # Qxf7#
    ("muzero", 32, 4, {"dirichlet_fraction": 0.0}, [2426, 3594, 1842, 3009]),  # 1. e4 g5 2. d4 f6, Qh5#
    ("muzero", 48, 4, {"dirichlet_fraction": 0.0}, [3009, 2426, 3594]),
]

QTRANSFORM_OPTIONS = ("value_scale", "maxvisit_init", "rescale_values", "use_mixed_value", "epsilon")


def root_and_recurrent(state):
    logits, value = evaluate(state.observation, jnp)
    root = mctx.RootFnOutput(prior_logits=logits, value=value, embedding=state)

    def recurrent_fn(params, rng_key, action, state):
        del params, rng_key
        mover = state.current_player
        state = jax.vmap(ENV.step)(state, action)
        logits, value = evaluate(state.observation, jnp)
        logits = logits - jnp.max(logits, axis=-1, keepdims=True)
        logits = jnp.where(state.legal_action_mask, logits, jnp.finfo(logits.dtype).min)
        reward = state.rewards[jnp.arange(state.rewards.shape[0]), mover]
        value = jnp.where(state.terminated, 0.0, value)
        discount = jnp.where(state.terminated, 0.0, -1.0 * jnp.ones_like(value))
        out = mctx.RecurrentFnOutput(reward=reward, discount=discount, prior_logits=logits, value=value)
        return out, state

    return root, recurrent_fn


def make_search(policy: str, num_simulations: int, options: dict):
    options = dict(options)
    qoptions = {k: options.pop(k) for k in QTRANSFORM_OPTIONS if k in options}
    if policy == "gumbel":
        run_policy = mctx.gumbel_muzero_policy
        if qoptions:
            def qtransform(tree, node_index):
                return mctx.qtransform_completed_by_mix_value(tree, node_index, **qoptions)
            options["qtransform"] = qtransform
    else:
        run_policy = mctx.muzero_policy
        assert not qoptions

    def search(state, key):
        root, recurrent_fn = root_and_recurrent(state)
        out = run_policy(params=None, rng_key=key, root=root, recurrent_fn=recurrent_fn,
                         num_simulations=num_simulations, invalid_actions=~state.legal_action_mask,
                         **options)
        tree = out.search_tree
        return (out.action, out.action_weights, tree.children_visits[:, tree.ROOT_INDEX],
                tree.summary().value)

    return jax.jit(search)


def play(seed: int, n: int, depth: int):
    """The batch reset from seed, stepped depth times; the actions per game."""
    state = INIT(jax.random.split(jax.random.PRNGKey(seed), n))
    rng = np.random.default_rng(seed)
    actions = np.zeros((depth, n), dtype=np.int32)
    for t in range(depth):
        mask = np.asarray(state.legal_action_mask)
        ended = np.asarray(state.terminated)
        for i in range(n):
            if not ended[i]:
                actions[t, i] = rng.choice(np.flatnonzero(mask[i]))
        state = STEP(state, jnp.asarray(actions[t]))
    return state, actions.T.tolist()


def play_line(seed: int, n: int, line: list[int]):
    """The batch reset from seed, every game stepped with the actions of line."""
    state = INIT(jax.random.split(jax.random.PRNGKey(seed), n))
    for action in line:
        state = STEP(state, jnp.full((n,), action, dtype=jnp.int32))
    return state, [list(line) for _ in range(n)]


def short(x) -> float:
    """A float32 as the shortest decimal that reads back to it."""
    return float(np.format_float_positional(np.float32(x), unique=True, trim="-"))


def sparse(row, as_float: bool) -> list:
    nonzero = np.flatnonzero(row)
    return [[int(a), short(row[a]) if as_float else int(row[a])] for a in nonzero]


EVALUATE = jax.jit(lambda observation: evaluate(observation, jnp))


def check_network(state) -> None:
    """numpy and JAX give the network's outputs bit for bit."""
    obs = np.asarray(state.observation)
    for a, b in zip(evaluate(obs, np), EVALUATE(state.observation)):
        assert a.dtype == np.float32 and a.tobytes() == np.asarray(b).tobytes()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args()
    batches = []
    started = time.time()

    def record(search, policy, sims, n, options, seed, state, actions) -> None:
        t0 = time.time()
        check_network(state)
        key = 1000 + seed
        action, weights, visits, value = map(np.asarray, search(state, jax.random.PRNGKey(key)))
        roots = []
        ended = np.asarray(state.terminated)
        observation = np.asarray(state.observation)
        for i in range(n):
            assert visits[i].sum() == sims or ended[i], (seed, i)
            roots.append({"observation": hashlib.sha256(observation[i].tobytes()).hexdigest()[:16],
                          "visit_counts": sparse(visits[i], False), "action": int(action[i]),
                          "action_weights": sparse(weights[i], True), "root_value": short(value[i])})
        depth = len(actions[0]) if actions else 0
        batches.append({"policy": policy, "num_simulations": sims, "options": options, "seed": seed,
                        "n": n, "depth": depth, "key": key, "actions": actions, "roots": roots})
        print(f"{policy} sims={sims} n={n} seed={seed} depth={depth} ended={int(ended.sum())} "
              f"{time.time() - t0:.1f} s", flush=True)

    seed = 0
    for policy, sims, n, options, count in PLAN:
        search = make_search(policy, sims, options)
        for _ in range(count):
            seed += 1
            state, actions = play(seed, n, DEPTHS[(seed * 7) % len(DEPTHS)])
            record(search, policy, sims, n, options, seed, state, actions)
    for policy, sims, n, options, line in MATES:
        seed += 1
        state, actions = play_line(seed, n, line)
        record(make_search(policy, sims, options), policy, sims, n, options, seed, state, actions)
    data = {"versions": {name: version(name) for name in ("jax", "mctx", "pgx")}, "batches": batches}
    text = json.dumps(data, separators=(",", ":"))
    args.out.write_bytes(gzip.compress(text.encode(), mtime=0))
    print(f"{sum(len(b['roots']) for b in batches)} roots, {args.out.stat().st_size} bytes, "
          f"{time.time() - started:.0f} s")


if __name__ == "__main__":
    main()
