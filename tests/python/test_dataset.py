"""Training datasets and perft on Dask: a LocalCluster of two worker processes,
and `dask scheduler` / `dask worker` processes on loopback, checked row by row
against python-chess replaying the same games."""

import bz2
import gzip
import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import SANITIZED

if SANITIZED:
    # Dask, pandas and pyarrow leave memory behind at exit that LeakSanitizer
    # reports (not ours); the module calls they make are covered by the other tests.
    pytest.skip("the dataset tests do not run under the sanitizers", allow_module_level=True)

import chess
import chess.pgn
import chess.polyglot
import pyarrow.parquet as pq
import zstandard
from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

import orvex_chess
from orvex_tools import build_dataset
from orvex_tools.cluster import perft_on_cluster
from orvex_tools.dataset.chunks import chunk_sources, inspect_inputs

from pgn_corpus import random_game, random_pgn
from test_cli import COMMAND

REPO = Path(__file__).resolve().parent.parent.parent
LC0_MOVES = (REPO / "src" / "encoding" / "lc0_policy_1858.txt").read_text().split()
GENERATOR = orvex_chess.MoveGenerator()
BAD_GAME = '[Event "bad"]\n\n1. e4 e5 2. Ke3 Nc6 1-0\n\n'
CHUNK = 4096  # small chunks: every file is cut into several


# ---------------------------------------------------------------------------
# The corpus and what python-chess makes of it


