"""Differential tests: our legal moves against python-chess on positions reached by play.

Seeded random games are played in lockstep on one of our boards and on a
python-chess board. At every ply the set of our move strings must equal
python-chess's legal moves in UCI, the list must hold no duplicate, and the
generator call must leave the board untouched. Move choice is biased toward
promotions, en passant, castling, captures, checks and pawn moves so that the
games keep reaching the rarer rules; a final test checks that they did.
"""

import collections
import random

import chess
import pytest

import orvex_chess
from chess_helpers import PERFT_FENS, fen_core, python_chess_moves, snapshot

START_POSITIONS = dict(PERFT_FENS)
# Pawns a step from promotion on both sides, rooks on their corners for
# castling and for capture-promotions.
START_POSITIONS["promotion-race"] = "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq -"
# Pawns only: double pushes, en passant and, later, promotions.
START_POSITIONS["pawn-walls"] = "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - -"

GAMES_PER_START = 6
MAX_PLIES = 80
BASE_SEED = 8_531

KINDS = ("promotion", "en passant", "castling", "check")


class Record:
    def __init__(self):
        self.positions = 0
        self.mismatches = []   # (seed, ply, fen, missing, extra)
        self.duplicates = []   # (seed, ply, fen, repeated moves)
        self.disturbed = []    # (seed, ply, fen) where the call changed the board
        self.desyncs = []      # (seed, ply, ours, python-chess's)
        self.kinds = collections.Counter()


def choose_move(rng, pc_board):
    moves = sorted(pc_board.legal_moves, key=lambda m: m.uci())
    special = [m for m in moves
               if m.promotion or pc_board.is_en_passant(m) or pc_board.is_castling(m)]
    if special and rng.random() < 0.7:
        return rng.choice(special)
    roll = rng.random()
    if roll < 0.25:
        pool = [m for m in moves if pc_board.is_capture(m)]
    elif roll < 0.45:
        pool = [m for m in moves if pc_board.gives_check(m)]
    elif roll < 0.75:
        pool = [m for m in moves if pc_board.piece_type_at(m.from_square) == chess.PAWN]
    else:
        pool = moves
    return rng.choice(pool or moves)


def play_game(generator, fen, seed, record):
    rng = random.Random(seed)
    board = orvex_chess.Board(fen)
    pc_board = chess.Board(fen)
    for ply in range(MAX_PLIES):
        if fen_core(board.fen()) != fen_core(pc_board.fen()):
            record.desyncs.append((seed, ply, board.fen(), pc_board.fen()))
            return
        before = snapshot(board)
        ours = generator(board)
        if snapshot(board) != before:
            record.disturbed.append((seed, ply, before[0]))
        record.positions += 1

        expected = python_chess_moves(pc_board)
        if len(set(ours)) != len(ours):
            repeated = sorted(m for m, n in collections.Counter(ours).items() if n > 1)
            record.duplicates.append((seed, ply, before[0], repeated))
        if set(ours) != expected:
            record.mismatches.append((seed, ply, before[0],
                                      sorted(expected - set(ours)),
                                      sorted(set(ours) - expected)))

        for move in pc_board.legal_moves:
            if move.promotion:
                record.kinds["promotion"] += 1
            if pc_board.is_en_passant(move):
                record.kinds["en passant"] += 1
            if pc_board.is_castling(move):
                record.kinds["castling"] += 1
        if pc_board.is_check():
            record.kinds["check"] += 1

        if not expected or pc_board.is_insufficient_material():
            return
        move = choose_move(rng, pc_board)
        board.push(move.uci())
        pc_board.push(move)


@pytest.fixture(scope="module")
def records():
    generator = orvex_chess.MoveGenerator()
    played = {}

    def get(name):
        if name not in played:
            record = Record()
            index = sorted(START_POSITIONS).index(name)
            for game in range(GAMES_PER_START):
                play_game(generator, START_POSITIONS[name],
                          BASE_SEED + 100 * index + game, record)
            played[name] = record
        return played[name]

    return get


@pytest.mark.parametrize("name", sorted(START_POSITIONS))
def test_move_sets_agree_with_python_chess(records, name):
    record = records(name)
    assert record.positions > GAMES_PER_START
    assert record.desyncs == []
    assert record.mismatches[:5] == []


@pytest.mark.parametrize("name", sorted(START_POSITIONS))
def test_no_duplicate_moves(records, name):
    assert records(name).duplicates[:5] == []


@pytest.mark.parametrize("name", sorted(START_POSITIONS))
def test_generation_leaves_board_unchanged(records, name):
    assert records(name).disturbed[:5] == []


def test_games_cover_the_special_rules(records):
    total = Record()
    for name in START_POSITIONS:
        record = records(name)
        total.positions += record.positions
        total.kinds.update(record.kinds)
    # Enough positions to mean something, and every rare rule exercised.
    assert total.positions >= 2000
    for kind in KINDS:
        assert total.kinds[kind] > 0, f"no position with {kind} was compared"


# --- Boards with several kings or none -----------------------------------------
# Ordinary chess has no rule for these; the library's is: only the king on the
# lowest square is kept out of check, and a side without a king keeps every
# candidate. The oracle applies that rule to python-chess's pseudo-legal moves.

PIECE_POOL = "QRRBBNNPPPP"


def random_odd_position(rng, mover_kings):
    squares = list(range(64))
    rng.shuffle(squares)
    pc_board = chess.Board(None)
    mover = rng.choice([chess.WHITE, chess.BLACK])
    for _ in range(mover_kings):
        pc_board.set_piece_at(squares.pop(), chess.Piece(chess.KING, mover))
    pc_board.set_piece_at(squares.pop(), chess.Piece(chess.KING, not mover))
    for colour in (chess.WHITE, chess.BLACK):
        for symbol in rng.sample(PIECE_POOL, rng.randint(2, 7)):
            piece = chess.Piece.from_symbol(symbol if colour else symbol.lower())
            square = squares.pop()
            if piece.piece_type == chess.PAWN and chess.square_rank(square) in (0, 7):
                continue
            pc_board.set_piece_at(square, piece)
    pc_board.turn = mover
    return pc_board


def lowest_king_rule(pc_board):
    mover = pc_board.turn
    kept = set()
    for move in pc_board.pseudo_legal_moves:
        pc_board.push(move)
        kings = pc_board.pieces_mask(chess.KING, mover)
        safe = not kings or not pc_board.is_attacked_by(not mover, chess.lsb(kings))
        pc_board.pop()
        if safe:
            kept.add(move.uci())
    return kept


@pytest.mark.parametrize("mover_kings", [0, 1, 2, 3])
def test_odd_king_counts_follow_the_lowest_king_rule(mover_kings):
    # One king is the ordinary case, here on boards where the other side may
    # already stand in check.
    generator = orvex_chess.MoveGenerator()
    rng = random.Random(BASE_SEED + mover_kings)
    filtered = 0
    for _ in range(150):
        pc_board = random_odd_position(rng, mover_kings)
        fen = " ".join(pc_board.fen().split()[:4])
        board = orvex_chess.Board(fen)
        ours = generator(board)
        assert board.fen() == fen
        assert len(set(ours)) == len(ours), fen
        expected = lowest_king_rule(pc_board)
        assert set(ours) == expected, fen
        filtered += len(expected) < pc_board.pseudo_legal_moves.count()
    # With a king to keep safe, the rule must actually have removed moves.
    assert (filtered > 10) == (mover_kings > 0)
