"""Self-play with orvex_tools.MCTS and a small numpy network.

Plays a batch of games against themselves, searching every move with the
batched search (mctx's Gumbel MuZero or MuZero policy, in C++), and writes:

- the finished games as PGN (orvex_tools.write_games), and
- the training targets: for every move searched, the game, the ply, the
  observation's game step, the search's action_weights (the policy target),
  the action played and the root value, in a compressed .npz file.

The network is an untrained two-layer perceptron in numpy: replace
``Network.__call__`` with yours (any function of the (N, 8, 8, 119) float32
observation that returns (N, 4672) float32 logits and (N,) float32 values).

    python examples/selfplay.py                      # 32 games, well under a minute
    python examples/selfplay.py --games 8 --simulations 4 --plies 6 --out /tmp/sp
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np

import orvex_tools

ACTIONS = 4672


class Network:
    """(N, 8, 8, 119) observations -> (N, 4672) logits, (N,) values."""

    def __init__(self, seed: int, hidden: int = 64) -> None:
        rng = np.random.default_rng(seed)
        features = 119 + 64 * 12
        self.w1 = (rng.normal(size=(features, hidden)) / np.sqrt(features)).astype(np.float32)
        self.w_policy = (rng.normal(size=(hidden, ACTIONS)) / np.sqrt(hidden)).astype(np.float32)
        self.w_value = (rng.normal(size=hidden) / np.sqrt(hidden)).astype(np.float32)

    def __call__(self, observation: memoryview) -> tuple[np.ndarray, np.ndarray]:
        obs = np.asarray(observation)
        n = obs.shape[0]
        # Every plane's mean, and the current position's 12 piece planes.
        features = np.concatenate([obs.mean(axis=(1, 2)), obs[..., :12].reshape(n, 64 * 12)], axis=1)
        hidden = np.maximum(features @ self.w1, 0)
        return hidden @ self.w_policy, np.tanh(hidden @ self.w_value).astype(np.float32)


def result_of(env: orvex_tools.ChessEnv, i: int, mover: int) -> str:
    """The PGN result of game i, which the player `mover` has just ended."""
    if not env.terminated[i]:
        return "*"
    reward = np.asarray(env.rewards)[i, mover]
    if reward == 0:
        return "1/2-1/2"
    white_moved = len(env.moves(i)) % 2 == 1
    return "1-0" if (reward > 0) == white_moved else "0-1"


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=32, help="games played at once (default 32)")
    parser.add_argument("--simulations", type=int, default=16, help="simulations per move (default 16)")
    parser.add_argument("--plies", type=int, default=40, help="the most moves per game (default 40)")
    parser.add_argument("--policy", choices=("gumbel", "muzero"), default="gumbel")
    parser.add_argument("--threads", type=int, default=None, help="worker threads (default: every core)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", type=Path, default=Path("selfplay-out"),
                        help="directory of games.pgn and targets.npz (default selfplay-out)")
    args = parser.parse_args(argv)

    env = orvex_tools.ChessEnv(args.games, threads=args.threads)
    env.reset(args.seed)
    search = orvex_tools.MCTS(env, num_simulations=args.simulations, policy=args.policy, threads=args.threads)
    network = Network(args.seed)
    rows: dict[str, list[np.ndarray]] = {"game": [], "ply": [], "action_weights": [], "action": [],
                                         "root_value": []}
    results = ["*"] * args.games
    start = time.perf_counter()
    for ply in range(args.plies):
        running = ~np.asarray(env.terminated)
        if not running.any():
            break
        out = search.run(network, args.seed * 1_000_003 + ply)
        games = np.flatnonzero(running)
        rows["game"].append(games.astype(np.int32))
        rows["ply"].append(np.full(len(games), ply, dtype=np.int32))
        rows["action_weights"].append(np.asarray(out.action_weights)[games].astype(np.float16))
        rows["action"].append(np.asarray(out.action)[games])
        rows["root_value"].append(np.asarray(out.root_value)[games])
        movers = np.asarray(env.current_player).copy()
        env.step(out.action)
        for i in games:
            if env.terminated[i]:
                results[i] = result_of(env, int(i), int(movers[i]))
    elapsed = time.perf_counter() - start

    args.out.mkdir(parents=True, exist_ok=True)
    finished = [i for i in range(args.games) if results[i] != "*"]
    records = [({"Event": "orvex self-play", "Round": str(i)}, None, env.moves(i), results[i])
               for i in finished]
    written = orvex_tools.write_games(args.out / "games.pgn", records)
    np.savez_compressed(args.out / "targets.npz", **{k: np.concatenate(v) if v else np.zeros(0)
                                                     for k, v in rows.items()})
    moves = sum(len(g) for g in rows["game"])
    print(f"{moves} moves searched ({args.simulations} simulations each, {args.policy}) in {elapsed:.1f} s; "
          f"{written} finished games in {args.out / 'games.pgn'}, targets in {args.out / 'targets.npz'}")


if __name__ == "__main__":
    main()