def _games(seed, count):
    rng = random.Random(seed)
    return [random_game(rng, rng.randrange(1, 70), extras=True) for _ in range(count)]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Four files (plain with a bad game and a repeated game, gzip, bzip2,
    Zstandard); returns their paths and {(file, game index): python-chess game}."""
    folder = tmp_path_factory.mktemp("corpus")
    expected = {}
    paths = []
    for name, seed, count, write in [
        ("plain.pgn", 1, 40, lambda p, t: p.write_text(t)),
        ("games.pgn.gz", 2, 15, lambda p, t: p.write_bytes(gzip.compress(t.encode()))),
        ("games.pgn.bz2", 3, 15, lambda p, t: p.write_bytes(bz2.compress(t.encode()))),
        ("games.pgn.zst", 4, 15,
         lambda p, t: p.write_bytes(zstandard.ZstdCompressor().compress(t.encode()))),
    ]:
        games = _games(seed, count)
        texts = [f"{game}\n\n" for game in games]
        path = str(folder / name)
        if name == "plain.pgn":
            texts.insert(7, BAD_GAME)  # game 7 is skipped, and counted
            texts.insert(20, texts[3])  # a whole game twice: all its positions repeat
            games.insert(7, None)
            games.insert(20, games[3])
        write(Path(path), "".join(texts))
        paths.append(path)
        expected.update({(path, i): g for i, g in enumerate(games) if g is not None})
    return paths, expected


def lc0_id(board, move):
    """The move's line in lc0's policy list, from python-chess alone."""
    if board.is_castling(move):
        rook_file = 7 if board.is_kingside_castling(move) else 0
        move = chess.Move(move.from_square, chess.square(rook_file, chess.square_rank(move.from_square)))
    if move.promotion == chess.KNIGHT:
        move = chess.Move(move.from_square, move.to_square)
    if board.turn == chess.BLACK:
        move = chess.Move(chess.square_mirror(move.from_square), chess.square_mirror(move.to_square),
                          move.promotion)
    return LC0_MOVES.index(move.uci())


def az_id(board, move):
    # The az numbering itself is checked against pgx in test_tensors.py.
    return orvex_chess.Board(board.fen(en_passant="fen")).move_index(move.uci(), "az")


def state_word(board):
    state = int(board.turn == chess.WHITE)
    for bit, square in [(1, chess.H1), (2, chess.A1), (3, chess.H8), (4, chess.A8)]:
        if board.castling_rights & chess.BB_SQUARES[square]:
            state |= 1 << bit
    if board.ep_square is not None:
        state |= 1 << ((5 if board.turn == chess.WHITE else 13) + chess.square_file(board.ep_square))
    return state


def expected_rows(expected, encoding, fen=False):
    """The rows python-chess gives, in input order."""
    move_id = az_id if encoding == "az" else lc0_id
    rows = []
    for (path, index), game in expected.items():
        board = game.board()
        for ply, move in enumerate(game.mainline_moves()):
            row = {"file": path, "game": index, "ply": ply}
            if fen:
                row["fen"] = " ".join(board.fen(en_passant="fen").split()[:4])
            else:
                row["bitboards"] = [board.pieces_mask(kind, color) for color in (chess.WHITE, chess.BLACK)
                                    for kind in chess.PIECE_TYPES]
                row["state"] = state_word(board)
            row.update(side="white" if board.turn else "black", move=move.uci(),
                       move_id=move_id(board, move),
                       legal_ids=sorted(move_id(board, m) for m in board.legal_moves),
                       zobrist=chess.polyglot.zobrist_hash(board), result=game.headers["Result"])
            rows.append(row)
            board.push(move)
    return rows


def read_rows(out):
    files = sorted(Path(out).glob("part-*.parquet"))
    assert [f.name for f in files] == [f"part-{i:05d}.parquet" for i in range(len(files))]
    assert sorted(os.listdir(out)) == [f.name for f in files], "something besides the parts is left"
    rows = []
    for path in files:
        for row in pq.read_table(path).to_pylist():
            ids = row["legal_ids"]
            assert len(set(ids)) == len(ids)
            row["legal_ids"] = sorted(ids)
            rows.append(row)
    return rows


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client


# ---------------------------------------------------------------------------
# LocalCluster


def test_rows_equal_python_chess_replay(corpus, client, tmp_path):
    paths, expected = corpus
    out = tmp_path / "out"
    summary = build_dataset(paths, out, client=client, chunk_bytes=CHUNK, rows_per_file=1000,
                            progress=False)
    rows = read_rows(out)
    assert rows == expected_rows(expected, "az")
    assert summary.chunks > 2 * len(paths)
    assert (summary.games, summary.positions, summary.rows_written, summary.dropped) == (
        len(expected), len(rows), len(rows), 0)
    assert summary.skipped == 1
    assert summary.errors == [f"{paths[0]}: game 7 (line {_line_of_bad_game(paths[0])}): "
                              f"illegal move 'Ke3' on line {_line_of_bad_game(paths[0]) + 2}"]
    assert max(pq.ParquetFile(f).metadata.num_rows for f in summary.files) <= 1000
    schema = pq.read_schema(summary.files[0])
    assert {name: str(schema.field(name).type) for name in ("bitboards", "legal_ids", "zobrist", "move")} == {
        "bitboards": "fixed_size_list<element: uint64 not null>[12]",
        "legal_ids": "list<element: int16 not null>",
        "zobrist": "uint64", "move": "dictionary<values=string, indices=int32, ordered=0>"}
    assert not any(field.nullable for field in schema)


def test_chess960_games_are_counted_and_encoded_as_on_their_boards(client, tmp_path):
    from test_pgn_chess960 import random_960_game

    games = [random_960_game(number) for number in (0, 300, 959)]
    path = tmp_path / "games.pgn"
    path.write_text('[Result "*"]\n\n1. e4 *\n\n' + "\n\n".join(str(game) for game in games) + "\n")
    summary = build_dataset([path], tmp_path / "out", client=client, encoding="lc0", fen=True, progress=False)
    assert (summary.games, summary.chess960) == (4, 3)
    assert "Games: 4 (3 Chess960)\n" in str(summary)
    generator = orvex_chess.MoveGenerator()
    rows = [row for row in pq.read_table(summary.files[0]).to_pylist() if row["game"] > 0]
    assert len(rows) == sum(len(list(game.mainline_moves())) for game in games)
    for row in rows:
        board = orvex_chess.Board(row["fen"], chess960=True)
        assert row["move_id"] == board.move_index(row["move"], "lc0")
        assert row["legal_ids"] == generator.legal_indices(board, "lc0").tolist()


def _line_of_bad_game(path):
    return Path(path).read_text().splitlines().index('[Event "bad"]') + 1


def test_dedup_keeps_the_first_row_of_each_key_in_input_order(corpus, client, tmp_path):
    paths, expected = corpus
    summary = build_dataset(paths, tmp_path / "out", client=client, chunk_bytes=CHUNK, dedup=True,
                            rows_per_file=700, progress=False)
    rows = expected_rows(expected, "az")
    seen = set()
    first = [row for row in rows if not (row["zobrist"] in seen or seen.add(row["zobrist"]))]
    # The repeated game and the common openings make repeats.
    assert len(rows) - len(first) > len(list(expected[(paths[0], 3)].mainline_moves()))
    assert read_rows(tmp_path / "out") == first
    assert (summary.positions, summary.dropped, summary.rows_written) == (
        len(rows), len(rows) - len(first), len(first))


@pytest.mark.parametrize("fen, depth", [
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 4),
    ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", 3),
    ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", 1),
])
def test_perft_on_the_cluster_equals_one_process(client, fen, depth):
    board = orvex_chess.Board(fen)
    divided = perft_on_cluster(client, board, depth)
    assert divided == [(move, _perft_below(board, move, depth)) for move in GENERATOR(board)]
    assert board.fen() == fen


def _perft_below(board, move, depth):
    board.push(move)
    count = GENERATOR.perft(board, depth - 1, threads=1)
    board.pop()
    return count


class KillOnce(WorkerPlugin):
    """Kills the worker process it runs in when it starts its second chunk
    write, once in the whole cluster (the marker file says it happened)."""

    name = "kill-once"

    def __init__(self, marker):
        self.marker = marker

    def setup(self, worker):
        self.writes = 0

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or "write_chunk" not in str(key):
            return
        self.writes += 1
        if self.writes == 2:
            try:
                open(self.marker, "x").close()
            except FileExistsError:
                return
            os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_midway_still_gives_the_whole_output(corpus, client, tmp_path):
    paths, expected = corpus
    marker = tmp_path / "killed"
    before = set(client.run(os.getpid).values())
    client.register_plugin(KillOnce(str(marker)))
    try:
        summary = build_dataset(paths, tmp_path / "out", client=client, chunk_bytes=CHUNK,
                                progress=False)
    finally:
        client.unregister_worker_plugin(KillOnce.name)
    assert marker.exists()
    client.wait_for_workers(2)
    assert set(client.run(os.getpid).values()) != before
    assert read_rows(tmp_path / "out") == expected_rows(expected, "az")
    assert summary.skipped == 1


def test_refuses_to_overwrite_and_a_failed_run_leaves_the_old_dataset(corpus, client, tmp_path):
    paths, _ = corpus
    out = tmp_path / "out"
    build_dataset(paths[:2], out, client=client, chunk_bytes=CHUNK, progress=False)
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    with pytest.raises(FileExistsError, match="not empty"):
        build_dataset(paths[:1], out, client=client, progress=False)
    # A gzip file cut short fails the run while chunks before it are on their way.
    broken = tmp_path / "broken.pgn.gz"
    broken.write_bytes(Path(paths[1]).read_bytes()[:-300])
    with pytest.raises(EOFError):
        build_dataset([paths[0], str(broken)], out, client=client, chunk_bytes=CHUNK,
                      overwrite=True, progress=False)
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    summary = build_dataset(paths[:1], out, client=client, overwrite=True, progress=False)
    assert sorted(os.listdir(out)) == [Path(f).name for f in summary.files]


# A Zstandard file cut short used to be read as if it were whole.
# /proc and /sys refuse what their permission bits allow: the run used to fail
# once the cluster had started, without naming the output directory.
@pytest.mark.parametrize("out", ["/proc/orvex-out/rows", "/sys/orvex-out"])
def test_output_directory_that_cannot_be_written_is_refused_before_the_run(tmp_path, out):
    from orvex_tools.dataset.build import check_paths
    if not os.path.isdir("/" + out.split("/")[1]):
        pytest.skip(f"no {out.split('/')[1]} here")
    games = tmp_path / "games.pgn"
    games.write_text("1. e4 *\n")
    with pytest.raises(OSError, match=f"output directory '{out}'"):
        check_paths([games], out)
    assert not os.path.lexists(out)


def test_a_zstandard_file_cut_short_raises_eof_error(tmp_path):
    data = zstandard.ZstdCompressor().compress(random_pgn(5, 60, plies=70).encode())
    path = tmp_path / "cut.pgn.zst"
    path.write_bytes(data[:len(data) // 2])
    with pytest.raises(EOFError):
        list(chunk_sources(inspect_inputs([str(path)]), CHUNK))


# ---------------------------------------------------------------------------
# dask scheduler and dask worker processes, driven by the command


@pytest.fixture(scope="module")
def scheduler_address(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask")
    scheduler_file = folder / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    processes = [subprocess.Popen(
        [*dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
         "--scheduler-file", str(scheduler_file)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        processes += [subprocess.Popen(
            [*dask, "worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-dashboard",
             "--no-nanny",
             "--local-directory", str(folder)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(2)]
        with Client(address) as probe:
            probe.wait_for_workers(2, timeout=60)
        yield address
    finally:
        for process in processes[1:]:
            process.kill()  # workers without nannies: nothing is left behind
        processes[0].terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def run_command(*args):
    result = subprocess.run([COMMAND, *args], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_dataset_command_on_a_running_cluster(corpus, scheduler_address, tmp_path):
    paths, expected = corpus
    out = tmp_path / "out"
    report = run_command("dataset", *paths, "--out", str(out), "--scheduler", scheduler_address,
                         "--encoding", "lc0", "--fen", "--dedup", "--chunk-size", "4K", "--no-progress",
                         "--compression", "lz4")
    rows = expected_rows(expected, "lc0", fen=True)
    seen = set()
    first = [row for row in rows if not (row["zobrist"] in seen or seen.add(row["zobrist"]))]
    assert read_rows(out) == first
    assert f"Games: {len(expected)}\nPositions: {len(rows)}\nSkipped games: 1, such as:\n" in report
    assert f"Duplicate positions dropped: {len(rows) - len(first)}\n" in report
    assert f"Rows written: {len(first)} in " in report
    assert {pq.ParquetFile(path).metadata.row_group(0).column(0).compression
            for path in out.glob("part-*.parquet")} == {"LZ4"}


def test_perft_command_on_a_running_cluster(scheduler_address):
    fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
    local = run_command("perft", fen, "--depth", "3", "--divide", "--no-progress")
    spread = run_command("perft", fen, "--depth", "3", "--divide", "--no-progress",
                         "--scheduler", scheduler_address)
    assert spread.split("\n\n")[0] == local.split("\n\n")[0]
    assert "Nodes: 97862\n" in spread


# ---------------------------------------------------------------------------
# Replacing an earlier dataset: all or nothing


@pytest.fixture
def old_dataset(corpus, client, tmp_path):
    """An earlier dataset of many files in tmp_path/out; returns its path and its files' bytes."""
    paths, _ = corpus
    out = tmp_path / "out"
    summary = build_dataset(paths[:1], out, client=client, chunk_bytes=CHUNK, rows_per_file=60,
                            progress=False)
    assert len(summary.files) > 10
    return out, {p.name: p.read_bytes() for p in out.iterdir()}


