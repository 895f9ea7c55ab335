"""examples/selfplay.py, run with tiny settings: it plays, and its targets
are one policy row per move searched."""

import subprocess
import sys
from pathlib import Path

import pytest

from test_tensors import np  # None in the sanitized runs, where numpy's import leaks

if np is None:
    pytest.skip("needs numpy, which the sanitized runs do not import", allow_module_level=True)

EXAMPLE = Path(__file__).resolve().parent.parent.parent / "examples" / "selfplay.py"


@pytest.mark.parametrize("policy", ["gumbel", "muzero"])
def test_selfplay_example_writes_games_and_targets(tmp_path, policy):
    result = subprocess.run([sys.executable, str(EXAMPLE), "--games", "3", "--simulations", "4", "--plies", "5",
                             "--policy", policy, "--threads", "2", "--out", str(tmp_path)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    targets = np.load(tmp_path / "targets.npz")
    assert targets["action_weights"].shape == (15, 4672)
    assert np.allclose(targets["action_weights"].astype(np.float32).sum(axis=1), 1, atol=1e-2)
    assert sorted(set(targets["ply"].tolist())) == [0, 1, 2, 3, 4]
    weights = targets["action_weights"][np.arange(15), targets["action"]]
    assert (weights > 0).all()  # the action played is one the search weighed
    assert (tmp_path / "games.pgn").exists()
