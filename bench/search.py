"""Speed of the batched search: orvex_tools.MCTS against ChessEnv.step and
against DeepMind's mctx over pgx (JAX on the CPU), in one run.

Run from the repository root:

    pip install .
    python bench/search.py                  # about two minutes
    python bench/search.py --quick          # about thirty seconds
    python bench/search.py --mctx-python build/mctx-venv/bin/python
    python bench/search.py --callgrind      # also instructions per simulation

A "simulation" in the simulations/s column is one game's simulation: a
search of N games with S simulations makes N * S of them, and calls the
network S + 1 times. The network is trivial (prior logits and value all zero,
arrays made once), so the figures are the search's own cost.

- orvex: ``orvex_tools.MCTS(env, num_simulations=S, policy=...)`` on a
  ChessEnv of N = 1024 games (float32 observations, 2 threads, 20 random plies
  into the games), ``search.run(network, key)``, for "gumbel" and "muzero",
  and "muzero" with ``dirichlet_fraction=0`` (no root noise: the difference
  is what drawing 4672 Dirichlet samples per game costs a run), S = 32
  simulations (16 with --quick), the same S for every search row.
- ChessEnv.step: ``env.step(env.sample_actions())`` on the same env form,
  N = 1024, 2 threads (as in bench/env.py): the target is a simulation rate
  of at least half this step rate, since a simulation steps one game and
  writes one observation. The searches' rounds and the steps' take turns
  (seven rounds, the best of each kept), so that a machine whose speed
  drifts during the run weighs on both sides of the ratio alike.
- mctx over pgx: ``mctx.gumbel_muzero_policy`` and ``mctx.muzero_policy``
  under ``jax.jit`` with pgx's chess as the model (the recurrent function of
  pgx's AlphaZero example) and the same trivial network. mctx keeps dense
  rows of 4672 actions per node, so it runs at a smaller N (256 by default,
  ``--mctx-n``) to fit in memory; its rate is per game-simulation as well.
  It runs in a subprocess with the interpreter given by ``--mctx-python``
  (default: the environment variable MCTX_PYTHON, else build/mctx-venv/bin/python
  when it exists, else this interpreter), which needs jax, mctx and pgx; the
  row is left out when they do not import. JAX uses every core.

The ratios divide orvex's simulations/s by the other rate; no time is
asserted anywhere.

Instructions per simulation (``--callgrind``, needs valgrind): the search
runs under callgrind at N = 64, one thread, with S1 and S2 simulations; the
difference in the instructions executed inside ``run`` (everything it calls,
the trivial network's Python included, counted from the binding's entry
point: a pattern that also matched functions called inside it would switch
the counting off there), divided by N * (S2 - S1), is the cost of one
simulation with its environment step and observation; the instructions of
the observation writing alone (``--observation-function``, a callgrind
function pattern) are reported beside it, and their difference is the tree
alone. Function names are needed: a pip install strips the module, so
install with ``pip install -C install.strip=false .`` first. By hand:

    valgrind --tool=callgrind --toggle-collect='*search_run*' \\
        python bench/search.py --child-orvex 64 32 gumbel 1
    callgrind_annotate --inclusive=yes callgrind.out.PID | head -40
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
NUM_ACTIONS = 4672
POLICIES = ("gumbel", "muzero")
# The searches timed: each policy as mctx runs it, and MuZero without its root
# noise, which shows what the 4672 Dirichlet draws per game cost a run.
SEARCHES = {"gumbel": {"policy": "gumbel"}, "muzero": {"policy": "muzero"},
            "muzero, dirichlet_fraction=0": {"policy": "muzero", "dirichlet_fraction": 0.0}}


# ---------------------------------------------------------------------------
# orvex


def orvex_env(n: int, threads: int):
    from orvex_tools import ChessEnv

    env = ChessEnv(n, threads=threads, observation="float32", autoreset=True)
    env.reset(seed=0)
    for t in range(20):  # leave the opening
        env.step(env.sample_actions(rng_seed=t))
    return env


def trivial_network(n: int):
    import numpy as np

    logits = np.zeros((n, NUM_ACTIONS), dtype=np.float32)
    value = np.zeros(n, dtype=np.float32)
    return lambda observation: (logits, value)


def orvex_rates(n: int, threads: int, sims: int, steps: int, rounds: int) -> tuple[dict, float]:
    """The best rate of each search policy and of ChessEnv.step, their rounds
    taken in turn, so that a machine whose speed drifts weighs on all alike."""
    import orvex_tools

    network = trivial_network(n)
    searches = {}
    for name, options in SEARCHES.items():
        env = orvex_env(n, threads)
        searches[name] = orvex_tools.MCTS(env, num_simulations=sims, threads=threads, **options)
        searches[name].run(network, 0)  # warm-up
    step_env = orvex_env(n, threads)
    best = {name: float("inf") for name in SEARCHES}
    best_step = float("inf")
    for r in range(rounds):
        for name, search in searches.items():
            t0 = time.perf_counter()
            search.run(network, r + 1)
            best[name] = min(best[name], time.perf_counter() - t0)
        t0 = time.perf_counter()
        for _ in range(steps):
            step_env.step(step_env.sample_actions())
        best_step = min(best_step, time.perf_counter() - t0)
    return {name: n * sims / t for name, t in best.items()}, n * steps / best_step


# ---------------------------------------------------------------------------
# mctx over pgx (run in a subprocess: it needs jax, mctx and pgx)


def mctx_child(n: int, sims: int, rounds: int) -> None:
    """Prints a JSON line {policy: simulations/s}."""
    import jax
    import jax.numpy as jnp
    import mctx
    import pgx

    env = pgx.make("chess")

    def network(state):
        return jnp.zeros(state.legal_action_mask.shape, jnp.float32), jnp.zeros(state.current_player.shape, jnp.float32)

    def recurrent_fn(params, rng_key, action, state):
        mover = state.current_player
        state = jax.vmap(env.step)(state, action)
        logits, value = network(state)
        logits = logits - jnp.max(logits, axis=-1, keepdims=True)
        logits = jnp.where(state.legal_action_mask, logits, jnp.finfo(logits.dtype).min)
        reward = state.rewards[jnp.arange(state.rewards.shape[0]), mover]
        value = jnp.where(state.terminated, 0.0, value)
        discount = jnp.where(state.terminated, 0.0, -1.0 * jnp.ones_like(value))
        return mctx.RecurrentFnOutput(reward=reward, discount=discount, prior_logits=logits, value=value), state

    def searcher(policy):
        run = mctx.gumbel_muzero_policy if policy == "gumbel" else mctx.muzero_policy

        @jax.jit
        def search(state, key):
            logits, value = network(state)
            root = mctx.RootFnOutput(prior_logits=logits, value=value, embedding=state)
            out = run(params=None, rng_key=key, root=root, recurrent_fn=recurrent_fn,
                      num_simulations=sims, invalid_actions=~state.legal_action_mask)
            return out.action, out.action_weights

        return search

    state = jax.jit(jax.vmap(env.init))(jax.random.split(jax.random.PRNGKey(0), n))
    step = jax.jit(jax.vmap(env.step))
    key = jax.random.PRNGKey(1)
    for _ in range(20):
        key, sub = jax.random.split(key)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        state = step(state, jax.random.categorical(sub, logits, axis=-1))
    rates = {}
    for policy in POLICIES:
        search = searcher(policy)
        jax.block_until_ready(search(state, jax.random.PRNGKey(0)))  # compile
        best = float("inf")
        for r in range(rounds):
            t0 = time.perf_counter()
            jax.block_until_ready(search(state, jax.random.PRNGKey(r + 1)))
            best = min(best, time.perf_counter() - t0)
        rates[policy] = n * sims / best
    print(json.dumps(rates))


def default_mctx_python() -> str:
    if os.environ.get("MCTX_PYTHON"):
        return os.environ["MCTX_PYTHON"]
    venv = REPO / "build" / "mctx-venv" / "bin" / "python"
    return str(venv) if venv.exists() else sys.executable


def mctx_rates(python: str, n: int, sims: int, rounds: int) -> tuple[dict | None, str]:
    cmd = [python, str(Path(__file__).resolve()), "--child-mctx", str(n), str(sims), str(rounds)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        return None, (proc.stderr.strip().splitlines() or ["?"])[-1]
    return json.loads(proc.stdout.strip().splitlines()[-1]), ""


# ---------------------------------------------------------------------------
# Instructions per simulation under callgrind


def orvex_child(n: int, sims: int, policy: str, threads: int) -> None:
    import orvex_tools

    env = orvex_env(n, threads)
    search = orvex_tools.MCTS(env, num_simulations=sims, policy=policy, threads=threads)
    search.run(trivial_network(n), 0)


def _inclusive(annotated: str, pattern: str) -> int:
    """The largest inclusive count among the functions whose name matches."""
    best = 0
    for line in annotated.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)", line)
        if m and re.search(pattern, m.group(2)):
            best = max(best, int(m.group(1).replace(",", "")))
    return best


def callgrind_counts(n: int, sims: int, policy: str, observation_pattern: str) -> tuple[int, int]:
    """Instructions inside the search's C++, and inside the observation writing."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
               "--toggle-collect=*search_run*", sys.executable, str(Path(__file__).resolve()),
               "--child-orvex", str(n), str(sims), policy, "1"]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr[-800:])
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out)],
                                   capture_output=True, text=True, check=True).stdout
    total = re.search(r"([\d,]+)\s+\(100.0%\)\s+PROGRAM TOTALS", annotated)
    total = int(total.group(1).replace(",", "")) if total else 0
    if total == 0:
        raise RuntimeError("callgrind saw no function of orvex::search: the installed module is stripped; "
                           "reinstall with pip install -C install.strip=false . (or put an unstripped "
                           "build of orvex_tools first on PYTHONPATH)")
    return total, _inclusive(annotated, observation_pattern)


