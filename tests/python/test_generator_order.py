"""MoveGenerator: exact move order, legality in special positions, unusual boards
and the call interface.

Expected lists are worked out by hand from the documented order: king steps
(south, north, east, west, north-east, north-west, south-west, south-east),
castling (king side, then queen side), knight steps (-17, -15, -6, +10, +17,
+15, +6, -10), pawns from a1 towards h8 (captures toward the a-file side then
the h-file side for white, the reverse for black, each followed by its en
passant capture, then the push and the double push; promotions n, b, r, q),
rook-and-queen straight slides, bishop-and-queen diagonal slides (from-squares
ascending, then targets ascending).
"""

import random

import chess
import pytest

import orvex_chess
from chess_helpers import (PERFT_FENS, START_FEN, python_chess_moves, snapshot,
                           to_python_chess)

E1_KING = ["e1e2", "e1f1", "e1d1", "e1f2", "e1d2"]
E8_KING = ["e8e7", "e8f8", "e8d8", "e8d7", "e8f7"]
A1_KING = ["a1a2", "a1b1", "a1b2"]
A8_KING = ["a8a7", "a8b8", "a8b7"]

START_MOVES = ["b1c3", "b1a3", "g1h3", "g1f3"] + [
    f"{f}2{f}{r}" for f in "abcdefgh" for r in "34"]
AFTER_E2E4 = ["b8a6", "b8c6", "g8f6", "g8h6"] + [
    f"{f}7{f}{r}" for f in "abcdefgh" for r in "65"]

WHITE_ROOKS_A1_H1 = (["a1b1", "a1c1", "a1d1"] + [f"a1a{r}" for r in range(2, 9)]
                     + ["h1f1", "h1g1"] + [f"h1h{r}" for r in range(2, 9)])
BLACK_ROOKS_A8_H8 = ([f"a8a{r}" for r in range(1, 8)] + ["a8b8", "a8c8", "a8d8"]
                     + [f"h8h{r}" for r in range(1, 8)] + ["h8f8", "h8g8"])


def promotions(move):
    return [move + piece for piece in "nbrq"]


