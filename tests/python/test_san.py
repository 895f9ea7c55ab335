"""SAN in and out and is_check, against python-chess.

Every legal move of the benchmark suite and of positions from seeded games
is written by both libraries and must read the same; each game is replayed on
our board through push_san of python-chess's SAN, and python-chess reads our
SAN of each move played back as that move. A last test checks that
the games reached the rarer forms of SAN.
"""

import collections
import random
import re
import sys
from pathlib import Path

import chess
import pytest

import orvex_chess
from chess_helpers import PERFT_FENS
from conftest import history_len, snapshot
from test_differential import choose_move

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import suite as bench_suite  # noqa: E402

GENERATOR = orvex_chess.MoveGenerator()

START_POSITIONS = dict(PERFT_FENS)
START_POSITIONS["promotion-race"] = "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -"
START_POSITIONS["pawn-walls"] = "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - -"
# Three queens and three black rooks: disambiguation by file, rank and both.
START_POSITIONS["crowds"] = "r4r1k/8/r7/8/2Q1Q3/8/2Q5/4K3 w - -"
GAMES_PER_START = 4
MAX_PLIES = 100

SAN_SHAPE = re.compile(r"O-O(-O)?[+#]?|[NBRQK][a-h]?[1-8]?x?[a-h][1-8][+#]?|"
                       r"([a-h]x)?[a-h][1-8](=[NBRQ])?[+#]?")


class Record:
    def __init__(self):
        self.moves = 0
        self.mismatches = []   # (fen, move, python-chess's SAN, ours)
        self.misreads = []     # (fen, SAN, the move, what parse_san gave)
        self.checks = []       # (fen, python-chess's is_check, ours)
        self.pushes = []       # (fen, SAN, problem)
        self.forms = collections.Counter()


def form_of(san, is_en_passant):
    """The rarer SAN forms that one text shows."""
    forms = set()
    core = san.rstrip("+#")
    if san.endswith("#"):
        forms.add("mate")
    elif san.endswith("+"):
        forms.add("check")
    if "=" in san:
        forms.add("promotion")
    if core in ("O-O", "O-O-O"):
        forms.add(core)
    if is_en_passant:
        forms.add("en passant")
    if core[0] in "NBRQK":
        written = core[1:].replace("x", "")[:-2]
        if len(written) == 2:
            forms.add("file and rank")
        elif written:
            forms.add("file" if written in "abcdefgh" else "rank")
    return forms


def check_position(board, pc_board, record):
    """Both libraries' SAN of every legal move, and parse_san of it."""
    fen = pc_board.fen()
    if board.is_check() != pc_board.is_check():
        record.checks.append((fen, pc_board.is_check(), board.is_check()))
    for move in GENERATOR(board):
        pc_move = chess.Move.from_uci(move)
        expected = pc_board.san(pc_move)
        ours = board.san(move)
        record.moves += 1
        record.forms.update(form_of(expected, pc_board.is_en_passant(pc_move)))
        if ours != expected:
            record.mismatches.append((fen, move, expected, ours))
        read = board.parse_san(expected)
        if read != move:
            record.misreads.append((fen, expected, move, read))


@pytest.fixture(scope="module")
def record():
    record = Record()
    for position in bench_suite.build_suite():
        check_position(orvex_chess.Board(position.fen), chess.Board(position.fen), record)
    for index, (name, fen) in enumerate(START_POSITIONS.items()):
        for game in range(GAMES_PER_START):
            rng = random.Random(7_001 * index + game)
            board, pc_board = orvex_chess.Board(fen), chess.Board(fen)
            for _ in range(MAX_PLIES):
                check_position(board, pc_board, record)
                if pc_board.is_game_over():
                    break
                pc_move = choose_move(rng, pc_board)
                san = pc_board.san(pc_move)
                before = board.fen()
                if pc_board.parse_san(board.san(pc_move.uci())) != pc_move:
                    record.pushes.append((before, san, "python-chess reads our SAN otherwise"))
                made = board.push_san(san)
                pc_board.push(pc_move)
                if made != pc_move.uci():
                    record.pushes.append((before, san, f"made {made}"))
                elif board.fen().split()[:3] != pc_board.fen().split()[:3]:
                    record.pushes.append((before, san, "positions differ"))
                    break
    return record


