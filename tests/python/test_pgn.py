"""orvex_tools.read_games against python-chess, and the reader's own contract."""

import bz2
import functools
import gzip
import io
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import chess
import chess.pgn
import pytest

import orvex_chess
import orvex_tools
import orvex_tools.pgn
from conftest import SANITIZED
from pgn_corpus import random_pgn

DATA = Path(__file__).resolve().parent.parent / "data"
NASTY = DATA / "nasty.pgn"
# The tags python-chess adds to every game that lacks them.
ROSTER = {"Event": "?", "Site": "?", "Date": "????.??.??", "Round": "?", "White": "?",
          "Black": "?", "Result": "*"}


@functools.lru_cache(maxsize=8)
def python_chess_games(text):
    handle = io.StringIO(text)
    games = []
    while (game := chess.pgn.read_game(handle)) is not None:
        games.append(game)
    return tuple(games)


def normal_fen(fen):
    """The first four FEN fields as python-chess writes them (en passant only when legal)."""
    return " ".join(chess.Board(fen).fen().split()[:4])


def assert_same_as_python_chess(text, games, errors):
    """Every game python-chess reads cleanly equals ours; those it flags are our errors.

    python-chess reads text between games that starts no game as a game with no
    tags or moves: those are left out.
    """
    ours = iter(games)
    failed = {error.index for error in errors}
    index = 0
    for pc in python_chess_games(text):
        moves = [move.uci() for move in pc.mainline_moves()]
        if not moves and not pc.errors and dict(pc.headers) == ROSTER:
            continue
        if pc.errors:
            assert index in failed, f"game {index} should have failed: {pc.errors}"
        else:
            game = next(ours)
            assert game.index == index
            assert game.moves == moves
            assert game.result == pc.headers["Result"]
            assert dict(pc.headers) == {**ROSTER, **game.tags, "Result": game.result}
            assert normal_fen(game.fen) == " ".join(pc.board().fen().split()[:4])
        index += 1
    assert next(ours, None) is None
    assert len(failed) == len(errors)


CORPUS = {seed: random_pgn(seed, 60, plies=70) for seed in (1, 2)}