# (id, fen, exact expected list, whether the position is ordinary chess that
# python-chess can confirm as a set)
EXACT = [
    ("start", START_FEN, START_MOVES, True),
    ("after-e2e4-fen", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
     AFTER_E2E4, True),
    # Castling: king steps first, then e1g1, then e1c1, then the rooks.
    ("castling-both-sides", "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",
     E1_KING + ["e1g1", "e1c1"] + WHITE_ROOKS_A1_H1, True),
    ("black-castling-both-sides", "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -",
     E8_KING + ["e8g8", "e8c8"] + BLACK_ROOKS_A8_H8, True),
    # A rook on f8 sees f1: no e1g1 and no king step onto the f-file.
    ("f-file-attacked", "r3kr1r/8/8/8/8/8/8/R3K2R w KQkq -",
     ["e1e2", "e1d1", "e1d2", "e1c1"] + WHITE_ROOKS_A1_H1, True),
    # A rook on b8 sees b1, which queen-side castling need not keep safe.
    ("b1-attacked", "rr2k2r/8/8/8/8/8/8/R3K2R w KQkq -",
     E1_KING + ["e1g1", "e1c1"] + WHITE_ROOKS_A1_H1, True),
    # The right bit alone stands for the rook.
    ("rights-without-rooks-white", "4k3/8/8/8/8/8/8/4K3 w KQ -",
     E1_KING + ["e1g1", "e1c1"], False),
    ("rights-without-rooks-black", "4k3/8/8/8/8/8/8/4K3 b kq -",
     E8_KING + ["e8g8", "e8c8"], False),
    # En passant comes right after the capture test toward its square.
    ("ep-alone", "4k3/8/8/3pP3/8/8/8/4K3 w - d6",
     E1_KING + ["e5d6", "e5e6"], True),
    ("ep-before-other-capture", "4k3/8/5n2/3pP3/8/8/8/4K3 w - d6",
     E1_KING + ["e5d6", "e5f6", "e5e6"], True),
    ("ep-after-other-capture", "4k3/8/3n4/4Pp2/8/8/8/4K3 w - f6",
     E1_KING + ["e5d6", "e5f6", "e5e6"], True),
    ("ep-from-both-sides", "4k3/8/8/2PpP3/8/8/8/4K3 w - d6",
     E1_KING + ["c5d6", "c5c6", "e5d6", "e5e6"], True),
    ("ep-black", "4k3/8/8/8/3Pp3/8/8/4K3 b - d3",
     E8_KING + ["e4d3", "e4e3"], True),
    # Both pawns leave the fifth rank: the rook on h5 would see the king.
    ("ep-discovers-check", "8/8/8/K2pP2r/8/8/8/7k w - d6",
     ["a5a4", "a5a6", "a5b5", "a5b6", "a5b4", "e5e6"], True),
    # An enemy piece on the en-passant square: one capture, no second entry.
    ("ep-square-holds-enemy", "4k3/8/3n4/4P3/8/8/8/4K3 w - d6",
     E1_KING + ["e5d6", "e5e6"], False),
    ("ep-square-holds-enemy-black", "4k3/8/8/8/4p3/3N4/8/4K3 b - d3",
     E8_KING + ["e4d3", "e4e3"], False),
    ("ep-square-holds-own-knight", "7k/8/3N4/4P3/8/8/8/4K3 w - d6",
     E1_KING + ["d6c4", "d6e4", "d6f5", "d6f7", "d6e8", "d6c8", "d6b7", "d6b5",
                "e5e6"], False),
    # Promotions: per target n, b, r, q; captures before the push.
    ("promotion-white", "3n1n1k/4P3/8/8/8/8/8/K7 w - -",
     A1_KING + promotions("e7d8") + promotions("e7f8") + promotions("e7e8"), True),
    ("promotion-black", "k7/8/8/8/8/8/4p3/3N1N1K b - -",
     A8_KING + promotions("e2f1") + promotions("e2d1") + promotions("e2e1"), True),
    # Rooks and the queen share the straight group, bishops and the queen the
    # diagonal group, each by from-square.
    ("queen-in-both-slide-groups", "4k3/8/8/8/8/8/P7/KRBQ1B1R w - -",
     ["a1b2", "a2a3", "a2a4"]
     + [f"b1b{r}" for r in range(2, 9)]
     + ["d1e1"] + [f"d1d{r}" for r in range(2, 9)]
     + ["h1g1"] + [f"h1h{r}" for r in range(2, 9)]
     + ["c1b2", "c1d2", "c1a3", "c1e3", "c1f4", "c1g5", "c1h6"]
     + ["d1c2", "d1e2", "d1b3", "d1f3", "d1a4", "d1g4", "d1h5"]
     + ["f1e2", "f1g2", "f1d3", "f1h3", "f1c4", "f1b5", "f1a6"], True),
    # Pins, attacked squares and check.
    ("pinned-knight", "4k3/4r3/8/8/8/8/4N3/4K3 w - -",
     ["e1f1", "e1d1", "e1f2", "e1d2"], True),
    ("pinned-bishop-slides-on-the-pin", "4k3/8/8/b7/8/8/3B4/4K3 w - -",
     ["e1e2", "e1f1", "e1d1", "e1f2", "d2c3", "d2b4", "d2a5"], True),
    ("king-avoids-attacked-squares", "3rk3/8/8/8/8/8/8/4K3 w - -",
     ["e1e2", "e1f1", "e1f2"], True),
    ("check-evasion-by-king", "4k3/8/8/8/8/8/8/r3K2R w K -",
     ["e1e2", "e1f2", "e1d2"], True),
    ("check-evasion-capture-and-block", "4k3/8/8/8/8/4B3/2N5/r3K3 w - -",
     ["e1e2", "e1f2", "e1d2", "c2a1", "e3c1"], True),
    # Pawns on the edge ranks.
    ("white-pawn-on-last-rank", "4P3/8/8/8/8/8/8/K6k w - -", A1_KING, False),
    ("black-pawn-on-last-rank", "k7/8/8/8/8/8/8/4p2K b - -", A8_KING, False),
    ("white-pawn-on-rank-1", "7k/8/8/8/8/8/8/K3P3 w - -", A1_KING + ["e1e2"], False),
    ("black-pawn-on-rank-8", "k3p3/8/8/8/8/8/8/7K b - -", A8_KING + ["e8e7"], False),
    # Several kings: only the lowest one is kept out of check.
    ("two-kings-higher-one-ignored", "7K/1r6/8/8/4k3/8/8/K7 w - -",
     ["a1a2", "h8h7", "h8g8", "h8g7"], False),
    ("two-kings-lowest-changes", "k3r3/8/8/8/8/8/8/K3K2R w K -",
     ["a1b1"] + E1_KING + ["h1f1", "h1g1"] + [f"h1h{r}" for r in range(2, 9)], False),
    ("two-kings-castling", "k7/8/8/8/8/8/8/K3K2R w K -",
     A1_KING + E1_KING + ["e1g1", "h1f1", "h1g1"] + [f"h1h{r}" for r in range(2, 9)],
     False),
    # No king for the side to move: every candidate is kept.
    ("kingless-rook", "8/8/8/8/8/8/8/R6k w - -",
     [f"a1{f}1" for f in "bcdefgh"] + [f"a1a{r}" for r in range(2, 9)], False),
    ("kingless-knight-on-a-line", "4k3/8/8/8/8/8/4N3/4r3 w - -",
     ["e2g1", "e2g3", "e2f4", "e2d4", "e2c3", "e2c1"], False),
    ("kingless-black", "4K3/8/8/8/8/8/8/r7 b - -",
     [f"a1{f}1" for f in "bcdefgh"] + [f"a1a{r}" for r in range(2, 9)], False),
    # No legal move.
    ("checkmate-fools-mate", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -",
     [], True),
    ("checkmate-back-rank", "3R2k1/5ppp/8/8/8/8/8/6K1 b - -", [], True),
    ("checkmate-smothered", "6rk/5Npp/8/8/8/8/8/6K1 b - -", [], True),
    ("stalemate-queen", "7k/5Q2/6K1/8/8/8/8/8 b - -", [], True),
    ("stalemate-corner", "k7/8/1Q6/8/8/8/8/7K b - -", [], True),
    ("stalemate-pawn", "8/8/8/8/8/5k2/5p2/5K2 w - -", [], True),
]