def test_san_of_every_legal_move_matches_python_chess(record):
    assert record.moves > 50_000
    assert not record.mismatches, record.mismatches[:10]


def test_parse_san_reads_python_chess_san_back(record):
    assert not record.misreads, record.misreads[:10]


def test_push_san_replays_the_games(record):
    assert not record.pushes, record.pushes[:10]


def test_is_check_matches_python_chess(record):
    assert not record.checks, record.checks[:10]


def test_the_games_reach_every_form(record):
    for form, least in [("check", 1000), ("mate", 20), ("promotion", 200), ("O-O", 10),
                        ("O-O-O", 10), ("en passant", 10), ("file", 500), ("rank", 100),
                        ("file and rank", 10)]:
        assert record.forms[form] >= least, (form, record.forms)


def test_written_san_has_the_standard_shape(record):
    board = orvex_chess.Board(START_POSITIONS["crowds"])
    for move in GENERATOR(board):
        assert SAN_SHAPE.fullmatch(board.san(move)), move


KIWIPETE = PERFT_FENS["kiwipete"]
EN_PASSANT = "r3k3/8/8/8/3pP3/8/8/4K2R b Kq e3"
CROWDS = START_POSITIONS["crowds"]


@pytest.mark.parametrize("fen, text, move", [
    (chess.STARTING_FEN, "Nf3", "g1f3"),
    (chess.STARTING_FEN, "Ng1f3", "g1f3"),
    (chess.STARTING_FEN, "Ng1-f3", "g1f3"),
    (chess.STARTING_FEN, "e4", "e2e4"),
    (chess.STARTING_FEN, "e2e4", "e2e4"),
    (chess.STARTING_FEN, "e2-e4", "e2e4"),
    (chess.STARTING_FEN, "e4!", "e2e4"),
    (chess.STARTING_FEN, "e4?", "e2e4"),
    (chess.STARTING_FEN, "e4!?", "e2e4"),
    (chess.STARTING_FEN, "e4?!", "e2e4"),
    (chess.STARTING_FEN, "e4!!", "e2e4"),
    (chess.STARTING_FEN, "e4??", "e2e4"),
    (chess.STARTING_FEN, "Nf3+", "g1f3"),  # a wrong check mark is not held against it
    (KIWIPETE, "O-O", "e1g1"),
    (KIWIPETE, "0-0", "e1g1"),
    (KIWIPETE, "O-O-O", "e1c1"),
    (KIWIPETE, "0-0-0+", "e1c1"),
    (KIWIPETE, "e1g1", "e1g1"),
    (KIWIPETE, "exd6", None),  # no en passant here: read below as no legal move
    (KIWIPETE, "Qxf6", "f3f6"),
    (KIWIPETE, "Qf6", "f3f6"),  # the capture mark is optional
    (KIWIPETE, "Qf3xf6", "f3f6"),
    (KIWIPETE, "dxe6", "d5e6"),
    (KIWIPETE, "de6", "d5e6"),
    (KIWIPETE, "Nxg6", "e5g6"),
    (KIWIPETE, "Bxa6", "e2a6"),
    (EN_PASSANT, "dxe3", "d4e3"),
    (EN_PASSANT, "dxe3 e.p.", "d4e3"),
    (EN_PASSANT, "dxe3e.p.", "d4e3"),
    (EN_PASSANT, "dxe3 e.p.+", "d4e3"),
    (EN_PASSANT, "O-O-O", "e8c8"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "bxa8=Q+", "b7a8q"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "bxa8Q", "b7a8q"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "bxa8=n", "b7a8n"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "b8=R", "b7b8r"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "b8B", "b7b8b"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "b7b8q", "b7b8q"),
    (CROWDS, "Qc4e2", "c4e2"),
    (CROWDS, "Q4e2", None),  # c4 and e4 both: still ambiguous
    (CROWDS, "Qce2", None),  # c4 and c2 both
    (CROWDS, "Qc4xe2", "c4e2"),
    (CROWDS, "Qed3", "e4d3"),
    ("r4r1k/8/r7/8/2Q1Q3/8/2Q5/4K3 b - -", "R6a7", "a6a7"),
    ("r4r1k/8/r7/8/2Q1Q3/8/2Q5/4K3 b - -", "Rab8", "a8b8"),
    ("r4r1k/8/r7/8/2Q1Q3/8/2Q5/4K3 b - -", "Rfb8", "f8b8"),
    # The knight on e2 is pinned: Nd4 names only the other one.
    ("4k3/4r3/8/1N6/8/8/4N3/4K3 w - -", "Nd4", "b5d4"),
    ("4k3/4r3/8/1N6/8/8/4N3/4K3 w - -", "Nbd4", "b5d4"),
])
def test_accepted_spellings(fen, text, move):
    board = orvex_chess.Board(fen)
    if move is None:
        with pytest.raises(ValueError, match=r"^Invalid chess move: "):
            board.parse_san(text)
        return
    assert board.parse_san(text) == move
    assert board.push_san(text) == move
    after = orvex_chess.Board(fen)
    after.push(move)
    assert board.fen() == after.fen()


