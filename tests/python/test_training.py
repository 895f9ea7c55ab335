"""training_batches against replays: every field of every row against
python-chess (the planes by tests/python/training_reference.py, itself checked
against ChessEnv) and the library's own Board and MoveGenerator, for plain,
gzip and Zstandard files and FEN starts; shuffling, sharding, epochs and
resuming against file order; filters, skipped games and bad input."""

import gc
import gzip
import io
from collections import Counter

import chess
import chess.pgn
import pytest

import orvex_chess
import orvex_tools.training as training_module
from orvex_tools import ChessEnv, read_games, training_batches
from pgn_corpus import random_pgn
from test_tensors import needs_numpy, np
from training_reference import game_planes

zstandard = pytest.importorskip("zstandard")

# Knights out and back: a threefold repetition (pgx ends the game there), then
# play on; and a game of 520 plies (past pgx's 512 steps and 100 quiet plies).
SHUFFLE = " ".join(f"{2 * i + 1}. Nf3 Nf6 {2 * i + 2}. Ng1 Ng8" for i in range(3)) + " 7. e4 e5 8. Ke2 Ke7"
LONG = " ".join(f"{2 * i + 1}. Nf3 Nf6 {2 * i + 2}. Ng1 Ng8" for i in range(130))
EXTRA = (
    f'[Event "repeated"]\n[Result "1/2-1/2"]\n\n{SHUFFLE} 1/2-1/2\n\n'
    f'[Event "long"]\n[Result "1-0"]\n\n{LONG} 1-0\n\n'
    '[Event "late start"]\n[FEN "4k3/8/8/8/8/8/4P3/R3K2R b KQ - 37 60"]\n[Result "0-1"]\n\n'
    '60... Kd7 61. O-O-O+ Kc6 62. e4 Kb5 0-1\n\n'
)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """The corpus as plain, gzip and Zstandard files, and its games as python-chess reads them."""
    text = random_pgn(11, 60, plies=70) + "\n\n" + EXTRA
    folder = tmp_path_factory.mktemp("training")
    data = text.encode()
    paths = {"plain": folder / "games.pgn", "gzip": folder / "games.pgn.gz",
             "zstd": folder / "games.pgn.zst"}
    paths["plain"].write_bytes(data)
    paths["gzip"].write_bytes(gzip.compress(data))
    paths["zstd"].write_bytes(zstandard.ZstdCompressor().compress(data))
    games = []
    handle = io.StringIO(text)
    while (game := chess.pgn.read_game(handle)) is not None:
        games.append(game)
    return paths, games


def all_rows(batches, *fields):
    rows = []
    for batch in batches:
        columns = [getattr(batch, f).tolist() for f in fields]
        rows += list(zip(*columns))
    return rows


def expected_positions(games, results=("1-0", "0-1", "1/2-1/2")):
    return Counter((0, g, ply) for g, game in enumerate(games) if game.headers.get("Result") in results
                   for ply in range(len(list(game.mainline_moves()))))


@pytest.mark.parametrize("source, encoding, legal", [
    ("plain", "az", "ids"), ("gzip", "lc0", "mask"), ("zstd", "az", None)])
def test_rows_match_python_chess(corpus, source, encoding, legal):
    paths, games = corpus
    batches = list(training_batches(paths[source], batch_size=100, encoding=encoding, legal=legal,
                                    observation="bits", shuffle=500, seed=7, threads=2))
    generator = orvex_chess.MoveGenerator()
    seen = Counter()
    cache = {}
    size = 4672 if encoding == "az" else 1858
    for batch in batches:
        observation = batch.observation.tolist()
        legal_rows = batch.legal.tolist() if legal else None
        for i in range(len(batch)):
            file, g, ply = batch.file[i], batch.game[i], batch.ply[i]
            seen[(file, g, ply)] += 1
            game = games[g]
            if g not in cache:
                moves = list(game.mainline_moves())
                cache[g] = (moves, game_planes(game.board(), moves))
            moves, planes = cache[g]
            board = game.board()
            for move in moves[:ply]:
                board.push(move)
            mine = orvex_chess.Board(board.fen())
            assert observation[i] == planes[ply], (g, ply)
            assert batch.move_id[i] == mine.move_index(moves[ply].uci(), encoding)
            white = {"1-0": 1.0, "0-1": -1.0}.get(game.headers["Result"], 0.0)
            assert batch.value[i] == (white if board.turn == chess.WHITE else -white)
            ids = generator.legal_indices(mine, encoding).tolist()
            if legal == "ids":
                offsets = batch.legal_offsets
                assert legal_rows[offsets[i]:offsets[i + 1]] == ids
            elif legal == "mask":
                row = legal_rows[i]
                assert [j for j in range(size) if row[j]] == sorted(ids)
    assert seen == expected_positions(games)