@pytest.fixture(scope="module")
def generator():
    return orvex_chess.MoveGenerator()


@pytest.mark.parametrize("fen, expected, ordinary",
                         [case[1:] for case in EXACT], ids=[case[0] for case in EXACT])
def test_exact_move_list(generator, fen, expected, ordinary):
    board = orvex_chess.Board(fen)
    before = snapshot(board)
    assert generator(board) == expected
    assert snapshot(board) == before
    if ordinary:
        # The hand-made list is also the set of legal moves of real chess.
        assert set(expected) == python_chess_moves(to_python_chess(board))


def test_black_replies_after_pushing_e2e4(generator):
    board = orvex_chess.Board()
    board.push("e2e4")
    assert generator(board) == AFTER_E2E4


@pytest.mark.parametrize("fen, king_side, queen_side", [
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", True, True),
    ("r3k2r/8/8/8/8/8/8/R3K2R w K -", True, False),
    ("r3k2r/8/8/8/8/8/8/R3K2R w Q -", False, True),
    ("r3k2r/8/8/8/8/8/8/R3K2R w kq -", False, False),
    ("r1r1k2r/8/8/8/8/8/8/R3K2R w KQkq -", True, False),     # c1 attacked
    ("r2rk2r/8/8/8/8/8/8/R3K2R w KQkq -", True, False),      # d1 attacked
    ("r3k1rr/8/8/8/8/8/8/R3K2R w KQkq -", False, True),      # g1 attacked
    ("r3k2r/8/8/8/8/8/8/RN2K2R w KQkq -", True, False),      # b1 occupied
    ("r3k2r/8/8/8/8/8/8/R3K1nR w KQkq -", False, True),      # g1 occupied
    ("r3k2r/8/8/8/8/8/8/R2QK2R w KQkq -", True, False),      # d1 occupied
    ("r3k2r/8/8/8/4r3/8/8/R3K2R w KQkq -", False, False),    # in check
])
def test_castling_conditions(generator, fen, king_side, queen_side):
    moves = generator(orvex_chess.Board(fen))
    assert ("e1g1" in moves) is king_side
    assert ("e1c1" in moves) is queen_side
    assert set(moves) == python_chess_moves(chess.Board(fen))


def test_en_passant_onto_an_enemy_piece_is_the_plain_capture(generator):
    board = orvex_chess.Board("4k3/8/3n4/4P3/8/8/8/4K3 w - d6")
    moves = generator(board)
    assert moves.count("e5d6") == 1
    board.push("e5d6")
    assert board.fen().split()[0] == "4k3/8/3P4/8/8/8/8/4K3"