@pytest.mark.parametrize("fen, text, message", [
    (chess.STARTING_FEN, "Nf4", '"Nf4" names no legal move'),
    (chess.STARTING_FEN, "e5", '"e5" names no legal move'),
    (chess.STARTING_FEN, "O-O", '"O-O" names no legal move'),
    (chess.STARTING_FEN, "exd3", '"exd3" names no legal move'),
    (chess.STARTING_FEN, "Ke2", '"Ke2" names no legal move'),
    (chess.STARTING_FEN, "Nf3=Q", '"Nf3=Q" names no legal move'),
    (KIWIPETE, "Kg1", '"Kg1" names no legal move'),  # castling is written O-O
    ("4k3/1P6/8/8/8/8/8/4K3 w - -", "b8",
     '"b8" names no legal move (a pawn reaching the last rank needs a promotion piece, as in b8=Q)'),
    ("r3k3/1P6/8/8/8/8/8/4K3 w - -", "bxa8",
     '"bxa8" names no legal move (a pawn reaching the last rank needs a promotion piece, as in bxa8=Q)'),
    (CROWDS, "Qe2", '"Qe2" is ambiguous: it names c2e2, c4e2 and e4e2'),
    (CROWDS, "Qd3", '"Qd3" is ambiguous: it names c2d3, c4d3 and e4d3'),
    ("4k3/8/8/8/8/8/8/N1N1K3 w - -", "Nb3", '"Nb3" is ambiguous: it names a1b3 and c1b3'),
    (chess.STARTING_FEN, "", '"" is not standard algebraic notation'),
    (chess.STARTING_FEN, "Nf9", '"Nf9" is not standard algebraic notation'),
    (chess.STARTING_FEN, "Pe4", '"Pe4" is not standard algebraic notation'),
    (chess.STARTING_FEN, "nf3", '"nf3" is not standard algebraic notation'),
    (chess.STARTING_FEN, "Nf3 ", '"Nf3 " is not standard algebraic notation'),
    (chess.STARTING_FEN, "O-O-O-O", '"O-O-O-O" is not standard algebraic notation'),
    (chess.STARTING_FEN, "e8=K", '"e8=K" is not standard algebraic notation'),
    (chess.STARTING_FEN, "--", '"--" is not standard algebraic notation'),
    (chess.STARTING_FEN, "N\u00e9f3", '"N\u00e9f3" is not standard algebraic notation'),
    (chess.STARTING_FEN, "e4\ud800", '"e4\ud800" is not standard algebraic notation'),
    (chess.STARTING_FEN, "Nf3" + "!" * 38, '"Nf3' + "!" * 37 + '..." is not standard algebraic notation'),
    (chess.STARTING_FEN, "x" * 10**6, '"' + "x" * 40 + '..." is not standard algebraic notation'),
    ("4k3N/8/8/8/8/8/8/R3K3 w - -", "Kd1",
     '"Kd1" cannot be read on a board where two pieces share a square'),
])
def test_refused_san_leaves_the_board_unchanged(fen, text, message):
    board = orvex_chess.Board(fen)
    board.push(GENERATOR(board)[0])
    board.pop()
    board.push(GENERATOR(board)[-1])
    board.pop()
    for method in (board.parse_san, board.push_san):
        before, history = snapshot(board), history_len(board)
        with pytest.raises(ValueError) as raised:
            method(text)
        assert str(raised.value) == "Invalid chess move: " + message
        assert snapshot(board) == before and history_len(board) == history


