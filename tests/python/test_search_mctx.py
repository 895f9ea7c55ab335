"""orvex_tools.MCTS against DeepMind's mctx: every root of
tests/data/mctx_search.json.gz (scripts/make_mctx_fixture.py: batches of pgx
games searched by muzero_policy and gumbel_muzero_policy) searched again from
the same games, with the same network in numpy and the same key. Visit counts
and the action must be equal, action weights and root values within 1e-5."""

import gzip
import hashlib
import json
import sys
from pathlib import Path

import pytest

from test_tensors import np  # None in the sanitized runs, where numpy's import leaks

if np is None:
    pytest.skip("needs numpy, which the sanitized runs do not import", allow_module_level=True)
import orvex_tools  # noqa: E402

if not hasattr(orvex_tools, "MCTS"):
    pytest.skip("orvex_tools.MCTS is not in this build", allow_module_level=True)

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from mctx_fixture_network import evaluate  # noqa: E402

with gzip.open(REPO / "tests" / "data" / "mctx_search.json.gz", "rt") as f:
    BATCHES = json.load(f)["batches"]
TOLERANCE = 1e-5
#: At most this share of roots may differ (float32 rounding in a transcendental
#: function can flip a close decision); the failure lists which.
FLOOR = 0.99


def network(observation):
    return evaluate(np.asarray(observation), np)  # logits in Fortran order, as numpy makes them


def dense(pairs, dtype):
    row = np.zeros(4672, dtype=dtype)
    for action, value in pairs:
        row[action] = value
    return row


def group(batch):
    if batch["policy"] == "muzero" and batch["options"].get("dirichlet_fraction", 0.25) != 0:
        return "muzero-dirichlet"
    return batch["policy"]


def differences(batch, root, out, i, env):
    """What differs at root i of the batch, as text; empty when it matches."""
    found = []
    observation = np.asarray(env.observation)[i]
    if hashlib.sha256(observation.tobytes()).hexdigest()[:16] != root["observation"]:
        return ["the game replayed to another observation"]
    visits = np.asarray(out.visit_counts)[i]
    want = dense(root["visit_counts"], np.int32)
    if not (visits == want).all():
        changed = np.flatnonzero(visits != want)[:6]
        found.append("visit counts " + ", ".join(f"{a}: {visits[a]} (mctx {want[a]})" for a in changed))
    if int(np.asarray(out.action)[i]) != root["action"]:
        found.append(f"action {int(np.asarray(out.action)[i])} (mctx {root['action']})")
    weights = np.asarray(out.action_weights)[i]
    gap = np.abs(weights - dense(root["action_weights"], np.float32))
    if gap.max() > TOLERANCE:
        found.append(f"action weights off by {gap.max():.3g} at {int(gap.argmax())}")
    value = float(np.asarray(out.root_value)[i])
    if abs(value - root["root_value"]) > TOLERANCE:
        found.append(f"root value {value!r} (mctx {root['root_value']!r})")
    return found


@pytest.fixture(scope="module")
def searched():
    """Each batch's games replayed in a ChessEnv and searched: per group,
    the number of roots and the descriptions of those that differ."""
    report = {}
    for b in BATCHES:
        env = orvex_tools.ChessEnv(b["n"], threads=2)
        env.reset(seed=b["seed"])
        for t in range(b["depth"]):
            env.step([game[t] for game in b["actions"]])
        search = orvex_tools.MCTS(env, num_simulations=b["num_simulations"], policy=b["policy"],
                                  threads=2, **b["options"])
        out = search.run(network, b["key"])
        counts = report.setdefault(group(b), {"roots": 0, "differ": []})
        for i, root in enumerate(b["roots"]):
            counts["roots"] += 1
            found = differences(b, root, out, i, env)
            if found:
                counts["differ"].append(f"{b['policy']} {b['num_simulations']} sims {b['options']} seed {b['seed']} "
                                        f"depth {b['depth']} game {i}: " + "; ".join(found))
    return report


@pytest.mark.parametrize("name", ["muzero", "gumbel", "muzero-dirichlet"])
def test_roots_match_mctx(searched, name):
    total, wrong = searched[name]["roots"], searched[name]["differ"]
    summary = f"{name}: {total - len(wrong)} of {total} roots equal to mctx's"
    print(summary)
    assert len(wrong) <= (1 - FLOOR) * total, summary + "\n" + "\n".join(wrong)