@pytest.mark.parametrize("fen, square, push", [
    ("4k3/8/3N4/4P3/8/8/8/4K3 w - d6", "d6", "e5e6"),
    ("4k3/8/8/8/4p3/3n4/8/7K b - d3", "d3", "e4e3"),
])
def test_no_move_onto_an_en_passant_square_holding_an_own_piece(generator, fen, square, push):
    moves = generator(orvex_chess.Board(fen))
    assert [m for m in moves if m[2:4] == square] == []
    assert push in moves


# --- The documented order on positions reached by play ------------------------

KING_STEPS = (-8, 8, 1, -1, 9, 7, -9, -7)
KNIGHT_STEPS = (-17, -15, -6, 10, 17, 15, 6, -10)


def order_key(pc_board, text):
    move = chess.Move.from_uci(text)
    frm, to = move.from_square, move.to_square
    piece = pc_board.piece_type_at(frm)
    delta = to - frm
    if piece == chess.KING:
        if abs(delta) == 2:
            return (0, frm, 8 if delta > 0 else 9)
        return (0, frm, KING_STEPS.index(delta))
    if piece == chess.KNIGHT:
        return (1, frm, KNIGHT_STEPS.index(delta))
    if piece == chess.PAWN:
        forward = delta if pc_board.turn == chess.WHITE else -delta
        promo = "nbrq".index(text[4]) if len(text) == 5 else 0
        return (2, frm, (7, 9, 8, 16).index(forward), promo)
    diagonal = chess.square_file(frm) != chess.square_file(to)
    diagonal = diagonal and chess.square_rank(frm) != chess.square_rank(to)
    return (4 if diagonal else 3, frm, to)


@pytest.mark.parametrize("name", sorted(PERFT_FENS))
def test_order_on_positions_reached_by_play(generator, name):
    rng = random.Random(f"order-{name}")
    board = orvex_chess.Board(PERFT_FENS[name])
    pc_board = chess.Board(PERFT_FENS[name])
    checked = 0
    for _ in range(4):
        for _ in range(30):
            moves = generator(board)
            if not moves:
                break
            assert moves == sorted(moves, key=lambda m: order_key(pc_board, m)), board.fen()
            checked += 1
            move = rng.choice(moves)
            board.push(move)
            pc_board.push_uci(move)
        while pc_board.move_stack:
            board.pop()
            pc_board.pop()
    assert checked > 30


# --- The board is left as it was ---------------------------------------------

HISTORY_LINE = ("4k2r/1P6/8/3pP3/8/8/8/R3K2R w KQk d6",
                ["e5d6", "e8g8", "b7b8q", "g8g7", "e1c1", "f8f1"])


def test_board_and_history_unchanged_after_calls(generator):
    fen, line = HISTORY_LINE
    board = orvex_chess.Board(fen)
    seen = []
    for move in line:
        assert move in generator(board)
        seen.append(snapshot(board))
        board.push(move)
        before = snapshot(board)
        first = generator(board)
        assert snapshot(board) == before
        assert generator(board) == first
    # Every move of the line still pops back to the position it was made in.
    for expected in reversed(seen):
        generator(board)
        board.pop()
        assert snapshot(board) == expected
    with pytest.raises(BaseException) as raised:
        board.pop()
    assert type(raised.value).__name__ == "PanicException"
    assert board.fen() == fen


def stacked_board(fen, pushes):
    board = orvex_chess.Board(fen)
    for move in pushes:
        board.push(move)
    return board


# Boards that ordinary chess never reaches, built by FEN and by pushes the
# board accepts without a legality check.
ODD_BOARDS = [
    ("eight-kings-each", "kkkkkkkk/8/8/8/8/8/8/KKKKKKKK w - -", []),
    ("no-kings", "rnbq1bnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQ1BNR w - -", []),
    ("empty-board", "8/8/8/8/8/8/8/8 b - -", []),
    ("queen-on-own-pawn", START_FEN, ["d1d2", "e7e5"]),
    ("king-on-own-pawn", START_FEN, ["e2e4", "e8e7"]),
    ("rook-castled-onto-enemy-knight", "4k3/8/8/8/8/8/8/4Kn1R w K -", ["e1g1"]),
    ("rook-on-own-pawn", "k7/8/8/8/8/8/P7/R3K3 w - -", ["a1a2", "a8b8"]),
]