def test_overwrite_refuses_an_old_part_that_is_a_directory_before_removing_anything(
        corpus, client, old_dataset):
    paths, _ = corpus
    out, before = old_dataset
    (out / "part-99999.parquet").mkdir()
    with pytest.raises(IsADirectoryError, match="cannot replace 'part-99999.parquet'"):
        build_dataset(paths[1:2], out, client=client, overwrite=True, progress=False)
    assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before


def test_overwrite_that_fails_midway_leaves_the_old_dataset_whole(corpus, client, old_dataset,
                                                                  monkeypatch):
    paths, _ = corpus
    out, before = old_dataset
    real = {name: getattr(os, name) for name in ("rename", "replace")}

    def failing(name):
        def move(source, target, *args, **kwargs):
            if os.fspath(target) == str(out / "part-00002.parquet") and ".orvex-staging-" in os.fspath(source):
                raise OSError("disk on fire")
            return real[name](source, target, *args, **kwargs)
        return move

    for name in real:
        monkeypatch.setattr(os, name, failing(name))
    with pytest.raises(OSError, match="disk on fire"):
        build_dataset(paths[1:2], out, client=client, chunk_bytes=CHUNK, rows_per_file=20,
                      overwrite=True, progress=False)
    monkeypatch.undo()
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


