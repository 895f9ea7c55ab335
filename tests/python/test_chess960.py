"""Chess960 boards against python-chess: moves, FEN, SAN, keys and rules along
seeded random games, perft counts, and the mode surviving copies."""

import copy
import pickle
import random

import chess
import chess.polyglot
import pytest

import orvex_chess

# A sample of the 960 start positions, the standard one and the two corners
# of the numbering among them.
START_NUMBERS = [0, 518, 959] + random.Random(960).sample(range(960), 45)


@pytest.fixture(scope="module")
def generator():
    return orvex_chess.MoveGenerator()


def random_game(number, plies=80):
    """Yields (python-chess board, orvex board, random) at each ply of a game
    from start position number, both boards moved alike."""
    rng = random.Random(number)
    pc = chess.Board.from_chess960_pos(number)
    board = orvex_chess.Board(pc.fen(), chess960=True)
    for _ in range(plies):
        yield pc, board, rng
        moves = list(pc.legal_moves)
        if not moves or pc.is_game_over(claim_draw=False):
            return
        move = rng.choice(moves)
        if rng.random() < 0.5:
            board.push_san(pc.san(move))
        else:
            board.push(move.uci())
        pc.push(move)


@pytest.mark.parametrize("number", START_NUMBERS)
def test_random_games_match_python_chess(generator, number):
    for pc, board, rng in random_game(number):
        assert sorted(generator(board)) == sorted(m.uci() for m in pc.legal_moves)
        assert board.fen() == " ".join(pc.fen(en_passant="fen").split()[:4])
        assert board.fen(shredder=True) == " ".join(pc.fen(shredder=True, en_passant="fen").split()[:4])
        assert board.zobrist() == chess.polyglot.zobrist_hash(pc)
        assert board.is_check() == pc.is_check()
        castlings = [m for m in pc.legal_moves if pc.is_castling(m)]
        for move in castlings:
            assert board.san(move.uci()) == pc.san(move)
        # A board read back from its own X-FEN is the same position.
        again = orvex_chess.Board(board.fen(), chess960=True)
        assert sorted(generator(again)) == sorted(generator(board))
        expected = pc.outcome(claim_draw=True)
        assert board.outcome(claim_draw=True) == (
            None if expected is None else
            (expected.termination.name.lower(), {None: None, True: "white", False: "black"}[expected.winner]))


# Counts from python-chess's Chess960 generation, depths 1 to 4: the king
# beside the rook that stands on its destination (0), the king on the b file
# between two rooks (959), inner rooks named by file, and kings in corners'
# neighbourhoods with nothing between.
PERFT_960 = [
    ("bbqnnrkr/pppppppp/8/8/8/8/PPPPPPPP/BBQNNRKR w KQkq - 0 1", [20, 400, 9006, 201143]),
    ("rkrnnqbb/pppppppp/8/8/8/8/PPPPPPPP/RKRNNQBB w KQkq - 0 1", [20, 400, 9006, 201143]),
    ("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", [25, 625, 15131, 366277]),
    ("2r1kr2/8/8/8/8/8/8/1R2K1R1 w GBfc - 0 1", [22, 501, 11459, 264663]),
    ("rk5r/8/8/8/8/8/8/RK5R w KQkq - 0 1", [24, 479, 11099, 242723]),
    ("r5kr/8/8/8/8/8/8/R5KR b KQkq - 0 1", [24, 479, 11069, 242097]),
    # The queen beyond the castling rook attacks the king's destination once
    # the rook has left it; inner rooks among minor pieces and pawns; a
    # middlegame with the rights of inner rooks (the walk makes castlings
    # below the first ply).
    ("4k3/8/8/8/8/8/8/qRK4R w BH - 0 1", [16, 265, 5087, 106265]),
    ("1r1k2r1/p1pbnp2/8/8/8/8/P1PBNP2/1R1K2R1 w GBgb - 0 1", [42, 1631, 61111, 2219039]),
    ("bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9", [21, 528, 12189, 326672]),
]


@pytest.mark.parametrize("fen, counts", PERFT_960)
def test_perft_matches_python_chess(generator, fen, counts):
    board = orvex_chess.Board(fen, chess960=True)
    assert [generator.perft(board, depth) for depth in range(1, 5)] == counts
    assert board.fen() == orvex_chess.Board(fen, chess960=True).fen()


