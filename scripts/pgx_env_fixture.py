"""Reading tests/data/pgx_env.txt, the record of pgx's chess environment
that scripts/make_pgx_env_fixture.py writes (its format is in that script's
docstring). Plain Python: the tests read it without numpy.
"""

from __future__ import annotations


# Legal ids in the fixture: two characters per id, chr(48 + id // 73) then
# chr(48 + id % 73), ids in increasing order.
def encode_ids(ids) -> str:
    return "".join(chr(48 + i // 73) + chr(48 + i % 73) for i in sorted(int(i) for i in ids))


def decode_ids(text: str) -> list[int]:
    return [(ord(text[j]) - 48) * 73 + ord(text[j + 1]) - 48 for j in range(0, len(text), 2)]


def read_fixture(path) -> tuple[list[list[str]], list[dict]]:
    """The fixture's random-number records (split into words) and its games:
    dicts with ``index``, ``name``, ``seed``, ``n``, ``key``, ``end``, ``fen``
    and ``states``, each state a dict of ``action`` (None for the reset),
    ``player``, ``terminated``, ``truncated``, ``rewards``, ``step_count``,
    ``obs`` (digest) and ``legal`` (None when the mask is all true)."""
    prng: list[list[str]] = []
    games: list[dict] = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "game":
                games.append({
                    "index": int(words[1]), "name": words[2], "seed": int(words[3]), "n": int(words[4]),
                    "key": (int(words[5]), int(words[6])), "end": words[7], "states": [],
                })
            elif words[0] == "s":
                games[-1]["states"].append({
                    "action": None if words[1] == "-" else int(words[1]),
                    "player": int(words[2]),
                    "terminated": words[3] == "1",
                    "truncated": words[4] == "1",
                    "rewards": (float(words[5]), float(words[6])),
                    "step_count": int(words[7]),
                    "obs": words[8],
                    "legal": None if words[9] == "*" else decode_ids(words[9]),
                })
            elif words[0] == "end":
                games[-1]["fen"] = line[4:].strip()
            else:
                prng.append(words)
    return prng, games