@pytest.mark.parametrize("kind, reason", [
    ("truncated", "the compressed data ends early"),
    ("damaged", "the compressed data is damaged"),
])
def test_dataset_command_of_a_truncated_or_damaged_file_gives_one_line(corpus, scheduler_address,
                                                                       tmp_path, kind, reason):
    paths, _ = corpus
    data = Path(paths[1]).read_bytes()  # gzip
    broken = tmp_path / "broken.pgn.gz"
    broken.write_bytes(data[: len(data) // 2] if kind == "truncated"
                       else data[:10] + random.Random(3).randbytes(len(data) - 10))
    result = subprocess.run([COMMAND, "dataset", paths[0], str(broken), "--out", str(tmp_path / "out"),
                             "--scheduler", scheduler_address, "--no-progress"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 2
    assert result.stderr.startswith(f"orvex-chess: error: cannot read {str(broken)!r}: {reason}")
    assert result.stderr.count("\n") == 1, result.stderr
    assert os.listdir(tmp_path / "out") == []


# ---------------------------------------------------------------------------
# The same rows as the builder that replayed the games in Python


GOLDEN = REPO / "tests" / "data" / "dataset_golden.json"
GOLDEN_RUNS = {
    "az": dict(encoding="az", rows_per_file=3000),
    "lc0-fen-dedup": dict(encoding="lc0", fen=True, dedup=True),
}


def column_digest(column):
    """sha256 of a column's values in row order, whatever its chunks, dictionaries
    and nullability."""
    import hashlib
    import pyarrow as pa

    chunks = [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in column.chunks]
    values = pa.concat_arrays(chunks) if chunks else pa.array([], column.type)
    digest = hashlib.sha256(str(values.type).replace(" not null", "").encode())
    if pa.types.is_list(values.type):
        digest.update(values.value_lengths().to_numpy().tobytes())
        values = values.flatten()
    elif pa.types.is_fixed_size_list(values.type):
        values = values.flatten()
    if pa.types.is_string(values.type):
        digest.update(json.dumps(values.to_pylist()).encode())
    else:
        digest.update(values.to_numpy(zero_copy_only=False).tobytes())
    return digest.hexdigest()


def golden_run(client, folder, **options):
    """Builds the dataset of the two golden inputs (a plain file, a gzip one, in
    small chunks) and returns what the golden file records of it."""
    import pyarrow as pa

    with gzip.open(REPO / "tests" / "data" / "dataset_golden_1.pgn.gz") as packed:
        (folder / "golden_1.pgn").write_bytes(packed.read())
    (folder / "golden_2.pgn.gz").write_bytes((REPO / "tests" / "data" / "dataset_golden_2.pgn.gz").read_bytes())
    here = os.getcwd()
    os.chdir(folder)  # the inputs are named as given: relative names keep the record free of tmp paths
    try:
        summary = build_dataset(["golden_1.pgn", "golden_2.pgn.gz"], "out", client=client,
                                chunk_bytes=8192, progress=False, **options)
    finally:
        os.chdir(here)
    table = pa.concat_tables(pq.read_table(path) for path in summary.files)
    return {
        "summary": [summary.games, summary.positions, summary.skipped, summary.dropped, summary.errors],
        "schema": str(table.schema.remove_metadata()),
        "columns": {name: column_digest(table[name]) for name in table.column_names},
    }


@pytest.mark.parametrize("run", GOLDEN_RUNS)
def test_rows_and_errors_are_those_of_the_golden_record(client, tmp_path, run):
    assert golden_run(client, tmp_path, **GOLDEN_RUNS[run]) == json.loads(GOLDEN.read_text())[run]