@needs_numpy
@pytest.mark.parametrize("observation", ["float32", "uint8", "bits"])
def test_observations_are_chess_env_s(corpus, observation):
    """Each form against ChessEnv stepped through the game while it runs, and
    against the bits form with the counters of python-chess after (and from a
    FEN start): the counters past pgx's limits keep their rule."""
    paths, games = corpus
    rows = {}
    for batch in training_batches(paths["plain"], observation=observation, shuffle=0, threads=1):
        for i in range(len(batch)):
            rows[(batch.game[i], batch.ply[i])] = np.asarray(batch.observation)[i]
    bits = {}
    for batch in training_batches(paths["plain"], observation="bits", shuffle=0, threads=1):
        for i in range(len(batch)):
            bits[(batch.game[i], batch.ply[i])] = np.asarray(batch.observation)[i]
    checked_env = 0
    for g in [0, 1, 2, len(games) - 3, len(games) - 2, len(games) - 1]:
        game = games[g]
        board = game.board()
        env = ChessEnv(1, observation=observation) if board.fen() == chess.STARTING_FEN else None
        for ply, move in enumerate(game.mainline_moves()):
            row = rows[(g, ply)]
            if env is not None and not env.terminated[0]:
                assert np.array_equal(row, np.asarray(env.observation)[0]), (g, ply)
                checked_env += 1
            if observation != "bits":
                unpacked = np.unpackbits(bits[(g, ply)].view(np.uint8), bitorder="little")
                planes = unpacked.reshape(119, 64).T.reshape(8, 8, 119).astype(row.dtype)
                step, quiet = board.ply(), board.halfmove_clock
                if observation == "float32":
                    planes[..., 113] = np.float32(step) / np.float32(512)
                    planes[..., 118] = np.float32(quiet) * np.float32(0.01)
                else:
                    planes[..., 113] = (min(step, 512) * 255 + 511) // 512
                    planes[..., 118] = (min(quiet, 100) * 255 + 99) // 100
                assert np.array_equal(row, planes), (g, ply)
            if env is not None:
                env.step([mine_id(board, move)])
            board.push(move)
    assert checked_env > 100


def mine_id(board, move):
    return orvex_chess.Board(board.fen()).move_index(move.uci(), "az")


def test_reference_planes_are_chess_env_s(corpus):
    """The python-chess planes used above, against ChessEnv's bits while it runs."""
    _, games = corpus
    compared = 0
    for game in games[:20] + games[-3:-1]:
        if game.board().fen() != chess.STARTING_FEN:
            continue
        env = ChessEnv(1, observation="bits")
        board = game.board()
        moves = list(game.mainline_moves())
        for planes, move in zip(game_planes(board, moves), moves):
            if env.terminated[0]:
                break
            assert env.observation.tolist()[0] == planes
            compared += 1
            env.step([mine_id(board, move)])
            board.push(move)
    assert compared > 500


