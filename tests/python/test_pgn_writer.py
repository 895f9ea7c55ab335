"""write_games: seeded random games written as PGN read back the same by both PGN readers."""

import io
import os
import random
import re

import chess
import chess.pgn
import pytest

import orvex_chess
import orvex_tools
from orvex_tools import pgn_writer
from orvex_tools.pgn_writer import format_game
from pgn_corpus import random_pgn

ROSTER = {"Event": "?", "Site": "?", "Date": "????.??.??", "Round": "?", "White": "?",
          "Black": "?", "Result": "*"}
STANDARD = chess.STARTING_FEN


def random_record(rng, fen, plies):
    """(tags, start_fen, moves, result) of random legal play from fen; fen None is the start."""
    board = chess.Board(fen or STANDARD)
    moves = []
    while len(moves) < plies and not board.is_game_over():
        move = rng.choice(list(board.legal_moves))
        moves.append(move.uci())
        board.push(move)
    tags = {"White": f"Player {rng.randrange(100)}", "Annotator": "seeded", "Round": "3"}
    return tags, fen, moves, rng.choice(["1-0", "0-1", "1/2-1/2", "*"])


def expected_tags(tags, fen, result):
    board = chess.Board(fen or STANDARD)
    written = {name: tags.get(name, default) for name, default in ROSTER.items()}
    written["Result"] = result
    written.update((name, value) for name, value in tags.items() if name not in written)
    if fen is not None and board.fen() != STANDARD:
        written.update(SetUp="1", FEN=board.fen(en_passant="fen"))
    return written


def read_back(text):
    """Each game of text as (tags, start board, moves, result) by read_games and by python-chess."""
    ours = [(g.tags, g.fen, g.moves, g.result) for g in orvex_tools.read_games(io.StringIO(text))]
    theirs = []
    stream = io.StringIO(text)
    while (game := chess.pgn.read_game(stream)) is not None:
        assert not game.errors, game.errors
        theirs.append((dict(game.headers), game.board(), [m.uci() for m in game.mainline_moves()],
                       game.headers["Result"]))
    return ours, theirs


START_FENS = [
    None,
    "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 37",   # black to move, odd number
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 5 12",                  # castling and promotions
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R b KQkq - 0 1",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 9",                              # en passant
]


@pytest.mark.parametrize("fen", START_FENS)
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("plies", [0, 30, 400])
def test_random_games_read_back_the_same(tmp_path, fen, seed, plies):
    rng = random.Random(seed)
    records = [random_record(rng, fen, plies) for _ in range(6)]
    path = tmp_path / "out.pgn"
    assert orvex_tools.write_games(path, records) == len(records)
    text = path.read_text(encoding="utf-8")
    ours, theirs = read_back(text)
    assert len(ours) == len(theirs) == len(records)
    start = chess.Board(fen or STANDARD)
    for (tags, _, moves, result), mine, python_chess in zip(records, ours, theirs):
        written = expected_tags(tags, fen, result)
        assert mine == (written, " ".join(start.fen().split()[:4]), moves, result)
        assert python_chess[0] == written
        assert python_chess[1].fen() == start.fen()            # the move counters too
        assert python_chess[2:] == (moves, result)
        assert list(mine[0])[:7] == list(ROSTER)
    assert max(map(len, text.splitlines())) <= 80
    first_word = f"{start.fullmove_number}{'.' if start.turn else '...'}"
    for (_, _, moves, result), movetext in zip(records, text.split("\n\n")[1::2]):
        assert movetext.split()[0] == (first_word if moves else result)
    assert list(tmp_path.iterdir()) == [path]


def test_random_play_covers_castling_promotion_and_long_lines(tmp_path):
    rng = random.Random(7)
    text = "".join(format_game(random_record(rng, START_FENS[2], 60)) for _ in range(20))
    words = set(text.split())
    assert any(word.startswith("O-O") for word in words) and any("=" in word for word in words)
    assert any(len(line) > 70 for line in text.splitlines())


ESCAPED = ['a "quoted" name', "back\\slash", "ends with \\", '"', '\\"', '] [X "y"]', "",
           "Ñandú ♞ ½", "tab\there"]


@pytest.mark.parametrize("value", ESCAPED)
def test_tag_values_are_escaped_and_read_back(value):
    tags = {"Site": value, "A_b+#=:-9": value, "Result": "0-1", "FEN": "x", "SetUp": "0"}
    stream = io.StringIO()
    orvex_tools.write_games(stream, [(tags, None, ["e2e4"], "1-0")])
    site = stream.getvalue().splitlines()[1]
    assert re.fullmatch(r'\[Site "(?:[^"\\]|\\["\\])*"\]', site), site   # a PGN string token
    (game,) = orvex_tools.read_games(io.StringIO(stream.getvalue()))
    assert game.tags == {**ROSTER, "Site": value, "Result": "1-0", "A_b+#=:-9": value}
    assert (game.moves, game.result) == (["e2e4"], "1-0")
    # python-chess reads the same value only when it holds no escape (as the README says).
    theirs = chess.pgn.read_game(io.StringIO(stream.getvalue())).headers["Site"]
    assert (theirs == value) == ('"' not in value and "\\" not in value)