@pytest.mark.parametrize("fen, pushes", [c[1:] for c in ODD_BOARDS],
                         ids=[c[0] for c in ODD_BOARDS])
def test_odd_boards_do_not_crash_and_stay_unchanged(generator, fen, pushes):
    board = stacked_board(fen, pushes)
    before = snapshot(board)
    first = generator(board)
    assert all(isinstance(m, str) for m in first)
    assert snapshot(board) == before
    assert generator(board) == first
    for _ in pushes:
        board.pop()
    assert board.fen() == fen


def test_kingless_side_keeps_moves_a_king_would_forbid(generator):
    # With a white king on e3 the knight is pinned; without one it is free.
    pinned = generator(orvex_chess.Board("4k3/8/8/8/8/4K3/4N3/4r3 w - -"))
    free = generator(orvex_chess.Board("4k3/8/8/8/8/8/4N3/4r3 w - -"))
    assert [m for m in pinned if m.startswith("e2")] == []
    assert free == ["e2g1", "e2g3", "e2f4", "e2d4", "e2c3", "e2c1"]


def test_candidate_the_board_refuses_is_dropped(generator):
    # A rook pushed onto its own pawn: moves from a2 are made with the pawn,
    # so the rook's a2a8 and a2a1 would be pawn moves onto the last rank
    # without a promotion piece, which the board refuses.
    board = stacked_board("k7/8/8/8/8/8/P7/R3K3 w - -", ["a1a2", "a8b8"])
    with pytest.raises(ValueError):
        board.push("a2a8")
    before = snapshot(board)
    moves = generator(board)
    assert "a2a8" not in moves and "a2a1" not in moves
    assert {"a2a7", "a2h2", "e1e2"} <= set(moves)
    assert snapshot(board) == before


# --- The call itself ------------------------------------------------------------

def test_board_by_position_and_by_keyword(generator):
    board = orvex_chess.Board(PERFT_FENS["kiwipete"])
    assert generator(board) == generator(board=board)
    assert len(generator(board=board)) == 48


BAD_CALLS = {
    "no-argument": lambda g, b: g(),
    "none": lambda g, b: g(None),
    "int": lambda g, b: g(42),
    "fen-text": lambda g, b: g(START_FEN),
    "board-class": lambda g, b: g(orvex_chess.Board),
    "generator": lambda g, b: g(g),
    "fen-text-by-keyword": lambda g, b: g(board=START_FEN),
    "wrong-keyword": lambda g, b: g(fen=b),
    "two-boards": lambda g, b: g(b, b),
    "position-and-keyword": lambda g, b: g(b, board=b),
    "extra-keyword": lambda g, b: g(board=b, depth=1),
}


@pytest.mark.parametrize("call", list(BAD_CALLS.values()), ids=list(BAD_CALLS))
def test_bad_arguments_raise_type_error(generator, call):
    board = orvex_chess.Board()
    with pytest.raises(TypeError):
        call(generator, board)
    # Neither the generator nor the board is left borrowed or changed.
    assert generator(board) == START_MOVES
    assert board.fen() == START_FEN
    board.push("e2e4")
    board.pop()


def test_each_call_returns_a_new_list(generator):
    board = orvex_chess.Board()
    first = generator(board)
    first.clear()
    assert generator(board) == START_MOVES


def test_one_generator_serves_many_boards(generator):
    boards = {name: orvex_chess.Board(fen) for name, fen in PERFT_FENS.items()}
    expected = {name: python_chess_moves(chess.Board(fen)) for name, fen in PERFT_FENS.items()}
    for _ in range(3):
        for name, board in boards.items():
            assert set(generator(board)) == expected[name]


def test_many_generators_serve_one_board():
    board = orvex_chess.Board(PERFT_FENS["position4"])
    generators = [orvex_chess.MoveGenerator() for _ in range(4)]
    results = [g(board) for g in generators]
    assert all(r == results[0] for r in results)
    assert set(results[0]) == python_chess_moves(chess.Board(PERFT_FENS["position4"]))
    # Interleave the generators along a line of play.
    for ply in range(6):
        g = generators[ply % len(generators)]
        moves = g(board)
        assert moves == generators[(ply + 1) % len(generators)](board)
        board.push(moves[ply % len(moves)])
