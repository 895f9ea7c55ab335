"""orvex_tools.MCTS beyond the mctx fixture (test_search_mctx.py): what every
search must hold (visits at legal actions adding up to the simulations, the
same results for every thread count), ended games, the forms of the key and
of the root noise, and bad input, after which the env and the search still
work."""

import os
import signal
import threading

import pytest

from test_tensors import np  # None in the sanitized runs, where numpy's import leaks

if np is None:
    pytest.skip("needs numpy, which the sanitized runs do not import", allow_module_level=True)
from orvex_tools import MCTS, ChessEnv  # noqa: E402

ACTIONS = 4672
# Fool's mate: f3 e5 g4 Qh4#, as AlphaZero ids (white's moves, then black's
# from black's side).
FOOLS_MATE = ["f2f3", "e7e5", "g2g4", "d8h4"]


def network(seed=0):
    """A small fixed random network: logits and value from a few planes."""
    rng = np.random.default_rng(seed)
    weights = rng.normal(size=(119, ACTIONS)).astype(np.float32) * np.float32(0.1)
    value_weights = rng.normal(size=119).astype(np.float32) * np.float32(0.01)

    def evaluate(observation):
        planes = np.asarray(observation).reshape(len(observation), 64, 119).mean(axis=1)
        return planes @ weights, np.tanh(planes @ value_weights).astype(np.float32)

    return evaluate


def played_env(n=6, plies=6, seed=3, threads=2):
    env = ChessEnv(n, threads=threads)
    env.reset(seed)
    for _ in range(plies):
        env.step(env.sample_actions(rng_seed=seed))
    return env


def arrays(out):
    return {name: np.asarray(getattr(out, name)).copy()
            for name in ("action", "action_weights", "visit_counts", "root_value")}


@pytest.mark.parametrize("policy", ["muzero", "gumbel"])
def test_visits_are_legal_and_add_up_and_threads_agree(policy):
    env = played_env()
    mask = np.asarray(env.legal_action_mask)
    results = [arrays(MCTS(env, num_simulations=24, policy=policy, threads=t).run(network(), 7))
               for t in (1, 2, 3)]
    for other in results[1:]:
        for name, values in results[0].items():
            assert (other[name] == values).all(), name
    out = results[0]
    assert (out["visit_counts"].sum(axis=1) == 24).all()
    assert (out["visit_counts"][~mask] == 0).all()
    assert mask[np.arange(len(mask)), out["action"]].all()
    assert np.allclose(out["action_weights"].sum(axis=1), 1, atol=1e-5)
    assert (out["action_weights"][~mask] == 0).all()
    assert np.isfinite(out["root_value"]).all()


@pytest.mark.parametrize("policy", ["muzero", "gumbel"])
def test_ended_games_are_searched_as_mctx_searches_them(policy):
    env = ChessEnv(3, threads=2)
    for move in FOOLS_MATE:
        board = env.board(0)
        mate = board.move_index(move, "az")
        env.step([mate] + [int(np.flatnonzero(np.asarray(env.legal_action_mask)[i])[0]) for i in (1, 2)])
    assert list(np.asarray(env.terminated)) == [True, False, False]
    before = np.asarray(env.observation).copy()
    out = arrays(MCTS(env, num_simulations=16, policy=policy, threads=2).run(network(), 1))
    # An ended game's actions are all valid to mctx, its value is the
    # network's at the root, and its children are the same ended game.
    assert (out["visit_counts"].sum(axis=1) == 16).all()
    assert 0 <= out["action"][0] < ACTIONS
    assert (np.asarray(env.observation) == before).all()


def test_key_as_int_or_raw_words_and_given_noise():
    env = played_env(n=3)
    search = MCTS(env, num_simulations=12, policy="muzero", threads=2)
    by_int = arrays(search.run(network(), 5))
    by_words = arrays(search.run(network(), np.array([0, 5], dtype=np.uint32)))
    for name in by_int:
        assert (by_int[name] == by_words[name]).all(), name
    # Gumbel noise given: the key draws nothing else.
    gumbel = MCTS(env, num_simulations=12, policy="gumbel", threads=2)
    noise = np.random.default_rng(0).gumbel(size=(3, ACTIONS)).astype(np.float32)
    first, second = (arrays(gumbel.run(network(), key, gumbel=noise)) for key in (1, 2))
    for name in first:
        assert (first[name] == second[name]).all(), name