def test_games_from_read_games_keep_their_tags_start_and_move_numbers(tmp_path):
    source = tmp_path / "games.pgn"
    source.write_text(random_pgn(11, 60), encoding="utf-8")
    originals = list(orvex_tools.read_games(source))
    assert any("FEN" in game.tags for game in originals)
    source.chmod(0o640)
    # A file is rewritten from its own reader: the new text replaces it only at the end.
    assert orvex_tools.write_games(source, orvex_tools.read_games(source)) == len(originals)
    assert source.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["games.pgn"]
    text = source.read_text(encoding="utf-8")
    ours, theirs = read_back(text)
    for original, mine, python_chess in zip(originals, ours, theirs, strict=True):
        assert mine[1:] == (original.fen, original.moves, original.result)
        assert original.tags.items() <= mine[0].items()
        if "FEN" in original.tags:
            assert python_chess[1] == chess.Board(original.tags["FEN"])


def python_movetext(start, fullmove, moves, result, chess960=False):
    """The movetext as the writer made it in Python, word by word with Board.san:
    the reference for the one-pass movetext of the core."""
    board = orvex_chess.Board(start, chess960=chess960)
    words, number, white = [], fullmove, start.split()[1] == "w"
    for move in moves:
        san = board.san(move)
        if white:
            words.append(f"{number}. {san}")
        else:
            words.append(san if words else f"{number}... {san}")
            number += 1
        board.push(move)
        white = not white
    lines, line = [], ""
    for word in words + [result]:
        if line and len(line) + 1 + len(word) > 80:
            lines.append(line)
            line = ""
        line = f"{line} {word}" if line else word
    return "\n".join(lines + [line])


def python_chess_movetext(record):
    tags, fen, moves, result = record
    game = chess.pgn.Game()
    if fen is not None:
        game.setup(chess.Board(fen))
    game.headers["Result"] = result
    node = game
    for move in moves:
        node = node.add_variation(chess.Move.from_uci(move))
    return game.accept(chess.pgn.StringExporter(headers=False, columns=None))


@pytest.mark.parametrize("fen", START_FENS + ["r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R b KQkq - 0 999"])
def test_movetext_is_the_python_writers_and_python_chess_exports(monkeypatch, fen):
    # The same bytes as the movetext written word by word in Python (line
    # breaks, move numbers carried to more digits, tags with escapes and FEN
    # starts around it), and the same words as python-chess's export, which
    # breaks lines elsewhere.
    rng = random.Random(len(fen or ""))
    records = [random_record(rng, fen, plies) for plies in (0, 1, 2, 9, 80, 400)]
    records += [({"Site": value, "White": value}, fen, moves, result)
                for value, (_, _, moves, result) in zip(ESCAPED, records)]
    written = [format_game(record) for record in records]
    for text, record in zip(written, records):
        assert text.split("\n\n")[1].split() == python_chess_movetext(record).split()
    monkeypatch.setattr(pgn_writer, "_movetext", python_movetext)
    assert written == [format_game(record) for record in records]


LEGAL = ({"White": "A"}, None, ["e2e4", "e7e5"], "1-0")
BAD = [
    (({}, None, ["e2e4", "e7e5", "e1e3"], "*"), "illegal move 'e1e3' (moves[2])"),
    (({}, None, ["e2e4", "E7E5"], "*"), "illegal move 'E7E5' (moves[1])"),
    (({}, "6k1/P7/8/8/8/8/8/4K3 w - - 0 1", ["a7a8"], "*"), "illegal move 'a7a8'"),
    (({}, None, [], "2-0"), "invalid result '2-0'"),
    (({}, "8/8/8/8/8/8/8/8 w - -", [], "*"), "exactly one king"),
    (({}, "4k3/8/8/8/8/8/8/4K3 w", [], "*"), "invalid start FEN"),
    (({}, '4k3/8/8/8/8/8/8/4K3 w - - "', [], "*"), "invalid start FEN"),
    (({"Event": "two\nlines"}, None, [], "*"), "line break"),
    (({"Bad Name": "x"}, None, [], "*"), "invalid tag name 'Bad Name'"),
    (({"Event": "\ud800"}, None, [], "*"), "not valid Unicode"),
]


@pytest.mark.parametrize("bad, message", BAD)
@pytest.mark.parametrize("destination", ["stream", "new path", "old path"])
def test_a_bad_game_raises_and_writes_nothing_of_it(tmp_path, bad, message, destination):
    records = [LEGAL, LEGAL, bad, LEGAL]
    target = io.StringIO() if destination == "stream" else tmp_path / "out.pgn"
    if destination == "old path":
        target.write_text("old text\n")
    with pytest.raises(ValueError, match="^game 2: ") as error:
        orvex_tools.write_games(target, iter(records))
    assert message in str(error.value)
    if destination == "stream":
        games = list(orvex_tools.read_games(io.StringIO(target.getvalue())))
        assert [game.moves for game in games] == [LEGAL[2]] * 2
    elif destination == "old path":
        assert os.listdir(tmp_path) == ["out.pgn"] and target.read_text() == "old text\n"
    else:
        assert os.listdir(tmp_path) == []


