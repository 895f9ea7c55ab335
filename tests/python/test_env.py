"""ChessEnv against pgx: every state of tests/data/pgx_env.txt (pgx's chess
environment stepped through seeded games, scripts/make_pgx_env_fixture.py),
reproduced step for step; the observation forms against each other and
against board.planes(); autoreset, pickling, Ctrl-C and bad input."""

import array
import hashlib
import pickle
import sys
from pathlib import Path

import pytest

import orvex_chess
from orvex_tools import ChessEnv
from test_tensors import needs_numpy, np

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "scripts"))
# The fixture's reader alone (plain Python, no numpy).
from pgx_env_fixture import read_fixture  # noqa: E402

PRNG_RECORDS, GAMES = read_fixture(REPO / "tests" / "data" / "pgx_env.txt")
OBSERVATION_BYTES = 8 * 8 * 119 * 4

# The arrays are read through memoryviews, not numpy, so that the test runs
# under the sanitizers too (numpy is not imported there).


def rows(view, i, size):
    """Row i of an array, as bytes."""
    flat = view.cast("B")
    return bytes(flat[i * size:(i + 1) * size])


def state_of(env, i):
    mask = rows(env.legal_action_mask, i, 4672)
    return {
        "player": env.current_player[i],
        "terminated": env.terminated[i],
        "truncated": env.truncated[i],
        "rewards": tuple(env.rewards.tolist()[i]),
        "step_count": env.step_count[i],
        "obs": hashlib.sha256(rows(env.observation, i, OBSERVATION_BYTES)).hexdigest()[:16],
        "legal": None if mask.count(1) == 4672 else [j for j, on in enumerate(mask) if on],
    }


@pytest.fixture(scope="module")
def fixture_run():
    """Steps all fixture games together, as the fixture was made: one batch
    reset from the fixture's seed, each game's recorded actions (an ended
    game's actions are ignored)."""
    n = GAMES[0]["n"]
    assert [g["index"] for g in GAMES] == list(range(n))
    env = ChessEnv(n, threads=2, illegal="lose")
    env.reset(seed=GAMES[0]["seed"])
    steps = max(len(g["states"]) for g in GAMES)
    differences = []
    for t in range(steps):
        if t:
            actions = [g["states"][t]["action"] if t < len(g["states"]) else 0 for g in GAMES]
            env.step(actions)
        for i, g in enumerate(GAMES):
            if t < len(g["states"]):
                got = state_of(env, i)
                want = {k: g["states"][t][k] for k in got}
                for name in got:
                    if got[name] != want[name]:
                        differences.append(f"{g['name']} state {t}: {name} {got[name]!r}, pgx {want[name]!r}")
    return env, differences


def test_every_state_of_pgx_is_reproduced(fixture_run):
    _, differences = fixture_run
    assert not differences, "\n".join(differences[:10])


def test_moves_and_boards_are_the_games_played(fixture_run):
    env, _ = fixture_run
    for i, g in enumerate(GAMES):
        if g["end"] == "illegal":
            continue  # the final, illegal action is no move of the board
        board = env.board(i)
        assert board.fen() == " ".join(g["fen"].split()[:4]), g["name"]
        replay = orvex_chess.Board()
        for move in env.moves(i):
            replay.push(move)
        assert replay.fen() == board.fen()


PLAYERS = [(int(r[1]), r[3]) for r in PRNG_RECORDS if r[0] == "players"]


@pytest.mark.parametrize("seed, players", PLAYERS, ids=[f"{s}-{len(p)}" for s, p in PLAYERS])
def test_player_order_is_drawn_as_pgx_draws_it(seed, players):
    env = ChessEnv(len(players), threads=2, observation="bits")
    for key in (seed, seed + 2**32, seed - 2**32):  # the seed is taken modulo 2**32, as JAX does
        env.reset(seed=key)
        assert "".join(map(str, env.current_player.tolist())) == players


def play_random(env, steps, seed):
    for t in range(steps):
        env.step(env.sample_actions(rng_seed=seed * 1000 + t))