@pytest.mark.parametrize("fen, move, message", [
    (chess.STARTING_FEN, "e2e5", '"e2e5" is not a legal move in the position'),
    (chess.STARTING_FEN, "e7e5", '"e7e5" is not a legal move in the position'),
    (chess.STARTING_FEN, "e3e4", '"e3e4" is not a legal move in the position'),
    (chess.STARTING_FEN, "g1f3q", '"g1f3q" is not a legal move in the position'),
    ("4k3/1P6/8/8/8/8/8/4K3 w - -", "b7b8", '"b7b8" is not a legal move in the position'),
    (chess.STARTING_FEN, "Nf3", '"Nf3" is not a move in coordinate notation'),
    (chess.STARTING_FEN, "e2e4x", '"e2e4x" is not a move in coordinate notation'),
    (chess.STARTING_FEN, "E2E4", '"E2E4" is not a move in coordinate notation'),
    (chess.STARTING_FEN, "e2e4" * 20, '"' + ("e2e4" * 10) + '..." is not a move in coordinate notation'),
    ("4k3N/8/8/8/8/8/8/R3K3 w - -", "e1d1",
     '"e1d1" cannot be written as SAN on a board where two pieces share a square'),
])
def test_san_of_a_move_that_is_not_legal(fen, move, message):
    board = orvex_chess.Board(fen)
    with pytest.raises(ValueError) as raised:
        board.san(move)
    assert str(raised.value) == "Invalid chess move: " + message


@pytest.mark.parametrize("method, argument, error", [
    ("san", None, TypeError), ("san", b"e2e4", TypeError),
    ("parse_san", 1, TypeError), ("push_san", ["e4"], TypeError),
])
def test_arguments_must_be_str(method, argument, error):
    with pytest.raises(error, match="must be str"):
        getattr(orvex_chess.Board(), method)(argument)


def test_keywords_follow_python_chess_names():
    board = orvex_chess.Board()
    assert board.san(move="e2e4") == "e4"
    assert board.parse_san(san="e4") == "e2e4"
    assert board.push_san(san="e4") == "e2e4"


# Boards FEN allows and play never reaches.
UNUSUAL = [
    "4k3/8/8/8/8/8/8/8 w - -",               # white has no king
    "4k3/8/8/3K4/8/8/8/K7 w - -",            # two white kings
    "K6k/8/8/8/8/8/8/K3K2R w K -",           # three, one of them on e1
    "4k3/8/8/8/8/8/8/r3K2K b - -",           # black may take a king
    "k7/8/8/8/8/8/PPPPPPPP/8 b - -",         # black has no move
    "KKKK/8/8/8/8/8/8/kkkk b KQkq -",
    "4k3/8/8/8/8/8/8/N1N1K1N1 w - -",        # three knights, one target each pair
]


@pytest.mark.parametrize("fen", UNUSUAL)
def test_every_generated_move_round_trips_on_unusual_boards(fen):
    board = orvex_chess.Board(fen)
    before = snapshot(board)
    for move in GENERATOR(board):
        san = board.san(move)
        assert board.parse_san(san) == move, (move, san)
        assert SAN_SHAPE.fullmatch(san), san
    assert snapshot(board) == before


@pytest.mark.parametrize("fen, in_check", [
    ("4k3/8/8/8/8/8/8/8 w - -", False),            # no king: never in check
    ("8/8/8/8/8/8/8/K3K2r w - -", False),          # only the lowest king counts
    ("8/8/8/8/8/8/8/K2rK3 w - -", True),
    ("4k3/8/8/8/8/8/8/r3K2K b - -", False),
    ("4k3N/8/8/8/8/8/8/R3K3 w - -", False),
])
def test_is_check_on_unusual_boards(fen, in_check):
    assert orvex_chess.Board(fen).is_check() is in_check


def test_check_marks_follow_the_lowest_king():
    # Rb8 attacks the king on a8, but a2 is the king kept out of check.
    assert orvex_chess.Board("k7/8/8/8/8/8/k7/1R2K3 w - -").san("b1b8") == "Rb8"
    assert orvex_chess.Board("k7/8/8/8/8/8/8/1R2K3 w - -").san("b1b8") == "Rb8+"
    assert orvex_chess.Board("k7/8/1K6/8/8/8/8/7R w - -").san("h1h8") == "Rh8#"
    assert orvex_chess.Board("k7/8/1K6/8/8/8/k7/7R w - -").san("h1h8") == "Rh8"