def test_a_bad_game_record_is_named_by_place_and_index():
    source = io.StringIO("1. e4 *\n\n1. d4 *\n")
    games = list(orvex_tools.read_games(source))
    games[1].moves.append("e2e4")
    message = r"^game 1 \(index 1\): illegal move 'e2e4' \(moves\[1\]\)$"
    with pytest.raises(ValueError, match=message):
        orvex_tools.write_games(io.StringIO(), games)
    with pytest.raises(ValueError, match=r"^game \(index 1\): illegal move"):
        format_game(games[1])


@pytest.mark.parametrize("destination, games, message", [
    (io.BytesIO(), [LEGAL], "'destination' must be a path or a file object"),
    (42, [LEGAL], "'destination' must be a path or a file object"),
    ("out.pgn", None, "'games' must be an iterable"),
    ("out.pgn", LEGAL, "game 0: a game must be a Game or"),
    ("out.pgn", [LEGAL, LEGAL[:3]], "game 1: a game must be a Game or"),
    ("out.pgn", [(list(LEGAL[0].items()), None, [], "*")], "game 0: tags must be a mapping"),
    ("out.pgn", [({}, None, "e2e4", "*")], "game 0: moves must be an iterable of str"),
    ("out.pgn", [({}, None, [b"e2e4"], "*")], "game 0: moves must be str"),
    ("out.pgn", [({"Round": 3}, None, [], "*")], "game 0: tag values must be str"),
    ("out.pgn", [({}, 0, [], "*")], "game 0: the start FEN must be a str or None"),
])
def test_type_errors(tmp_path, monkeypatch, destination, games, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match=message):
        orvex_tools.write_games(destination, games)
    assert os.listdir(tmp_path) == []


GAME = ({"White": "Ann"}, None, ["e2e4", "e7e5"], "1/2-1/2")


def test_fifo_destination_is_written_in_place(tmp_path):
    import threading
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    received = []
    reading = threading.Thread(target=lambda: received.append(fifo.read_text()), daemon=True)
    reading.start()
    assert orvex_tools.write_games(fifo, [GAME]) == 1
    reading.join(60)
    assert received == [format_game(GAME)]
    assert os.listdir(tmp_path) == ["out.fifo"] and fifo.is_fifo()


# /dev/stdout led to the file that standard output was redirected to, which a rename replaced.
STDOUT_SCRIPT = """
import sys, orvex_tools
print("before", flush=True)
orvex_tools.write_games("/dev/stdout", [({"White": "Ann"}, None, ["e2e4", "e7e5"], "1/2-1/2")])
"""


def test_dev_stdout_destination_keeps_what_was_printed_before(tmp_path):
    import subprocess
    import sys
    out = tmp_path / "out.txt"
    with open(out, "w") as handle:
        subprocess.run([sys.executable, "-c", STDOUT_SCRIPT], stdout=handle, check=True, timeout=120)
    assert out.read_text() == "before\n" + format_game(GAME)
    assert os.listdir(tmp_path) == ["out.txt"]


@pytest.mark.parametrize("destination, error", [(".", IsADirectoryError), ("", FileNotFoundError)])
def test_bad_destination_is_refused_before_a_game_is_taken(tmp_path, monkeypatch, destination,
                                                           error):
    monkeypatch.chdir(tmp_path)
    taken = []

    def games():
        taken.append(1)
        yield GAME

    with pytest.raises(error):
        orvex_tools.write_games(destination, games())
    assert taken == [] and os.listdir(tmp_path) == []


# The temporary file stayed behind when SIGTERM, or the exit of the interpreter
# under a daemon thread, ended a write.
INTERRUPTED_SCRIPT = """
import os, signal, sys, threading, orvex_tools
game = ({{}}, None, ["e2e4"], "*")
def games():
    yield game
    {stop}
    yield game
{call}
"""
INTERRUPTIONS = {
    "sigterm": ("os.kill(os.getpid(), signal.SIGTERM); threading.Event().wait(60)",
                "orvex_tools.write_games('out.pgn', games())", -15),
    "daemon thread": ("threading.Event().wait()",
                      "threading.Thread(target=orvex_tools.write_games, args=('out.pgn', games()),"
                      " daemon=True).start(); threading.Event().wait(0.5)", 0),
}


@pytest.mark.parametrize("interruption", INTERRUPTIONS)
def test_interrupted_write_leaves_no_temporary_file(tmp_path, interruption):
    import subprocess
    import sys
    stop, call, status = INTERRUPTIONS[interruption]
    script = INTERRUPTED_SCRIPT.format(stop=stop, call=call)
    result = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == status, result.stderr
    assert os.listdir(tmp_path) == []