@needs_numpy
@pytest.mark.parametrize("threads", [1, 2])
def test_forms_agree_and_thread_counts_agree(threads):
    envs = {form: ChessEnv(37, threads=threads, observation=form) for form in ("float32", "uint8", "bits")}
    for env in envs.values():
        env.reset(seed=7)
    for t in range(140):
        actions = envs["float32"].sample_actions(rng_seed=t)
        for env in envs.values():
            env.step(actions)
        f = np.asarray(envs["float32"].observation)
        u = np.asarray(envs["uint8"].observation)
        b = np.asarray(envs["bits"].observation)
        nonzero = f != 0
        assert (nonzero == (u != 0)).all()
        expanded = (b[:, None, :] >> np.arange(64, dtype=np.uint64)[None, :, None]) & 1
        assert (expanded.reshape(-1, 8, 8, 119).astype(bool) == nonzero).all()
        planes = [p for p in range(119) if p not in (113, 118)]
        assert (u[..., planes] == f[..., planes]).all()
        step = np.asarray(envs["float32"].step_count)
        assert (u[:, 0, 0, 113] == (step * 255 + 511) // 512).all()
        for name in ("legal_action_mask", "rewards", "terminated", "current_player", "step_count"):
            values = [np.asarray(getattr(env, name)) for env in envs.values()]
            assert all((v == values[0]).all() for v in values)


@needs_numpy
def test_piece_planes_agree_with_board_planes():
    env = ChessEnv(8, observation="float32")
    env.reset(seed=3)
    for t in range(60):
        env.step(env.sample_actions(rng_seed=t))
        obs = np.asarray(env.observation)
        for i in range(8):
            if np.asarray(env.terminated)[i]:
                continue
            board = env.board(i)
            planes = np.asarray(board.planes(mirror=True)).reshape(12, 8, 8)  # [kind][rank][file], mover first
            # observation row 0 is the mover's last rank
            seen = obs[i, ::-1, :, :12].transpose(2, 0, 1)
            assert (seen == planes).all(), (t, i)


def test_autoreset_starts_an_ended_game_on_the_next_step():
    env = ChessEnv(1, autoreset=True, illegal="lose")
    env.reset(seed=1)
    env.step([0])  # a1 rook "two ranks down": illegal, the game ends
    assert env.terminated[0] and sorted(env.rewards.tolist()[0]) == [-1.0, 1.0]
    env.step([0])  # ignored: the game starts again
    assert not env.terminated[0]
    assert env.step_count[0] == 0 and env.rewards.tolist()[0] == [0.0, 0.0]
    assert rows(env.legal_action_mask, 0, 4672).count(1) == 20
    assert env.moves(0) == []


def test_pickle_resumes_the_same_games():
    env = ChessEnv(16, observation="uint8", autoreset=True)
    env.reset(seed=11)
    play_random(env, 90, 1)
    copy = pickle.loads(pickle.dumps(env))
    for step in range(200):
        actions = env.sample_actions(rng_seed=step)
        env.step(actions)
        copy.step(actions)
    for name in ("observation", "legal_action_mask", "rewards", "terminated", "current_player", "step_count"):
        assert getattr(env, name).tobytes() == getattr(copy, name).tobytes(), name
    assert [env.moves(i) for i in range(16)] == [copy.moves(i) for i in range(16)]


def test_damaged_state_is_refused():
    env = ChessEnv(2)
    state = env.__reduce__()[2]
    damaged = state[:40] + bytes([state[40] ^ 1]) + state[41:]
    with pytest.raises(ValueError, match="Invalid environment state"):
        env.__setstate__(damaged)


@pytest.mark.parametrize("actions, error", [
    ([0, 0], ValueError),                                  # wrong length
    (memoryview(bytes(24)).cast("q", (3, 1)), ValueError),  # wrong shape
    (array.array("f", [0, 0, 0]), TypeError),               # not integers
    ("abc", TypeError),
    ([1.0, 2.0, 3.0], TypeError),
    ([4672, 0, 0], ValueError),                 # out of range
    ([-1, 0, 0], ValueError),
])
def test_bad_actions_are_refused_and_no_game_steps(actions, error):
    env = ChessEnv(3, illegal="lose")
    env.reset(seed=5)
    before = env.observation.tobytes()
    with pytest.raises(error):
        env.step(actions)
    assert env.observation.tobytes() == before
    assert env.step_count.tolist() == [0, 0, 0]


def test_an_illegal_action_raises_by_default_naming_game_and_id():
    env = ChessEnv(3)
    legal = rows(env.legal_action_mask, 0, 4672).index(1)
    with pytest.raises(ValueError, match="game 2: action 0 "):
        env.step([legal, legal, 0])
    assert env.step_count.tolist() == [0, 0, 0]


# An item's __index__ empties the list while step() reads it: the actions must
# come from a snapshot (run in a child process, as reading past the list crashes).
SHRINKING_LIST_SCRIPT = """
from orvex_tools import ChessEnv
env = ChessEnv(8)
legal = env.legal_action_mask.cast("B")[:4672].tolist().index(1)
actions = [legal] * 8
class Shrinking:
    def __index__(self):
        actions.clear()
        return legal
actions[0] = Shrinking()
env.step(actions)
print(env.step_count.tolist())
"""


def test_step_list_emptied_by_index_reads_snapshot():
    import subprocess
    result = subprocess.run([sys.executable, "-c", SHRINKING_LIST_SCRIPT], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == str([1] * 8)


class Index:
    """An integer of another type, as numpy's are: only __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_seeds_may_be_any_integer_type():
    env = ChessEnv(16, observation="bits")
    env.reset(seed=5)
    players = env.current_player.tolist()
    sampled = env.sample_actions(rng_seed=7).tolist()
    env.reset(seed=Index(5))
    assert env.current_player.tolist() == players
    assert env.sample_actions(rng_seed=Index(7)).tolist() == sampled
    with pytest.raises(TypeError):
        env.reset(seed=True)


@pytest.mark.parametrize("kwargs, error", [
    ({"batch_size": 0}, ValueError), ({"batch_size": "4"}, TypeError),
    ({"batch_size": 2, "threads": 0}, ValueError), ({"batch_size": 2, "observation": "f16"}, ValueError),
    ({"batch_size": 2, "autoreset": 1}, TypeError), ({"batch_size": 2, "illegal": "ignore"}, ValueError),
])
def test_bad_constructor_arguments(kwargs, error):
    with pytest.raises(error):
        ChessEnv(**kwargs)


# Ctrl-C lands inside a step (the handler raises only there; one that comes
# between steps is sent again), after games have moved, ended on an illegal
# action and started again: every game must be as it was before the call.
CTRL_C_SCRIPT = """
import os, signal, threading
import numpy as np
from orvex_tools import ChessEnv
env = ChessEnv(60_000, observation="bits", threads=2, autoreset=True, illegal="lose")
env.reset(seed=1)
stepping = False
def on_sigint(signum, frame):
    if stepping:
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
rows = slice(0, None, 97)
def snapshot():
    return ({n: np.asarray(getattr(env, n))[rows].copy() for n in
             ("observation", "legal_action_mask", "rewards", "terminated", "current_player", "step_count")},
            [env.moves(i) for i in range(0, 60_000, 977)])
for attempt in range(200):
    actions = np.array(env.sample_actions(rng_seed=attempt))
    actions[::3] = 0  # illegal for most: those games end, and start again on the next step
    before = snapshot()
    threading.Timer(0.01 * (attempt % 7), os.kill, (os.getpid(), signal.SIGINT)).start()
    stepping = True
    try:
        env.step(actions)
    except KeyboardInterrupt:
        stepping = False
        break
    stepping = False
    threading.Event().wait(0.1)  # a late signal is handled (and ignored) here
else:
    raise SystemExit("no step was interrupted")
after = snapshot()
for name, values in before[0].items():
    assert (after[0][name] == values).all(), name
assert after[1] == before[1]
print("ok", attempt)
"""


def test_ctrl_c_during_a_step_leaves_every_game_as_it_was():
    import subprocess
    result = subprocess.run([sys.executable, "-c", CTRL_C_SCRIPT], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout.startswith("ok"), result.stderr[-2000:]
