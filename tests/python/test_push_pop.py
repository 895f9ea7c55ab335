"""Making moves with push() and taking them back with pop()."""

import random

import chess
import pytest

from orvex_chess import Board

from conftest import DEFAULT_FEN, PanicException, history_len, snapshot

AFTER_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -"
CASTLE_B = "r3k2r/8/8/8/8/8/8/R3K2R b KQkq -"

MOVES = [
    # Quiet moves, double steps and the en-passant field.
    (DEFAULT_FEN, "e2e4", AFTER_E4),
    (DEFAULT_FEN, "g1f3", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq -"),
    (AFTER_E4, "d7d5", "rnbqkbnr/ppp1pppp/8/3p4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq d6"),
    (AFTER_E4, "g8f6", "rnbqkb1r/pppppppp/5n2/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq -"),
    (AFTER_E4, "e7e6", "rnbqkbnr/pppp1ppp/4p3/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq -"),
    # A promotion letter off the last rank is ignored.
    (DEFAULT_FEN, "e2e4q", AFTER_E4),
    (DEFAULT_FEN, "e2e4N", AFTER_E4),
    # No legality check: three squares, no en passant.
    (DEFAULT_FEN, "e2e5", "rnbqkbnr/pppppppp/8/4P3/8/8/PPPP1PPP/RNBQKBNR b KQkq -"),
    # The mover need not belong to the side to move.
    (DEFAULT_FEN, "e7e5", "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR b KQkq -"),
    # Captures.
    ("4k3/8/8/3p4/4P3/8/8/4K3 w - -", "e4d5", "4k3/8/8/3P4/8/8/8/4K3 b - -"),
    ("4k3/8/8/3p4/4P3/8/8/4K3 b - -", "d5e4", "4k3/8/8/8/4p3/8/8/4K3 w - -"),
    ("4k3/8/8/8/8/8/8/q3K3 w - -", "e1a1", "4k3/8/8/8/8/8/8/K7 b - -"),
    # En passant, both colours.
    ("4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
    ("4k3/8/8/8/3Pp3/8/8/4K3 b - d3", "e4d3", "4k3/8/8/8/8/3p4/8/4K3 w - -"),
    # A pawn's diagonal step onto an empty square takes the pawn behind it.
    ("8/8/8/8/3pP3/8/8/8 w - -", "e4d5", "8/8/8/3P4/8/8/8/8 b - -"),
    # Castling, both sides, both colours; the rook moves with the king.
    (CASTLE, "e1g1", "r3k2r/8/8/8/8/8/8/R4RK1 b kq -"),
    (CASTLE, "e1c1", "r3k2r/8/8/8/8/8/8/2KR3R b kq -"),
    (CASTLE_B, "e8g8", "r4rk1/8/8/8/8/8/8/R3K2R w KQ -"),
    (CASTLE_B, "e8c8", "2kr3r/8/8/8/8/8/8/R3K2R w KQ -"),
    # A king's two-step without a rook on the corner moves the king only.
    ("4k3/8/8/8/8/8/8/R3K3 w Q -", "e1g1", "4k3/8/8/8/8/8/8/R5K1 b - -"),
    # The side to move, not the mover's colour, picks the castling rook's home rank
    # and the square of a pawn taken en passant.
    ("8/8/8/8/8/8/8/R3K2R b KQ -", "e1g1", "8/8/8/8/8/8/8/R5KR w KQ -"),
    ("r3k2r/8/8/8/8/8/8/8 w kq -", "e8c8", "r1k4r/8/8/8/8/8/8/8 b kq -"),
    ("8/8/3P4/8/4P3/8/8/8 b - -", "e4d5", "8/8/8/3P4/8/8/8/8 w - -"),
    # Castling rights lost by moving.
    (CASTLE, "h1h5", "r3k2r/8/8/7R/8/8/8/R3K3 b Qkq -"),
    (CASTLE, "a1a5", "r3k2r/8/8/R7/8/8/8/4K2R b Kkq -"),
    (CASTLE, "e1e2", "r3k2r/8/8/8/8/8/4K3/R6R b kq -"),
    (CASTLE_B, "h8h5", "r3k3/8/8/7r/8/8/8/R3K2R w KQq -"),
    (CASTLE_B, "a8a5", "4k2r/8/8/r7/8/8/8/R3K2R w KQk -"),
    (CASTLE_B, "e8d7", "r6r/3k4/8/8/8/8/8/R3K2R w KQ -"),
    # Only the rights of the side to move go when its own pieces move.
    (CASTLE_B, "h1h5", "r3k2r/8/8/7R/8/8/8/R3K3 w KQkq -"),
    # Castling rights lost by capture on the corner.
    (CASTLE, "a1a8", "R3k2r/8/8/8/8/8/8/4K2R b Kk -"),
    (CASTLE_B, "h8h1", "r3k3/8/8/8/8/8/8/R3K2r w Qq -"),
    ("r3k2r/8/6N1/8/8/8/8/R3K2R w KQkq -", "g6h8", "r3k2N/8/8/8/8/8/8/R3K2R b KQq -"),
    ("r3k2r/8/8/8/8/1n6/8/R3K2R b KQkq -", "b3a1", "r3k2r/8/8/8/8/8/8/n3K2R w Kkq -"),
    # Promotions to all four pieces, in either case, both colours.
    ("8/4P3/8/8/8/8/8/k6K w - -", "e7e8n", "4N3/8/8/8/8/8/8/k6K b - -"),
    ("8/4P3/8/8/8/8/8/k6K w - -", "e7e8b", "4B3/8/8/8/8/8/8/k6K b - -"),
    ("8/4P3/8/8/8/8/8/k6K w - -", "e7e8r", "4R3/8/8/8/8/8/8/k6K b - -"),
    ("8/4P3/8/8/8/8/8/k6K w - -", "e7e8q", "4Q3/8/8/8/8/8/8/k6K b - -"),
    ("8/4P3/8/8/8/8/8/k6K w - -", "e7e8Q", "4Q3/8/8/8/8/8/8/k6K b - -"),
    ("8/8/8/8/8/8/4p3/k6K b - -", "e2e1n", "8/8/8/8/8/8/8/k3n2K w - -"),
    ("8/8/8/8/8/8/4p3/k6K b - -", "e2e1R", "8/8/8/8/8/8/8/k3r2K w - -"),
    # Capture-promotion, also of a corner rook that takes a castling right along.
    ("3r4/4P3/8/8/8/8/8/k6K w - -", "e7d8q", "3Q4/8/8/8/8/8/8/k6K b - -"),
    ("r3k3/1P6/8/8/8/8/8/4K3 w q -", "b7a8n", "N3k3/8/8/8/8/8/8/4K3 b - -"),
    ("4k3/8/8/8/8/8/6p1/4K2R b K -", "g2h1b", "4k3/8/8/8/8/8/8/4K2b w - -"),
    # A pawn reaching its own first rank still promotes; nothing behind it is cleared.
    ("p7/8/8/8/8/8/1P6/8 w - -", "b2a1q", "p7/8/8/8/8/8/8/Q7 b - -"),
    ("8/6p1/8/8/8/8/8/7P b - -", "g7h8r", "7r/8/8/8/8/8/8/7P w - -"),
]


# A right whose corner holds no rook of its side (which python-chess would
# drop on reading) stays when another piece leaves or is taken there, and
# goes when its king moves from anywhere.
RIGHTS_WITHOUT_THEIR_ROOK = [
    ("4k3/8/8/8/8/8/8/4K2N w K -", "h1g3", "4k3/8/8/8/8/6N1/8/4K3 b K -"),
    ("4k2r/8/8/8/8/8/8/4K2N b K -", "h8h1", "4k3/8/8/8/8/8/8/4K2r w K -"),
    ("4k3/8/8/8/8/8/8/3K3R w K -", "d1d2", "4k3/8/8/8/8/8/3K4/7R b - -"),
]


@pytest.mark.parametrize("fen, move, after", MOVES + RIGHTS_WITHOUT_THEIR_ROOK)
def test_push_then_pop(fen, move, after):
    board = Board(fen)
    before = snapshot(board)
    assert board.push(move) is None
    assert board.fen() == after
    assert Board(after).bitboard() == board.bitboard()
    assert history_len(board) == 1
    assert board.pop() is None
    assert snapshot(board) == before
    assert history_len(board) == 0


@pytest.mark.parametrize(
    "fen, move",
    [(fen, move) for fen, move, _ in MOVES if chess.Move.from_uci(move.lower()) in chess.Board(fen).legal_moves],
)
def test_legal_moves_agree_with_python_chess(fen, move):
    board = Board(fen)
    board.push(move)
    oracle = chess.Board(fen)
    oracle.push_uci(move.lower())
    placement, side, castling, _ = board.fen().split()
    assert placement == oracle.board_fen()
    assert side == ("w" if oracle.turn else "b")
    assert castling == oracle.castling_xfen()


def test_en_passant_field_lasts_one_move():
    board = Board()
    board.push("e2e4")
    assert board.fen().endswith(" b KQkq e3")
    board.push("b8c6")
    assert board.fen().endswith(" w KQkq -")
    board.push("d2d4")
    board.push("f7f5")
    assert board.fen().endswith(" w KQkq f6")


@pytest.mark.parametrize(
    "fen, earlier, move",
    [
        ("4k3/4P3/8/8/8/8/8/4K3 w - -", None, "e7e8"),
        ("8/4P3/8/8/8/8/8/k6K b - -", "a1b1", "e7e8"),
        ("p7/8/8/8/8/8/1P6/8 w - -", None, "b2a1"),
        ("8/8/8/8/8/8/4p3/k6K w - -", "h1g1", "e2e1"),
        ("3r4/4P3/8/8/8/8/8/k6K b - -", "a1a2", "e7d8"),
        # Either last rank, for either colour.
        ("8/4p3/8/8/8/8/8/k6K b - -", None, "e7e8"),
    ],
)
def test_pawn_to_last_rank_needs_a_promotion_letter(fen, earlier, move):
    board = Board(fen)
    if earlier:
        board.push(earlier)
    before = snapshot(board)
    with pytest.raises(ValueError) as info:
        board.push(move)
    assert str(info.value) == (
        f"Invalid chess move: {move} moves a pawn to the last rank and needs a "
        "promotion piece (n, b, r or q)"
    )
    assert snapshot(board) == before
    assert history_len(board) == (1 if earlier else 0)
    if earlier:
        board.pop()
        assert board.fen() == fen


NOTATION = "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "

BAD_MOVES = [
    ("e2e", ValueError, NOTATION + "e2e"),
    ("e2e4qq", ValueError, NOTATION + "e2e4qq"),
    ("", ValueError, NOTATION),
    ("e2", ValueError, NOTATION + "e2"),
    ("\U0001f600\U0001f600", ValueError, NOTATION + "\U0001f600\U0001f600"),
    ("e2e4\u00e9", ValueError, NOTATION + "e2e4\u00e9"),
    ("e2e4x", ValueError, "Invalid chess move: Unsupported promotion type"),
    ("e2e4 ", ValueError, "Invalid chess move: Unsupported promotion type"),
    ("e2e4k", ValueError, "Invalid chess move: Unsupported promotion type"),
    ("\u00e92e4", ValueError, "Invalid chess move: Unsupported promotion type"),
    ("e\U0001f600", ValueError, "Invalid chess move: Unsupported promotion type"),
    ("E2E4", PanicException, "assertion failed: from_file <= 7"),
    ("i2e4", PanicException, "assertion failed: from_file <= 7"),
    ("\u00e9\u00e9", PanicException, "assertion failed: from_file <= 7"),
    ("e9e4", PanicException, "assertion failed: from_rank <= 7"),
    ("e0e4", PanicException, "assertion failed: from_rank <= 7"),
    ("e2i4", PanicException, "assertion failed: to_file <= 7"),
    ("e2E4", PanicException, "assertion failed: to_file <= 7"),
    ("e2e9", PanicException, "assertion failed: to_rank <= 7"),
    ("e2e0", PanicException, "assertion failed: to_rank <= 7"),
    ("\u01652eq", PanicException, "assertion failed: to_rank <= 7"),
    # The parser runs before the from-square is looked at.
    ("e3e9", PanicException, "assertion failed: to_rank <= 7"),
]


@pytest.mark.parametrize("text, error, message", BAD_MOVES)
def test_bad_move_text(text, error, message):
    board = Board()
    board.push("d2d4")
    before = snapshot(board)
    with pytest.raises(error) as info:
        board.push(text)
    assert type(info.value) is error
    assert str(info.value) == message
    assert snapshot(board) == before
    assert history_len(board) == 1


# Regression: the "Found: " message was cut at an embedded NUL and mangled lone surrogates.
@pytest.mark.parametrize("text", ["e2\x00", "\x00e2e4x", "e2e\ud800"])
def test_notation_error_keeps_nul_and_surrogates(text):
    with pytest.raises(ValueError) as info:
        Board().push(text)
    assert str(info.value) == NOTATION + text


@pytest.mark.parametrize("text", ["\U0001f600", "\u0165\u0132"])
def test_too_few_characters_fail_on_index(text):
    board = Board()
    with pytest.raises(PanicException, match="index"):
        board.push(text)
    assert snapshot(board) == snapshot(Board())


@pytest.mark.parametrize("move", ["e3e4", "a3a4", "e2e3", "d5d6q", "e6e8"])
def test_push_from_empty_square(move):
    board = Board()
    board.push("e2e4")
    before = snapshot(board)
    with pytest.raises(PanicException, match="^missing value:"):
        board.push(move)
    assert snapshot(board) == before
    assert history_len(board) == 1


def test_pop_without_history():
    board = Board(CASTLE)
    with pytest.raises(PanicException, match="^missing value:"):
        board.pop()
    assert board.fen() == CASTLE
    board.push("e1g1")
    board.pop()
    with pytest.raises(PanicException, match="^missing value:"):
        board.pop()
    assert board.fen() == CASTLE


# Random round trips: long sequences of pushes, then pops all the way back.

START_POSITIONS = [
    DEFAULT_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "4k3/1P4P1/8/3pP3/8/8/1p4p1/R3K2R w KQ d6",
]

JUNK_TEXTS = ["", "e2", "e2e4x", "E2E4", "e9e1", "a1i1", "h8h0", "\U0001f600", "a1a1qq"]


def _occupied(view):
    return [s for s in range(64) if any(view[kind][s] for kind in range(12))]


def _square_name(square):
    return "abcdefgh"[square % 8] + str(square // 8 + 1)


def _consistent(board, oracle):
    """Whether python-chess sees the same placement and castling rights."""
    view = board.bitboard()
    if any(sum(view[kind][s] for kind in range(12)) > 1 for s in range(64)):
        return False
    placement, _, castling, _ = board.fen().split()
    return placement == oracle.board_fen() and castling == oracle.castling_xfen()


@pytest.mark.parametrize("index", range(len(START_POSITIONS)))
def test_random_round_trip(index):
    rng = random.Random(9000 + index)
    fen = START_POSITIONS[index]
    board = Board(fen)
    oracle = chess.Board(fen)
    in_step = _consistent(board, oracle)
    assert in_step
    states = [snapshot(board)]
    legal_checked = 0

    for _ in range(400):
        roll = rng.random()
        legal = list(oracle.legal_moves)
        if roll < 0.08:
            text = rng.choice(JUNK_TEXTS)
            with pytest.raises((ValueError, PanicException)):
                board.push(text)
            assert snapshot(board) == states[-1]
            continue
        if roll < 0.25 or not legal:
            view = board.bitboard()
            start = rng.choice(_occupied(view))
            target = rng.randrange(64)
            text = _square_name(start) + _square_name(target)
            pawn = view[0][start] or view[6][start]
            if (pawn and target // 8 in (0, 7)) or rng.random() < 0.1:
                text += rng.choice("nbrqNBRQ")
            board.push(text)
            oracle = chess.Board(board.fen())
            in_step = _consistent(board, oracle)
        else:
            move = rng.choice(legal)
            board.push(move.uci())
            oracle.push(move)
            if in_step:
                placement, side, castling, _ = board.fen().split()
                assert placement == oracle.board_fen(), move.uci()
                assert castling == oracle.castling_xfen(), move.uci()
                assert side == ("w" if oracle.turn else "b")
                legal_checked += 1
        states.append(snapshot(board))

    assert len(states) > 300
    assert legal_checked > 50

    # A copy at the top takes back the first half without touching the board.
    clone = board.copy()
    half = len(states) // 2
    for expected in reversed(states[half:-1]):
        clone.pop()
        assert snapshot(clone) == expected
    assert snapshot(board) == states[-1]

    for expected in reversed(states[:-1]):
        board.pop()
        assert snapshot(board) == expected
    with pytest.raises(PanicException):
        board.pop()
    assert board.fen() == fen