def _write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def _zstd(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


SOURCES = {
    "path": lambda tmp, data: _write(tmp, "games.pgn", data),
    "str path": lambda tmp, data: str(_write(tmp, "games.pgn", data)),
    "gzip": lambda tmp, data: _write(tmp, "games.pgn.gz", gzip.compress(data)),
    "bzip2": lambda tmp, data: _write(tmp, "games.pgn.bz2", bz2.compress(data)),
    "zstandard": lambda tmp, data: _write(tmp, "games.pgn.zst", _zstd(data)),
    "binary stream": lambda tmp, data: io.BytesIO(data),
    "text stream": lambda tmp, data: io.StringIO(data.decode("utf-8")),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("seed", CORPUS)
def test_random_games_read_as_python_chess_reads_them(tmp_path, source, seed):
    text = CORPUS[seed]
    with orvex_tools.read_games(SOURCES[source](tmp_path, text.encode()), errors="skip") as reader:
        games = list(reader)
    assert games and not reader.errors
    assert_same_as_python_chess(text, games, reader.errors)


def test_nasty_file_reads_as_python_chess_reads_it():
    text = NASTY.read_text(encoding="utf-8")
    reader = orvex_tools.read_games(NASTY, errors="skip")
    games = list(reader)
    assert_same_as_python_chess(text.replace("\r\n", "\n"), games, reader.errors)
    assert [(e.index, e.line, e.text) for e in reader.errors] == [(4, 42, "Ke3")]
    assert reader.skipped == 1
    assert games[0].tags["White"] == "Ünzicker, Wolfgang"
    assert list(games[0].tags) == ["Event", "Site", "Date", "White", "Black", "Result"]
    assert games[2].fen == "r3k2r/8/8/3pP3/8/8/8/R3K2R w KQkq d6"
    assert games[-1].tags["Event"] == "Truncated" and games[-1].result == "*"


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("block_size", [1, 777, 1 << 20])
def test_threads_and_block_sizes_give_the_same_games(monkeypatch, threads, block_size):
    bad = "[Event \"bad\"]\n\n1. e4 e5 2. Ke3 *\n\n"
    text = (CORPUS[1] + bad + NASTY.read_text(encoding="utf-8") + "\n\n" + CORPUS[2]) * 2
    expected_reader = orvex_tools.read_games(io.StringIO(text), errors="skip")
    expected = list(expected_reader)
    monkeypatch.setattr(orvex_tools.pgn, "BLOCK_SIZE", block_size)
    reader = orvex_tools.read_games(io.StringIO(text), errors="skip", threads=threads)
    assert list(reader) == expected
    assert reader.errors == expected_reader.errors and reader.skipped == 6


# Where this reader deliberately differs from python-chess.
DIFFERENCES = {
    # python-chess reads on after a result until a blank line, into the next game.
    "a result ends the game": (
        '[Event "a"]\n1. e4 1-0 e5\n[Event "b"]\n1. d4 *\n',
        [({"Event": "a"}, ["e2e4"], "1-0"), ({"Event": "b"}, ["d2d4"], "*")]),
    # python-chess drops a tag line that follows movetext without a blank line.
    "a tag line ends the movetext": (
        '1. e4 e5\n[Event "b"]\n1. d4 *\n',
        [({}, ["e2e4", "e7e5"], "*"), ({"Event": "b"}, ["d2d4"], "*")]),
    # python-chess keeps the backslashes.
    "escapes in tag values": (
        '[Event "say \\"hi\\" \\\\o/"]\n\n*\n', [({"Event": 'say "hi" \\o/'}, [], "*")]),
    "a repeated tag keeps its place and takes the last value": (
        '[Event "a"]\n[Site "s"]\n[Event "b"]\n\n*\n',
        [({"Event": "b", "Site": "s"}, [], "*")]),
}


@pytest.mark.parametrize("case", DIFFERENCES)
def test_deliberate_differences(case):
    text, expected = DIFFERENCES[case]
    games = list(orvex_tools.read_games(io.StringIO(text)))
    assert [(g.tags, g.moves, g.result) for g in games] == expected


# Games that fail, with the text and line reported. python-chess reads the
# first four as good games: it skips what it cannot read.
FAILURES = {
    "unreadable move": ("1. e4 e5 2. Nf3 xyz Nc6 *", "xyz", "unreadable move"),
    "truncated move": ("1. e4 e5 2. Nf", "Nf", "unreadable move"),
    "null move": ("1. e4 -- 2. d4 *", "--", "null move"),
    "two-letter junk": ("1. e4 e5 2. Nf3 ?? Nc6 !! 3. bb *", "bb", "unreadable move"),
    "illegal move": ("1. e4 e5 2. Ke3 *", "Ke3", "illegal move"),
    "ambiguous move": ('[FEN "4k3/8/8/8/8/8/8/N1N1K3 w - - 0 1"]\n\n1. Nb3 *', "Nb3",
                       "ambiguous move"),
    "pawn to the last rank without promotion": (
        '[FEN "4k3/P7/8/8/8/8/8/4K3 w - - 0 1"]\n\n1. a8 *', "a8", "illegal move"),
    "castling without the right": (
        '[FEN "4k3/8/8/8/8/8/8/4K2R w - - 0 1"]\n\n1. O-O *', "O-O", "illegal move"),
    "FEN without kings": (
        '[SetUp "1"]\n[FEN "8/8/8/8/8/8/8/8 w - - 0 1"]\n\n1. e4 *',
        "8/8/8/8/8/8/8/8 w - - 0 1", "invalid FEN tag (each side must have exactly one king)"),
    "variant": ('[Variant "Crazyhouse"]\n\n1. e4 *', "Crazyhouse", "unsupported variant"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_failures_name_game_line_and_text(case):
    body, text, reason = FAILURES[case]
    pgn = f'[Event "good"]\n\n1. d4 *\n\n[Event "bad"]\n{body}\n\n[Event "after"]\n\n1. c4 *\n'
    line = 6 + body[: body.index(text)].count("\n")
    with pytest.raises(ValueError) as raised:
        list(orvex_tools.read_games(io.StringIO(pgn)))
    assert str(raised.value) == f"game 1 (line 5): {reason} '{text}' on line {line}"

    reader = orvex_tools.read_games(io.StringIO(pgn), errors="skip")
    assert [g.tags["Event"] for g in reader] == ["good", "after"]
    assert reader.skipped == 1
    assert reader.errors == [orvex_tools.GameError(1, line, text, str(raised.value))]


def test_iteration_goes_on_after_a_raised_error():
    reader = orvex_tools.read_games(io.StringIO("1. e4 *\n\n1. Ke2 *\n\n1. d4 *\n"))
    assert next(reader).moves == ["e2e4"]
    with pytest.raises(ValueError, match="game 1 "):
        next(reader)
    assert [g.index for g in reader] == [2]
    assert reader.skipped == 1


def test_errors_keep_the_first_hundred_and_count_all():
    reader = orvex_tools.read_games(io.StringIO("1. e5 *\n\n" * 150), errors="skip")
    assert list(reader) == []
    assert reader.skipped == 150
    assert [e.index for e in reader.errors] == list(range(100))


def test_game_record_and_board():
    text = '[FEN "4k3/8/8/8/8/8/8/4K2R w K - 0 1"]\n\n1. O-O Kd7 *\n'
    (game,) = orvex_tools.read_games(io.BytesIO(text.encode()))
    assert game == orvex_tools.Game(0, 1, {"FEN": "4k3/8/8/8/8/8/8/4K2R w K - 0 1"},
                                    "4k3/8/8/8/8/8/8/4K2R w K -", ["e1g1", "e8d7"], "*")
    board = game.board()
    assert isinstance(board, orvex_chess.Board) and board.fen() == game.fen
    generator = orvex_chess.MoveGenerator()
    for move in game.moves:
        assert move in generator(board)
        board.push(move)


@pytest.mark.parametrize("movetext, result", [("1. e4 1-0", "1-0"), ("1. e4 *", "*"), ("1. e4", "*")])
def test_unknown_result_tag_reads_as_the_movetext_result(movetext, result):
    text = f'[Result "?"]\n\n{movetext}\n'
    (game,) = orvex_tools.read_games(io.StringIO(text))
    assert game.result == result
    out = io.StringIO()
    assert orvex_tools.write_games(out, [game]) == 1  # the game can be written back


def test_fen_tag_counters_reach_the_start_board():
    text = '[FEN "8/8/4k3/8/8/3K4/8/R7 w - - 98 60"]\n\n60. Ra2 Kd6 *\n'
    (game,) = orvex_tools.read_games(io.StringIO(text))
    assert (game.halfmove_clock, game.fullmove_number) == (98, 60)
    board = game.board()
    for move in game.moves:
        board.push(move)
    expected = chess.pgn.read_game(io.StringIO(text)).end().board()
    assert board.fen(counters=True) == expected.fen()
    assert board.is_fifty_moves() == expected.is_fifty_moves() == True  # noqa: E712


def _xz(data):
    import lzma
    return lzma.compress(data)


COMPRESSIONS = {"gzip": gzip.compress, "bzip2": bz2.compress, "zstandard": _zstd, "xz": _xz}


@pytest.mark.parametrize("opened", ["memory", "file"])
@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_compressed_file_object_is_decompressed(tmp_path, compression, opened):
    data = CORPUS[1].encode()
    packed = COMPRESSIONS[compression](data)
    expected = [game.moves for game in orvex_tools.read_games(io.BytesIO(data))]
    path = _write(tmp_path, "games", packed)
    with (io.BytesIO(packed) if opened == "memory" else open(path, "rb")) as source:
        assert [game.moves for game in orvex_tools.read_games(source, threads=2)] == expected
    assert [game.moves for game in orvex_tools.read_games(path)] == expected


def _feed(fifo, compression, first):
    """Opens the FIFO for writing and sends first: returns write(data), which sends
    data at once (compressed, and flushed), and close()."""
    raw = open(fifo, "wb", buffering=0)
    write, close = raw.write, raw.close
    if compression == "gzip":
        packed = gzip.GzipFile(fileobj=raw, mode="wb")
        write, close = (lambda data: (packed.write(data), packed.flush()),
                        lambda: (packed.close(), raw.close()))
    write(first)
    return write, close


def _live_game(move):
    return f'[Event "live"]\n\n1. {move[2:]} *\n\n'.encode()


# A game was handed out only once a whole block (1 MiB) had come, or the input had ended.
@pytest.mark.parametrize("opened, compression, threads", [
    ("path", None, 1), ("path", None, 2), ("path", "gzip", 2), ("binary", None, 2),
    ("text", None, 1)])
def test_live_feed_hands_out_each_game_once_its_end_has_come(tmp_path, opened, compression,
                                                             threads):
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    feed = []
    opening = threading.Thread(target=lambda: feed.append(_feed(fifo, compression, _live_game("e2e4"))))
    opening.start()
    source = {"path": lambda: fifo, "binary": lambda: open(fifo, "rb"),
              "text": lambda: open(fifo, encoding="utf-8")}[opened]()
    got = []
    reader = orvex_tools.read_games(source, threads=threads)  # looks at the first bytes
    opening.join()
    write, close = feed[0]
    try:
        for move in ["e2e4", "d2d4"]:
            if got:
                write(_live_game(move))
            taking = threading.Thread(target=lambda: got.append(next(reader).moves))
            taking.start()
            taking.join(60)  # the feed stays open: only the game that has come is there
            assert not taking.is_alive(), "the game that has come was not handed out"
        close()
        assert list(reader) == []
        assert got == [["e2e4"], ["d2d4"]]
    finally:
        close()
        reader.close()
        if opened != "path":
            source.close()


def test_byte_order_mark_and_bad_utf8_are_tolerated():
    data = b'\xef\xbb\xbf[White "Caf\xe9"]\n\n1. e4 *\n'
    (game,) = orvex_tools.read_games(io.BytesIO(data))
    assert game.tags == {"White": "Caf\ufffd"}


def _opened_files(monkeypatch):
    """Returns the list that every file opened with open() from now on is added to."""
    opened = []
    real_open = open

    def spy(*args, **kwargs):
        opened.append(real_open(*args, **kwargs))
        return opened[-1]

    monkeypatch.setattr("builtins.open", spy)
    return opened


# The file under a gzip or bzip2 stream used to stay open.
@pytest.mark.parametrize("source", ["path", "gzip", "bzip2", "zstandard"])
@pytest.mark.parametrize("threads", [1, 2])
def test_close_stops_reading_and_closes_the_file(monkeypatch, tmp_path, threads, source):
    path = SOURCES[source](tmp_path, (CORPUS[1] * 4).encode())
    opened = _opened_files(monkeypatch)
    with orvex_tools.read_games(path, threads=threads) as reader:
        next(reader)
    assert opened and all(handle.closed for handle in opened)
    assert list(reader) == []


@pytest.mark.parametrize("arguments, error, message", [
    ({"errors": "ignore"}, ValueError, "argument 'errors' must be 'raise' or 'skip', not 'ignore'"),
    ({"threads": 0}, ValueError, "argument 'threads' must be from 1 to 1024, not 0"),
    ({"threads": True}, TypeError, "argument 'threads' must be int or None, not bool"),
    ({"threads": 1.5}, TypeError, "argument 'threads' must be int or None, not float"),
    ({"max_game_bytes": 0}, ValueError, "argument 'max_game_bytes' must be positive, not 0"),
    ({"max_game_bytes": 1.5}, TypeError, "argument 'max_game_bytes' must be int or None, not float"),
])
def test_bad_arguments(tmp_path, arguments, error, message):
    path = _write(tmp_path, "games.pgn", b"1. e4 *\n")
    with pytest.MonkeyPatch.context() as patch:
        opened = _opened_files(patch)
        with pytest.raises(error, match=message):
            orvex_tools.read_games(path, **arguments)
    assert all(handle.closed for handle in opened)


def test_threads_none_means_every_core():
    games = list(orvex_tools.read_games(io.StringIO(CORPUS[1]), threads=None))
    assert len(games) == 60


@pytest.mark.parametrize("source", [b"1. e4 *", 42])
def test_bad_sources(source):
    with pytest.raises(TypeError, match="argument 'source' must be a path or a file object"):
        orvex_tools.read_games(source)


def test_read_returning_the_wrong_type():
    class Odd:
        def read(self, size):
            return 42 if size else b""

    with pytest.raises(TypeError, match="read\\(\\) must return bytes, not int"):
        list(orvex_tools.read_games(Odd()))


def test_zstandard_missing_is_explained(tmp_path, monkeypatch):
    path = _write(tmp_path, "games.pgn.zst", b"\x28\xb5\x2f\xfd" + b"\0" * 8)
    real = orvex_tools.pgn.importlib.import_module

    def without_zstandard(name, *args):
        if name == "zstandard":
            raise ImportError(name)
        return real(name, *args)

    monkeypatch.setattr(orvex_tools.pgn.importlib, "import_module", without_zstandard)
    with pytest.raises(ModuleNotFoundError, match="Zstandard-compressed: install the 'zstandard'"):
        orvex_tools.read_games(path)


@pytest.mark.parametrize("threads", [1, 2])
def test_readers_keep_counts_and_memory(threads):
    from test_leaks import repeat, unchanged

    data = (NASTY.read_bytes() + b"}\n\n") * 3

    def read():
        reader = orvex_tools.read_games(io.BytesIO(data), errors="skip", threads=threads)
        assert len(list(reader)) == 24 and len(reader.errors) == 3
        failing = orvex_tools.read_games(io.BytesIO(data), threads=threads)
        with pytest.raises(ValueError):
            list(failing)
        abandoned = orvex_tools.read_games(io.BytesIO(data), threads=threads)
        next(abandoned)

    count = repeat(300 if threads == 1 else 60, read)
    with unchanged(orvex_tools.Game, orvex_tools.GameError, orvex_tools.pgn._pgn.Reader):
        for _ in range(count):
            read()


# Archives that end in NUL bytes or a DOS end-of-file byte (Ctrl-Z) used to lose their last game.
@pytest.mark.parametrize("movetext", [b"1. e4 e5 1-0\x1a", b"1. e4 e5 1-0\x00\x00", b"1. e4 e5\x00"])
def test_nul_and_ctrl_z_are_white_space(movetext):
    data = b'[Event "x"]\n\n' + movetext
    reader = orvex_tools.read_games(io.BytesIO(data), errors="skip")
    games = list(reader)
    assert [g.moves for g in games] == [["e2e4", "e7e5"]]
    assert_same_as_python_chess(data.decode(), games, reader.errors)


def _zstd_frames(*parts):
    """Zstandard frames (with checksums) of the parts; a part of type int is a skippable frame
    of that many bytes."""
    zstandard = pytest.importorskip("zstandard")
    compressor = zstandard.ZstdCompressor(write_checksum=True)
    return b"".join(
        b"\x5a\x2a\x4d\x18" + part.to_bytes(4, "little") + b"\0" * part if isinstance(part, int)
        else compressor.compress(part)
        for part in parts)


# A Zstandard file cut short used to be read as if it were whole.
def test_zstandard_cut_short_raises_eof_error(tmp_path):
    first, second = CORPUS[1].encode(), CORPUS[2].encode()
    whole = _zstd_frames(first, 5, second)
    path = _write(tmp_path, "games.pgn.zst", whole)
    assert len(list(orvex_tools.read_games(path))) == 120
    between = len(_zstd_frames(first, 5))
    for cut in (4, 6, 9, 100, len(_zstd_frames(first)) + 2, between + 7, len(whole) - 2):
        path.write_bytes(whole[:cut])
        with pytest.raises(EOFError):
            list(orvex_tools.read_games(path, errors="skip"))
    path.write_bytes(whole[:between])
    assert len(list(orvex_tools.read_games(path))) == 60


# Input that never ends a line (a stream of zeros, a gzip bomb) used to grow the reader
# until memory ran out, and then to abort the process when two threads read it.
ENDLESS_LINE_SCRIPT = textwrap.dedent("""
    import resource, sys
    import orvex_tools

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    threads, limit = int(sys.argv[1]), sys.argv[2]
    options = {} if limit == "default" else {"max_game_bytes": None}
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (512 << 20), hard))
    try:
        list(orvex_tools.read_games("/dev/zero", threads=threads, **options))
    except (MemoryError, ValueError) as error:
        print(type(error).__name__, error)
""")


# The sanitizers need address space of their own and abort when it runs out.
@pytest.mark.skipif(SANITIZED or "libtsan" in Path("/proc/self/maps").read_text(),
                    reason="the sanitizers cannot run with a small address space")
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("limit, expected", [
    ("default", "ValueError line 1: longer than 67108864 bytes (max_game_bytes)"),
    ("none", "MemoryError"),
])
def test_endless_line_is_refused_in_bounded_memory(threads, limit, expected):
    result = subprocess.run([sys.executable, "-c", ENDLESS_LINE_SCRIPT, str(threads), limit],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected


TOO_LONG = {
    "game": ("1. e4 {" + "x\n" * 100 + "} e5 *\n\n",
             "game 1 (line 3): longer than 150 bytes (max_game_bytes)"),
    "line": ("%" + "x" * 200 + "\n\n", "line 3: longer than 150 bytes (max_game_bytes)"),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("block_size", [16, 1 << 20])
@pytest.mark.parametrize("case", TOO_LONG)
def test_a_game_or_line_longer_than_the_limit_ends_the_reading(monkeypatch, case, block_size,
                                                                threads):
    text, message = TOO_LONG[case]
    monkeypatch.setattr(orvex_tools.pgn, "BLOCK_SIZE", block_size)
    reader = orvex_tools.read_games(io.StringIO("1. d4 *\n\n" + text + "1. c4 *\n"),
                                    errors="skip", threads=threads, max_game_bytes=150)
    assert next(reader).moves == ["d2d4"]
    with pytest.raises(ValueError) as raised:
        next(reader)
    assert str(raised.value) == message
    assert list(reader) == []


# close() from another thread, while the iterating thread waited for input, used to raise
# RuntimeError('Already borrowed'); the reading went on and a FIFO it opened stayed open.
@pytest.mark.parametrize("opened_by", ["reader", "caller"])
@pytest.mark.parametrize("threads", [1, 2])
def test_close_from_another_thread_stops_a_reader_waiting_for_input(tmp_path, opened_by,
                                                                    threads):
    fifo = tmp_path / "games.fifo"
    os.mkfifo(fifo)
    writer = []

    def open_and_write():
        writer.append(open(fifo, "wb", buffering=0))
        writer[0].write(b'[Event "x"]\n\n1. e4 *\n\n')

    opening = threading.Thread(target=open_and_write)
    opening.start()
    source = fifo if opened_by == "reader" else open(fifo, "rb")
    reader = orvex_tools.read_games(source, threads=threads)
    opening.join()
    outcome = []

    def iterate():
        try:
            outcome.append([game.moves for game in reader])
        except BaseException as exc:  # noqa: BLE001 - reported below
            outcome.append(exc)

    iterating = threading.Thread(target=iterate)
    iterating.start()
    try:
        # Once more has been written than a FIFO holds, the reader is inside a read of a
        # block, waiting for the rest.
        assert writer[0].write(b"\n" * (256 << 10)) == 256 << 10
        reader.close()
        if opened_by == "caller":
            writer[0].close()  # a read of the caller's file ends when it returns
        iterating.join(60)
        assert not iterating.is_alive()
        assert outcome and not isinstance(outcome[0], BaseException), outcome
        assert list(reader) == []
        if opened_by == "reader":
            with pytest.raises(BrokenPipeError):  # the reader closed the FIFO
                writer[0].write(b"\n")
        else:
            assert not source.closed
    finally:
        writer[0].close()
        iterating.join(60)
        if opened_by == "caller":
            source.close()
