"""Chess960 games in PGN against python-chess: reading, writing and round trips
of seeded random games from many start positions, the Variant tag and FEN
forms that make a game Chess960, and the encodings of Chess960 castling."""

import io
import random

import chess
import chess.pgn
import pytest

import orvex_chess
from orvex_tools import read_games, write_games
from orvex_tools.pgn_writer import format_game

START_NUMBERS = [0, 518, 959] + random.Random(9600).sample(range(960), 21)
RESULTS = ("1-0", "0-1", "1/2-1/2", "*")


def random_960_game(number, plies=70):
    """A python-chess game of random legal moves from start position number,
    castling whenever it can (so that every game castles on some side)."""
    rng = random.Random(number)
    board = chess.Board.from_chess960_pos(number)
    for _ in range(rng.randrange(plies // 2, plies)):
        moves = list(board.legal_moves)
        if not moves or board.is_game_over(claim_draw=False):
            break
        castlings = [m for m in moves if board.is_castling(m)]
        board.push(rng.choice(castlings or moves))
    game = chess.pgn.Game.from_board(board)
    game.headers["Event"] = f"Chess960 {number}"
    game.headers["Result"] = rng.choice(RESULTS)
    return game


def san_words(movetext):
    """The SAN moves of a movetext: its words without move numbers and result."""
    return [w for w in movetext.split() if not w[0].isdigit() and w != "*"]


@pytest.fixture(scope="module")
def games():
    return [random_960_game(number) for number in START_NUMBERS]


def test_read_write_round_trips_match_python_chess(games):
    text = "\n\n".join(str(game) for game in games) + "\n"
    read = list(read_games(io.StringIO(text)))
    assert len(read) == len(games)
    for ours, theirs in zip(read, games):
        start = theirs.board()
        assert start.chess960 and theirs.headers["Variant"] == "Chess960"
        assert ours.chess960
        assert ours.fen == " ".join(start.fen(en_passant="fen").split()[:4])
        assert ours.moves == [m.uci() for m in theirs.mainline_moves()]
        assert ours.result == theirs.headers["Result"]
        assert ours.board().chess960() and ours.board().fen() == ours.fen

    written = io.StringIO()
    assert write_games(written, read) == len(read)
    back = list(read_games(io.StringIO(written.getvalue())))

    def record(game):  # the start is always written as SetUp and FEN tags
        tags = {name: value for name, value in game.tags.items() if name not in ("SetUp", "FEN")}
        return tags, game.fen, game.moves, game.result, game.chess960

    assert [record(g) for g in back] == [record(g) for g in read]

    stream = io.StringIO(written.getvalue())
    for ours, theirs in zip(read, games):
        again = chess.pgn.read_game(stream)
        assert again.headers["Variant"] == "Chess960" and again.board().chess960
        assert again.board().fen() == theirs.board().fen()
        assert list(again.mainline_moves()) == list(theirs.mainline_moves())
        assert again.headers["Result"] == ours.result
        # The SAN written is python-chess's, castlings included.
        movetext = format_game(ours).split("\n\n")[1]
        assert san_words(movetext) == san_words(theirs.accept(chess.pgn.StringExporter(headers=False)))


def test_games_castle_on_both_sides(games):
    kinds = set()
    for game in games:
        board = game.board()
        for move in game.mainline_moves():
            if board.is_castling(move):
                kinds.add(board.is_kingside_castling(move))
            board.push(move)
    assert kinds == {True, False}


@pytest.mark.parametrize("variant", ["Chess960", "chess 960", "FISCHERANDOM", "Fischer Random"])
def test_variant_spellings_read_chess960(variant):
    text = f'[Variant "{variant}"]\n\n1. e4 e5 2. Nf3 Nf6 3. Bc4 Bc5 4. O-O O-O 1-0\n'
    game = next(iter(read_games(io.StringIO(text))))
    assert game.chess960 and game.fen == chess.STARTING_FEN.rsplit(" ", 2)[0]
    assert game.moves[-2:] == ["e1h1", "e8h8"]
    assert game.board().chess960()


@pytest.mark.parametrize("fen, chess960", [
    # Rooks named by their files.
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1", True),
    ("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", True),
    # KQkq kept for a king off the e file.
    ("qrkbbnrn/pppppppp/8/8/8/8/PPPPPPPP/QRKBBNRN w KQkq - 0 1", True),
    # Standard chess: rights at home, or dropped as standard chess drops them
    # (a king at home whose rook left its corner: a careless standard FEN).
    ("r3k1r1/8/8/8/8/8/8/R3K1R1 w KQkq - 0 1", False),
    (chess.STARTING_FEN, False),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", False),
    ("4k3/8/8/8/8/8/8/R3K2R w KQkq - 0 1", False),
])
def test_fen_tags_that_only_chess960_reads(fen, chess960):
    game = next(iter(read_games(io.StringIO(f'[FEN "{fen}"]\n\n*\n'))))
    assert game.chess960 == chess960
    expected = chess.Board(fen, chess960=chess960)
    assert game.fen == " ".join(expected.fen(en_passant="fen").split()[:4])
    assert sorted(orvex_chess.MoveGenerator()(game.board())) == sorted(m.uci() for m in expected.legal_moves)


def test_other_variants_stay_refused():
    text = '[Variant "Atomic"]\n\n1. e4 *\n'
    with pytest.raises(ValueError, match="unsupported variant 'Atomic'"):
        list(read_games(io.StringIO(text)))


def test_tuple_records_with_a_chess960_variant_tag_are_written_as_chess960():
    fen = "1r2k2r/8/8/8/8/8/8/R3K1R1 w KQkq - 0 1"
    text = format_game(({"Variant": "fischer random"}, fen, ["e1g1", "e8b8"], "*"))
    assert '[Variant "Chess960"]' in text and f'[FEN "{fen}"]' in text
    assert san_words(text.split("\n\n")[1]) == ["O-O", "O-O-O"]
    # A standard start of a Chess960 game keeps its tags: the variant decides.
    text = format_game(({"Variant": "Chess960"}, None, ["e2e4"], "*"))
    game = next(iter(read_games(io.StringIO(text))))
    assert game.chess960 and game.fen == chess.STARTING_FEN.rsplit(" ", 2)[0]


# The same castling on the queen side, king on e1 and rook on a1, and king
# beside its rook.
@pytest.mark.parametrize("fen, castling, queen_move", [
    ("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", "e1g1", "e1g1"),
    ("1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1", "e1b1", "e1b1"),
    ("rk5r/8/8/8/8/8/8/RK5R b KQkq - 0 1", "b8a8", "b8a8"),
    ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1h1", "e1h1"),
])
def test_castling_is_encoded_as_the_king_onto_its_rook(fen, castling, queen_move):
    board = orvex_chess.Board(fen, chess960=True)
    generator = orvex_chess.MoveGenerator()
    assert castling in generator(board)
    # A queen on the king's square makes the plain move of the same squares.
    square = chess.parse_square(castling[:2])
    plain = chess.Board(fen.split()[0] + " " + fen.split()[1] + " - - 0 1")
    plain.set_piece_at(square, chess.Piece(chess.QUEEN, plain.turn))
    plain.remove_piece_at(chess.parse_square(castling[2:]))
    plain_board = orvex_chess.Board(plain.fen())
    for encoding in ("az", "lc0"):
        index = board.move_index(castling, encoding)
        assert index == plain_board.move_index(queen_move, encoding)
        assert board.index_move(index, encoding) == castling
        ids = generator.legal_indices(board, encoding).tolist()
        assert index in ids and len(set(ids)) == len(ids)


def test_the_king_s_two_square_move_is_no_chess960_castling():
    board = orvex_chess.Board("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", chess960=True)
    for encoding in ("az", "lc0"):
        with pytest.raises(ValueError, match="a king cannot move from e1 to g1"):
            board.move_index("e1g1", encoding)


@pytest.mark.parametrize("number", START_NUMBERS[:8])
def test_move_ids_of_random_games_are_distinct_and_invert(number):
    generator = orvex_chess.MoveGenerator()
    board = orvex_chess.Board(random_960_game(number).board().fen(), chess960=True)
    for move in random_960_game(number).mainline_moves():
        moves = generator(board)
        for encoding in ("az", "lc0"):
            ids = [board.move_index(m, encoding) for m in moves]
            assert ids == generator.legal_indices(board, encoding).tolist()
            assert len(set(ids)) == len(ids)
            assert [board.index_move(i, encoding) for i in ids] == moves
        board.push(move.uci())


def test_training_batches_skip_chess960_games(tmp_path):
    pytest.importorskip("numpy")
    from orvex_tools import training_batches

    path = tmp_path / "games.pgn"
    path.write_text('[Result "1-0"]\n\n1. e4 e5 1-0\n\n'
                    '[Variant "Chess960"]\n[Result "1-0"]\n\n1. e4 e5 2. Nf3 1-0\n')
    batches = training_batches(path, batch_size=16, shuffle=0, threads=1)
    assert sum(len(batch.move_id) for batch in batches) == 2
    assert batches.skipped == 1
    assert batches.errors[0].message.endswith("game 1 (line 5): unsupported variant 'Chess960' on line 5")


def test_pgn_command_passes_chess960_games_through(tmp_path):
    from test_cli import run

    game = random_960_game(300)
    path = tmp_path / "game.pgn"
    path.write_text(str(game) + "\n")
    moves = run("pgn", str(path), "--no-progress").stdout.split()
    assert moves == [m.uci() for m in game.mainline_moves()]
    san = run("pgn", str(path), "--san", "--no-progress").stdout.split()
    assert san == san_words(game.accept(chess.pgn.StringExporter(headers=False)))
    written = chess.pgn.read_game(io.StringIO(run("pgn", str(path), "--write-pgn", "--no-progress").stdout))
    assert written.board().chess960 and list(written.mainline_moves()) == list(game.mainline_moves())