def test_shuffle_shard_epochs_and_resume(corpus):
    paths, _ = corpus
    source = paths["plain"]
    keys = ("file", "game", "ply")

    def rows(**options):
        options.setdefault("threads", 2)
        return all_rows(training_batches(source, batch_size=64, observation="bits", **options), *keys)

    in_order = rows(shuffle=0)
    shuffled = rows(shuffle=300, seed=5)
    assert shuffled != in_order and Counter(shuffled) == Counter(in_order)
    assert rows(shuffle=300, seed=5, threads=1) == shuffled
    assert rows(shuffle=300, seed=6) != shuffled
    both = all_rows(training_batches([source, paths["zstd"]], observation="bits", shuffle=300), *keys)
    assert Counter(both) == Counter(in_order + [(1, g, ply) for _, g, ply in in_order])
    shards = [rows(shuffle=300, seed=5, shard=(k, 3)) for k in range(3)]
    assert Counter(sum(shards, [])) == Counter(in_order)
    assert max(map(len, shards)) - min(map(len, shards)) <= 1
    two = rows(shuffle=300, seed=5, epochs=2)
    first, second = two[:len(in_order)], two[len(in_order):]
    assert first == shuffled and second != first and Counter(second) == Counter(first)

    # A run saved after some batches goes on exactly, into the next epoch too.
    run = training_batches(source, batch_size=64, observation="bits", shuffle=300, seed=5, epochs=2)
    taken = []
    for _ in range(len(in_order) // 64 + 3):
        taken += all_rows([next(run)], *keys)
    state = run.state_dict()
    resumed = training_batches(source, batch_size=64, observation="bits", shuffle=300, seed=5, epochs=2,
                               state=state)
    assert taken + all_rows(resumed, *keys) == two
    with pytest.raises(ValueError, match="other arguments"):
        training_batches(source, shuffle=300, seed=6, epochs=2, state=state)


@pytest.mark.parametrize("shuffle, threads", [(0, 1), (0, 2), (300, 2)])
def test_small_pieces_give_the_same_batches(corpus, monkeypatch, shuffle, threads):
    """A file in many pieces, each read while the batches before it are taken:
    the batches of one piece, and a run resumed (then dropped mid-piece) too."""
    paths, _ = corpus

    def start(**options):
        return training_batches(paths["plain"], batch_size=64, observation="bits", shuffle=shuffle, seed=3,
                                threads=threads, epochs=2, **options)

    def batches(run):
        return [(bytes(b.observation), b.game.tolist(), b.ply.tolist()) for b in run]

    whole = batches(start())
    monkeypatch.setattr(training_module, "PIECE_BYTES", 2048)
    assert batches(start()) == whole
    run = start()
    taken = batches(next(run) for _ in range(5))
    assert taken + batches(start(state=run.state_dict())) == whole


def test_batches_own_their_arrays(corpus):
    paths, _ = corpus
    run = training_batches(paths["plain"], batch_size=50, shuffle=0, observation="uint8", legal="mask")
    first = next(run)
    kept = {f: bytes(getattr(first, f)) for f in ("observation", "move_id", "legal", "ply")}
    for _ in run:
        pass
    assert {f: bytes(getattr(first, f)) for f in kept} == kept
    assert len(first) == 50


def test_bits_batches_keep_their_planes_block(corpus):
    """A bits batch takes over the block its planes were written to: the
    block is not filled again while the batch holds it, nor let go of with
    the run."""
    paths, _ = corpus
    run = training_batches(paths["plain"], batch_size=50, shuffle=0, observation="bits", threads=2)
    first = next(run)
    kept = bytes(first.observation)
    rows = len(list(run))
    del run
    gc.collect()
    assert rows > 10 and bytes(first.observation) == kept


FILTERED = "".join(
    f'[Event "{i}"]\n{tags}[Result "{result}"]\n\n{moves} {result}\n\n'
    for i, (tags, result, moves) in enumerate([
        ('[WhiteElo "2100"]\n[BlackElo "2300"]\n', "1-0", "1. e4 e5 2. Nf3"),
        ('[WhiteElo "1900"]\n[BlackElo "2300"]\n', "0-1", "1. e4 e5"),
        ('[WhiteElo "2500"]\n', "1/2-1/2", "1. d4 d5 2. c4 c6"),
        ("", "*", "1. e4"),
        ('[WhiteElo "2200"]\n[BlackElo "2200"]\n', "1-0", "1. e4 e5 2. Ke2 Kxe2"),  # illegal
    ]))


@pytest.mark.parametrize("options, games", [
    ({}, {0, 1, 2}),
    ({"min_elo": 2000}, {0}),
    ({"max_elo": 2400}, {0, 1}),
    ({"min_ply": 4}, {2}),
    ({"results": ("*", "0-1")}, {1, 3}),
])
def test_filters(tmp_path, options, games):
    path = tmp_path / "filtered.pgn"
    path.write_text(FILTERED)
    run = training_batches(path, shuffle=0, **options)
    assert {g for (g,) in all_rows(run, "game")} == games
    assert run.skipped == 1
    with read_games(path, errors="skip") as games:
        list(games)
        assert run.errors[0].message == f"{path}: {games.errors[0].message}"


def test_bad_input(tmp_path, corpus):
    paths, _ = corpus
    with pytest.raises(FileNotFoundError, match="missing.pgn"):
        training_batches([paths["plain"], tmp_path / "missing.pgn"])
    for arguments in ({"batch_size": 0}, {"encoding": "uci"}, {"observation": "int8"}, {"legal": "all"},
                      {"shard": (3, 3)}, {"shuffle": -1}, {"min_elo": "2000"}):
        with pytest.raises(ValueError):
            training_batches(paths["plain"], **arguments)
    damaged = tmp_path / "damaged.pgn.gz"
    damaged.write_bytes(b"\x1f\x8b\x08\x00" + bytes(range(200)))
    with pytest.raises(OSError, match="damaged.pgn.gz.*damaged"):
        training_batches([paths["plain"], damaged])
    cut = tmp_path / "cut.pgn.gz"
    cut.write_bytes(paths["gzip"].read_bytes()[:-40])
    with pytest.raises(EOFError, match="cut.pgn.gz"):
        list(training_batches(cut))


def test_torch_dataset_shards_across_workers(corpus):
    torch = pytest.importorskip("torch")
    from orvex_tools.torch import TrainingDataset

    paths, games = corpus
    dataset = TrainingDataset(paths["plain"], batch_size=200, shuffle=100, seed=2, shard=(1, 2),
                              legal="ids")
    loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2)
    seen = Counter()
    for batch in loader:
        assert batch["observation"].shape[1:] == (8, 8, 119) and batch["observation"].dtype == torch.float32
        assert batch["legal_offsets"][-1] == len(batch["legal"])
        seen.update(zip(batch["file"].tolist(), batch["game"].tolist(), batch["ply"].tolist()))
    rows = all_rows(training_batches(paths["plain"], shuffle=0, shard=(1, 2)), "file", "game", "ply")
    assert seen == Counter(rows)