def test_castling_comes_after_the_king_steps(generator):
    board = orvex_chess.Board("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", chess960=True)
    moves = generator(board)
    assert moves[:4] == ["e1f1", "e1d1", "e1g1", "e1b1"]


@pytest.mark.parametrize("field, xfen, shredder", [
    ("HAha", "KQkq", "HAha"),
    ("KQkq", "KQkq", "HAha"),
    ("GBgb", "GBgb", "GBgb"),
    ("Kq", "Kq", "Ha"),
    ("-", "-", "-"),
])
def test_castling_field_forms(field, xfen, shredder):
    # Rooks on a, b, g and h of both first ranks: the outer ones are K and Q.
    board = orvex_chess.Board(f"rr2k1rr/8/8/8/8/8/8/RR2K1RR w {field} - 0 1", chess960=True)
    pc = chess.Board(f"rr2k1rr/8/8/8/8/8/8/RR2K1RR w {field} - 0 1", chess960=True)
    assert board.fen().split()[2] == xfen == pc.fen().split()[2]
    assert board.fen(shredder=True).split()[2] == shredder == pc.fen(shredder=True).split()[2]


def test_castling_rights_without_a_rook_are_dropped():
    fen = "4k3/8/8/8/8/8/8/4K2R w KQkq - 0 1"
    assert orvex_chess.Board(fen, chess960=True).fen() == "4k3/8/8/8/8/8/8/4K2R w K -"


@pytest.mark.parametrize("fen, chess960, message", [
    ("4k3/8/8/8/8/8/8/4K2R w X - 0 1", True, "Invalid fen: Invalid castling specifier"),
    ("4k3/8/8/8/8/8/8/4K2R w H - 0 1", False, "Invalid fen: Invalid castling specifier"),
    ("4k3/8/8/8/8/8/8/4K2R x K - 0 1", True, "Invalid fen: Invalid side-to-move"),
])
def test_bad_castling_fields_are_refused(fen, chess960, message):
    with pytest.raises(ValueError, match=message):
        orvex_chess.Board(fen, chess960=chess960)


def test_standard_board_is_not_chess960():
    board = orvex_chess.Board()
    assert board.chess960() is False
    assert board.fen(shredder=True) == board.fen()
    assert repr(board) == f"Board({board.fen()!r})"


@pytest.mark.parametrize("make", [
    lambda b: b.copy(),
    lambda b: b.copy(history=False),
    copy.deepcopy,
    lambda b: pickle.loads(pickle.dumps(b)),
    lambda b: eval(repr(b), {"Board": orvex_chess.Board}),
])
def test_copies_keep_the_mode(generator, make):
    board = orvex_chess.Board("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", chess960=True)
    board.push("e1g1")
    board.push("e8b8")
    made = make(board)
    assert made.chess960() is True
    assert made.fen(shredder=True) == board.fen(shredder=True)
    assert generator(made) == generator(board)


def test_castling_is_taken_back_exactly(generator):
    board = orvex_chess.Board("rk5r/8/8/8/8/8/8/RK5R w KQkq - 0 1", chess960=True)
    before = (board.fen(counters=True), board.zobrist())
    for move in [m for m in generator(board) if m.startswith("b1")]:
        board.push(move)
        board.pop()
        assert (board.fen(counters=True), board.zobrist()) == before


def test_reflect_mirrors_the_rook_files(generator):
    fen = "1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/2R1K2R w Cgb - 0 1"
    board = orvex_chess.Board(fen, chess960=True)
    board.reflect()
    pc = chess.Board(fen, chess960=True).mirror()
    assert board.fen(shredder=True) == " ".join(pc.fen(shredder=True).split()[:4])
    assert sorted(generator(board)) == sorted(m.uci() for m in pc.legal_moves)


@pytest.mark.parametrize("san, uci", [("O-O", "e1g1"), ("O-O-O", "e1b1")])
def test_push_san_castles(san, uci):
    fen = "1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1"
    by_san = orvex_chess.Board(fen, chess960=True)
    by_san.push_san(san)
    by_uci = orvex_chess.Board(fen, chess960=True)
    by_uci.push(uci)
    pc = chess.Board(fen, chess960=True)
    pc.push_san(san)
    assert by_san.fen() == by_uci.fen() == " ".join(pc.fen().split()[:4])