def _bad(kind):
    good = network()

    def evaluate(observation):
        logits, value = good(observation)
        if kind == "shape":
            return logits[:, :-1], value
        if kind == "dtype":
            return logits.astype(np.float64), value
        if kind == "nan":
            logits[-1, 17] = np.nan
        if kind == "value":
            value = value.copy()
            value[0] = np.inf
        if kind == "raise":
            raise ZeroDivisionError("network failed")
        if kind == "tuple":
            return logits
        return logits, value

    return evaluate


@pytest.mark.parametrize("kind, error", [
    ("shape", ValueError), ("dtype", TypeError), ("nan", ValueError), ("value", ValueError),
    ("raise", ZeroDivisionError), ("tuple", TypeError),
])
def test_bad_evaluate_raises_and_leaves_env_and_search_usable(kind, error):
    env = played_env(n=4)
    before = np.asarray(env.observation).copy()
    search = MCTS(env, num_simulations=8, policy="gumbel", threads=2)
    good = arrays(search.run(network(), 3))
    with pytest.raises(error):
        search.run(_bad(kind), 3)
    assert (np.asarray(env.observation) == before).all()
    again = arrays(search.run(network(), 3))
    for name in good:
        assert (again[name] == good[name]).all(), name
    env.step(again["action"])


def test_outputs_inside_the_observation_array_are_read_before_it_is_rewritten():
    # A network may hand back a view of the observation array itself; the
    # next leaves' observations must not be written over it while it is still
    # being read. Here every game's value is a number of the first game's
    # observation (its last square's last planes: the side to move, the
    # counters), which the first game's next leaf changes.
    n = 64

    def aliased(observation):
        flat = np.asarray(observation).reshape(-1)
        per_game = flat.size // n
        return np.zeros((n, ACTIONS), np.float32), flat[per_game - n:per_game]

    def copied(observation):
        logits, value = aliased(observation)
        return logits, value.copy()

    env = played_env(n=n, plies=12)
    first = arrays(MCTS(env, num_simulations=8, policy="muzero", threads=1).run(aliased, 5))
    second = arrays(MCTS(env, num_simulations=8, policy="muzero", threads=1).run(copied, 5))
    for name, values in first.items():
        assert (second[name] == values).all(), name


def test_env_cannot_step_while_it_is_searched():
    env = played_env(n=2)
    good = network()

    def evaluate(observation):
        env.step([0, 0])
        return good(observation)

    with pytest.raises(Exception, match="borrow|while|in use"):
        MCTS(env, num_simulations=2).run(evaluate, 0)


@pytest.mark.parametrize("kwargs, error", [
    ({"policy": "alphazero"}, ValueError),
    ({"policy": "muzero", "max_num_considered_actions": 4}, TypeError),
    ({"policy": "gumbel", "pb_c_init": 1.0}, TypeError),
    ({"num_simulations": 0}, ValueError),
    ({"dirichlet_fraction": 1.5, "policy": "muzero"}, ValueError),
    ({"rescale_values": 1}, TypeError),
])
def test_bad_options_are_refused(kwargs, error):
    with pytest.raises(error):
        MCTS(played_env(n=1), **kwargs)


def test_ctrl_c_stops_a_search_and_leaves_it_usable():
    env = played_env(n=2)
    search = MCTS(env, num_simulations=200, policy="muzero", dirichlet_fraction=0.0, threads=2)
    good = network()
    calls = []

    def evaluate(observation):
        calls.append(1)
        if len(calls) == 20:
            threading.Timer(0.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        return good(observation)

    with pytest.raises(KeyboardInterrupt):
        search.run(evaluate, 0)
    assert len(calls) < 200
    out = arrays(MCTS(env, num_simulations=4, policy="muzero", threads=2).run(good, 0))
    assert (out["visit_counts"].sum(axis=1) == 4).all()
