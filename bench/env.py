"""Speed of the batched self-play environment: orvex_tools.ChessEnv against
pgx's chess environment (JAX on the CPU) and OpenSpiel's C++ chess (pyspiel),
in one run.

Run from the repository root:

    pip install . && pip install ".[bench]"   # pgx, jax and open_spiel where they install
    python bench/env.py            # about two minutes
    python bench/env.py --quick    # about twenty seconds

Every row plays random games: each step takes one uniformly random legal action
per game and gives back the observations, the legal-action masks, the rewards
and the end-of-game flags of every game. A "step" in the steps/s column is one
game moving once, so a batch of N games stepped once is N steps.

- orvex: ``env.step(env.sample_actions())`` with ``autoreset=True``, at N = 256,
  1024 and 4096, threads 1 and 2, for each observation form (``"bits"``,
  ``"uint8"``, and ``"float32"``, which is pgx's observation bit for bit: the
  table also gives the observation bytes written per second).
- pgx: ``jax.jit(jax.vmap(env.step))`` with actions drawn by
  ``jax.random.categorical`` over the masks, and pgx's auto-reset, at N = 256
  and 1024 (float32 observations, as pgx has only those).
- OpenSpiel: one pyspiel chess state per game; each step reads
  ``legal_actions()`` and ``observation_tensor()``, applies a random action
  and starts a finished game again (also without the observation).

Peers that are not installed are left out. The ratios divide a peer's time
per step by orvex's (N = 1024, threads 2, the same observation form where
there is one): above 1 means orvex is faster. No time is asserted anywhere.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

import numpy as np

from orvex_tools import ChessEnv

FORMS = ("bits", "uint8", "float32")
OBSERVATION_BYTES = {"bits": 119 * 8, "uint8": 8 * 8 * 119, "float32": 8 * 8 * 119 * 4}


def best_rate(run, steps_per_round: int, rounds: int) -> float:
    """The best of `rounds` timed calls of run(), in steps per second."""
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - t0)
    return steps_per_round / best


def orvex_rate(n: int, threads: int, form: str, steps: int, rounds: int) -> float:
    env = ChessEnv(n, threads=threads, observation=form, autoreset=True)
    env.reset(seed=0)
    for _ in range(20):  # leave the opening
        env.step(env.sample_actions())

    def run():
        for _ in range(steps):
            env.step(env.sample_actions())

    return best_rate(run, n * steps, rounds)


def pgx_rate(n: int, steps: int, rounds: int) -> float | None:
    try:
        import jax
        import jax.numpy as jnp
        import pgx
        from pgx.experimental import auto_reset
    except ImportError:
        return None
    env = pgx.make("chess")
    init = jax.jit(jax.vmap(env.init))
    step = jax.jit(jax.vmap(auto_reset(env.step, env.init)))
    key = jax.random.PRNGKey(0)
    key, sub = jax.random.split(key)
    state = init(jax.random.split(sub, n))

    @jax.jit
    def act(state, key):
        k1, k2, k3 = jax.random.split(key, 3)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        action = jax.random.categorical(k1, logits, axis=-1)
        return step(state, action, jax.random.split(k2, n)), k3

    state, key = act(state, key)  # compile
    jax.block_until_ready(state.observation)
    holder = {"state": state, "key": key}

    def run():
        s, k = holder["state"], holder["key"]
        for _ in range(steps):
            s, k = act(s, k)
        jax.block_until_ready(s.observation)
        holder["state"], holder["key"] = s, k

    return best_rate(run, n * steps, rounds)


def open_spiel_rate(n: int, steps: int, rounds: int, observe: bool) -> float | None:
    try:
        import pyspiel
    except ImportError:
        return None
    game = pyspiel.load_game("chess")
    rng = random.Random(0)
    states = [game.new_initial_state() for _ in range(n)]

    def run():
        for _ in range(steps):
            for i, state in enumerate(states):
                if state.is_terminal():
                    state = states[i] = game.new_initial_state()
                legal = state.legal_actions()
                if observe:
                    state.observation_tensor()
                state.apply_action(legal[rng.randrange(len(legal))])

    return best_rate(run, n * steps, rounds)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer steps and rounds")
    args = parser.parse_args()
    steps, rounds = (20, 2) if args.quick else (100, 3)
    print(f"# cores available: {len(os.sched_getaffinity(0))}, load average {os.getloadavg()[0]:.1f}")

    rates: dict[tuple, float] = {}
    print("\n| implementation | observation | N | threads | steps/s | observation bytes/s |")
    print("| --- | --- | --- | --- | --- | --- |")
    for form in FORMS:
        for n in (256, 1024, 4096):
            for threads in (1, 2):
                rate = orvex_rate(n, threads, form, max(4, steps * 1024 // n), rounds)
                rates[("orvex", form, n, threads)] = rate
                print(f"| orvex | {form} | {n} | {threads} | {rate:,.0f} | "
                      f"{rate * OBSERVATION_BYTES[form] / 1e9:.2f} GB/s |", flush=True)
    for n in (256, 1024):
        rate = pgx_rate(n, max(2, steps // 20), rounds)
        if rate is not None:
            rates[("pgx", "float32", n, 2)] = rate
            print(f"| pgx (JAX, CPU) | float32 | {n} | all | {rate:,.0f} | |", flush=True)
    for observe in (True, False):
        rate = open_spiel_rate(256, max(2, steps // 10), rounds, observe)
        if rate is not None:
            form = "float32" if observe else "none"
            rates[("open_spiel", form, 256, 1)] = rate
            print(f"| OpenSpiel (pyspiel) | {form} | 256 | 1 | {rate:,.0f} | |", flush=True)

    print("\n| comparison | ratio |")
    print("| --- | --- |")
    for form in FORMS:
        one, two = rates[("orvex", form, 1024, 1)], rates[("orvex", form, 1024, 2)]
        print(f"| orvex {form}, N = 1024: threads 2 / threads 1 | {two / one:.2f}x |")
    base = rates[("orvex", "float32", 1024, 2)]
    for key, rate in rates.items():
        if key[0] != "orvex":
            other = rates[("orvex", "bits", 1024, 2)] if key[1] == "none" else base
            print(f"| orvex ({'bits' if key[1] == 'none' else 'float32'}, N = 1024, 2 threads) / "
                  f"{key[0]} ({key[1]}, N = {key[2]}) | {other / rate:,.0f}x |")


if __name__ == "__main__":
    sys.exit(main())