def instructions_per_simulation(policy: str, observation_pattern: str, n: int = 64,
                                sims: tuple[int, int] = (16, 48)) -> tuple[float, float]:
    low = callgrind_counts(n, sims[0], policy, observation_pattern)
    high = callgrind_counts(n, sims[1], policy, observation_pattern)
    per = n * (sims[1] - sims[0])
    return (high[0] - low[0]) / per, (high[1] - low[1]) / per


# ---------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer simulations and rounds")
    parser.add_argument("--mctx-python", default=default_mctx_python(),
                        help="interpreter with jax, mctx and pgx for the mctx rows")
    parser.add_argument("--mctx-n", type=int, default=256, help="games per mctx search (default 256)")
    parser.add_argument("--callgrind", action="store_true", help="also instructions per simulation")
    parser.add_argument("--observation-function", default=r"orvex::selfplay::write_observation",
                        help="regular expression for the observation writing's function names")
    parser.add_argument("--child-mctx", nargs=3, type=int, help=argparse.SUPPRESS)
    parser.add_argument("--child-orvex", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_mctx:
        return mctx_child(*args.child_mctx)
    if args.child_orvex:
        n, sims, policy, threads = args.child_orvex
        return orvex_child(int(n), int(sims), policy, int(threads))

    n, threads = 1024, 2
    sims, rounds = (16, 2) if args.quick else (32, 7)
    print(f"# cores available: {len(os.sched_getaffinity(0))}, load average {os.getloadavg()[0]:.1f}")
    print("\n| implementation | policy | N | simulations | threads | simulations/s |")
    print("| --- | --- | --- | --- | --- | --- |")
    orvex, step = orvex_rates(n, threads, sims, 20 if args.quick else 100, rounds)
    for name in SEARCHES:
        print(f"| orvex MCTS | {name} | {n} | {sims} | {threads} | {orvex[name]:,.0f} |", flush=True)
    print(f"| orvex ChessEnv.step (steps/s) | | {n} | | {threads} | {step:,.0f} |", flush=True)
    mctx, why = mctx_rates(args.mctx_python, args.mctx_n, sims, 2 if args.quick else 3)
    if mctx is None:
        print(f"| mctx over pgx | left out: {why} | | | | |")
    else:
        for policy in POLICIES:
            print(f"| mctx over pgx (JAX, CPU) | {policy} | {args.mctx_n} | {sims} | all | "
                  f"{mctx[policy]:,.0f} |", flush=True)

    print("\n| comparison | ratio |")
    print("| --- | --- |")
    for name in SEARCHES:
        print(f"| orvex MCTS {name} / ChessEnv.step | {orvex[name] / step:.2f}x |")
    if mctx is not None:
        for policy in POLICIES:
            print(f"| orvex MCTS {policy} / mctx {policy} | {orvex[policy] / mctx[policy]:,.0f}x |")

    if args.callgrind:
        print("\n| policy | instructions per simulation | of which observation writing | tree and step |")
        print("| --- | --- | --- | --- |")
        for policy in POLICIES:
            total, observation = instructions_per_simulation(policy, args.observation_function)
            print(f"| {policy} | {total:,.0f} | {observation:,.0f} | {total - observation:,.0f} |", flush=True)


if __name__ == "__main__":
    sys.exit(main())
