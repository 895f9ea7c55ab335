"""The game rules of Board against python-chess: counters, checkmate,
stalemate, insufficient material, the move-count rules, repetition and the
outcome, compared at every ply of seeded games.

The games are steered so that every termination comes up: some take back the
move before last whenever they can (repetitions), some start from bare-king
endings or with a halfmove clock near 99 or 149 (the move-count rules), and
some take a move that mates or stalemates whenever there is one.
"""

import collections
import os
import pickle
import random

import chess
import pytest

import orvex_chess

GENERATOR = orvex_chess.MoveGenerator()

# (start, how moves are chosen, plies at most); a start's clock near a limit
# brings the move-count rules within reach.
STARTS = {
    "opening": (chess.STARTING_FEN, 120),
    "kiwipete": ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 120),
    "rook-ending": ("8/8/3k4/8/8/4K3/8/6R1 w - - 90 60", 80),
    "queen-ending": ("8/8/3k4/8/8/4K3/2Q5/8 w - - 140 80", 40),
    "minor-pieces": ("8/3n4/3k4/8/8/4K3/3B4/8 b - - 0 40", 200),
    "knights": ("8/8/3k4/8/8/2N1K3/4N3/8 w - - 95 70", 30),
    "en-passant-pin": ("8/8/8/8/k2p3Q/8/4P3/4K3 w - - 0 1", 40),
}
POLICIES = ("random", "repeat", "mate", "capture")
GAMES = 2000 // (len(STARTS) * len(POLICIES)) + 1
FAST_GAMES = 3  # per start and policy in the default run


def choose(rng, board, policy):
    moves = sorted(board.legal_moves, key=lambda m: m.uci())
    if policy == "repeat" and len(board.move_stack) >= 2 and rng.random() < 0.8:
        back = board.move_stack[-2]
        undo = chess.Move(back.to_square, back.from_square)
        if undo in moves:
            return undo
    if policy == "mate":  # a move that mates, or else one that stalemates
        for move in moves:
            board.push(move)
            ends = board.is_checkmate() or board.is_stalemate()
            board.pop()
            if ends:
                return move
    if policy == "capture":
        captures = [m for m in moves if board.is_capture(m)]
        if captures and rng.random() < 0.7:
            return rng.choice(captures)
    return rng.choice(moves)


def answers_of_python_chess(board):
    outcome = board.outcome()
    claimed = board.outcome(claim_draw=True)

    def named(o):
        if o is None:
            return None
        winner = None if o.winner is None else ("white" if o.winner else "black")
        return o.termination.name.lower(), winner

    return {
        "fen": board.fen(en_passant="fen"),
        "counters": (board.halfmove_clock, board.fullmove_number),
        "is_checkmate": board.is_checkmate(),
        "is_stalemate": board.is_stalemate(),
        "is_insufficient_material": board.is_insufficient_material(),
        "is_fifty_moves": board.is_fifty_moves(),
        "is_seventyfive_moves": board.is_seventyfive_moves(),
        "is_repetition(2)": board.is_repetition(2),
        "is_repetition(3)": board.is_repetition(3),
        "is_fivefold_repetition": board.is_fivefold_repetition(),
        "can_claim_threefold_repetition": board.can_claim_threefold_repetition(),
        "can_claim_fifty_moves": board.can_claim_fifty_moves(),
        "outcome": named(outcome),
        "outcome(claim_draw=True)": named(claimed),
    }


def answers_of_ours(board):
    return {
        "fen": board.fen(counters=True),
        "counters": (board.halfmove_clock(), board.fullmove_number()),
        "is_checkmate": board.is_checkmate(),
        "is_stalemate": board.is_stalemate(),
        "is_insufficient_material": board.is_insufficient_material(),
        "is_fifty_moves": board.is_fifty_moves(),
        "is_seventyfive_moves": board.is_seventyfive_moves(),
        "is_repetition(2)": board.is_repetition(2),
        "is_repetition(3)": board.is_repetition(),
        "is_fivefold_repetition": board.is_fivefold_repetition(),
        "can_claim_threefold_repetition": board.can_claim_threefold_repetition(),
        "can_claim_fifty_moves": board.can_claim_fifty_moves(),
        "outcome": board.outcome(),
        "outcome(claim_draw=True)": board.outcome(claim_draw=True),
    }


def play(start, policy, seed, plies, seen):
    """Plays one game in lockstep; returns the first disagreement, or None."""
    rng = random.Random(seed)
    theirs = chess.Board(start)
    ours = orvex_chess.Board(start)
    for ply in range(plies + 1):
        expected = answers_of_python_chess(theirs)
        got = answers_of_ours(ours)
        if got != expected:
            wrong = {k: (got[k], expected[k]) for k in got if got[k] != expected[k]}
            return f"seed {seed} ply {ply} {theirs.fen()} moves {theirs.move_stack}: {wrong}"
        if expected["outcome(claim_draw=True)"]:
            seen[expected["outcome(claim_draw=True)"][0]] += 1
        if expected["outcome"]:
            break
        move = choose(rng, theirs, policy)
        theirs.push(move)
        ours.push(move.uci())
    return None


def run(games):
    seen = collections.Counter()
    failures = []
    for s, (name, (start, plies)) in enumerate(STARTS.items()):
        for p, policy in enumerate(POLICIES):
            for game in range(games):
                failure = play(start, policy, 1000 * (10 * s + p) + game, plies, seen)
                if failure:
                    failures.append(f"{name}/{policy}: {failure}")
    return seen, failures


TERMINATIONS = {"checkmate", "stalemate", "insufficient_material", "seventyfive_moves",
                "fivefold_repetition", "fifty_moves", "threefold_repetition"}


LONG = pytest.mark.skipif(not os.environ.get("ORVEX_LONG_TESTS"),
                          reason="about four minutes: set ORVEX_LONG_TESTS=1 to run it")


@pytest.mark.parametrize("games", [FAST_GAMES, pytest.param(GAMES, marks=LONG, id="2000-games")])
def test_rules_agree_with_python_chess_at_every_ply(games):
    seen, failures = run(games)
    assert not failures, "\n".join(failures[:5])
    assert set(seen) == TERMINATIONS, seen


def test_pickle_keeps_counters_and_repetitions():
    board = orvex_chess.Board("4k3/8/8/8/8/8/4P3/4K3 w - - 3 20")
    for move in ["e1d1", "e8d8", "d1e1", "d8e8"] * 2:
        board.push(move)
    restored = pickle.loads(pickle.dumps(board))
    assert restored.fen(counters=True) == board.fen(counters=True) == "4k3/8/8/8/8/8/4P3/4K3 w - - 11 24"
    assert restored.is_repetition(3) and not restored.is_repetition(4)
    restored.pop()
    assert restored.fen(counters=True) == "3k4/8/8/8/8/8/4P3/4K3 b - - 10 23"


@pytest.mark.parametrize("fen, move", [("4k3/8/8/8/8/8/8/4K3 b - - 0 2147483647", "e8d8"),
                                       ("4k3/8/8/8/8/8/8/4K3 w - - 2147483647 9", "e1d1")])
def test_counters_pushed_past_the_largest_read_back_as_written(fen, move):
    board = orvex_chess.Board(fen)
    board.push(move)
    counters = (board.halfmove_clock(), board.fullmove_number())
    assert max(counters) == 2**31 - 1
    again = orvex_chess.Board(board.fen(counters=True))
    assert (again.halfmove_clock(), again.fullmove_number()) == counters
    board.pop()
    assert board.fen(counters=True) == fen


@pytest.mark.parametrize("count, error", [(0, ValueError), (-1, ValueError), (2.0, TypeError),
                                          (True, TypeError), ("3", TypeError)])
def test_is_repetition_refuses_a_bad_count(count, error):
    with pytest.raises(error, match="count"):
        orvex_chess.Board().is_repetition(count)


@pytest.mark.parametrize("claim_draw", [1, None, "yes"])
def test_outcome_refuses_a_claim_draw_that_is_not_a_bool(claim_draw):
    with pytest.raises(TypeError, match="claim_draw"):
        orvex_chess.Board().outcome(claim_draw=claim_draw)


@pytest.mark.parametrize("fen, expected", [
    ("8/8/8/8/8/8/8/8 w - -", ("insufficient_material", None)),  # nothing at all
    ("8/8/8/8/8/8/6q1/8 w - -", ("stalemate", None)),          # no white king, no white moves
    ("kr5K/8/8/8/8/8/1q6/K7 w - -", ("checkmate", "black")),  # the lowest of two kings mated
    ("K6k/8/8/8/8/8/8/8 w - - 150 1", ("insufficient_material", None)),
])
def test_unusual_boards_get_an_answer(fen, expected):
    board = orvex_chess.Board(fen)
    assert board.outcome(claim_draw=True) == expected
    assert board.fen() == orvex_chess.Board(fen).fen()


# Checkmate, stalemate and outcome() stop at the first legal move they find:
# boards whose legal moves are all of one kind (the move is found there or
# nowhere), and boards whose only moves are illegal ones.
ONE_KIND_OF_MOVE = {
    "king": "8/3p4/8/n6k/8/8/1p1p1K2/8 w - - 0 1",
    "king-in-check": "K2Q1k2/8/8/8/8/7n/R7/6B1 b - - 0 1",
    "knight": "8/8/2R5/8/8/2n1K2Q/8/1n4k1 b - - 0 1",
    "knight-in-check": "8/5q2/8/4K3/8/4B3/N2Q4/3k1n2 b - - 0 1",
    "bishop": "8/8/5bq1/8/k7/8/K2p4/5B2 w - - 0 1",
    "rook-in-check": "r3K3/2b4q/p5p1/k7/8/8/8/3R4 w - - 0 1",
    "queen": "7Q/2k4P/7q/3K4/1q2n3/8/3p4/b7 w - - 0 1",
    "pawn-push": "8/6b1/4P2k/8/1q6/8/K7/3b4 w - - 0 1",
    "pawn-capture-in-check": "1K6/1q3q2/2P5/8/8/8/4kp2/5N2 w - - 0 1",
    "double-push-in-check": "8/8/7q/8/2q3p1/4K3/1n3P2/b1k5 w - - 0 1",
    "promotion": "7K/1p2Pq2/1n6/q7/8/8/4r3/3k4 w - - 0 1",
    "promotion-in-check": "8/8/8/8/4n3/7K/5p2/3R2k1 b - - 0 1",
    "en-passant": "8/8/Q7/5k2/KN1Pp2R/4B3/8/4Q3 b - d3 0 1",
    "en-passant-in-check": "7R/4B3/8/1Q1B1k1K/3Q1pP1/8/8/8 b - g3 0 1",
    "pinned-pawn": "4r3/8/3q4/2k5/8/8/1b2P1q1/4K3 w - - 0 1",
    "pinned-bishop": "K7/Q7/7k/P1R5/8/4b3/7N/1BQ5 b - - 0 1",
    "pinned-rook": "r7/8/4q1k1/8/Rq6/8/7p/K7 w - - 0 1",
    "pinned-queen": "8/3k4/8/7q/7q/8/q3pQ2/4K3 w - - 0 1",
    "none-en-passant-exposes-king": "8/Q7/8/6K1/pP6/k7/3R2R1/1Q6 b - b3 0 1",
    "none-en-passant-mate": "8/4K3/4B2B/P3Q3/1pP5/1B6/8/3k4 b - c3 0 1",
    "none-pinned-pieces": "7r/8/6q1/8/8/8/b3k2N/7K w - - 0 1",
    "none-pinned-pieces-mate": "KN3q2/1B6/8/8/8/r6k/8/7q w - - 0 1",
}


@pytest.mark.parametrize("mirror", [False, True], ids=["as-is", "mirrored"])
@pytest.mark.parametrize("fen", ONE_KIND_OF_MOVE.values(), ids=ONE_KIND_OF_MOVE.keys())
def test_first_legal_move_search_agrees_with_the_move_list(fen, mirror):
    theirs = chess.Board(fen)
    ours = orvex_chess.Board(fen)
    if mirror:
        theirs = theirs.mirror()
        ours.reflect()
    assert bool(GENERATOR(ours)) == any(theirs.legal_moves)
    rules = ("is_checkmate", "is_stalemate", "outcome")
    expected = answers_of_python_chess(theirs)
    assert {r: v for r, v in answers_of_ours(ours).items() if r in rules} == {r: expected[r] for r in rules}


CODES = {None: 0, ("checkmate", "white"): 1, ("checkmate", "black"): 2, ("stalemate", None): 3,
         ("insufficient_material", None): 4, ("seventyfive_moves", None): 5,
         ("fivefold_repetition", None): 6, ("fifty_moves", None): 7,
         ("threefold_repetition", None): 8}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("claim_draw", [False, True])
def test_outcomes_many_gives_each_outcome_as_its_code(threads, claim_draw):
    # Boards are judged with their history, FEN texts with their counters.
    rng = random.Random(5)
    boards = []
    for start, _ in STARTS.values():
        for policy in POLICIES:
            board = orvex_chess.Board(start)
            theirs = chess.Board(start)
            for _ in range(rng.randrange(120)):
                if theirs.outcome(claim_draw=True):
                    break
                move = choose(rng, theirs, policy)
                theirs.push(move)
                board.push(move.uci())
            boards.append(board)
    positions = boards + [b.fen(counters=True) for b in boards]
    codes = list(GENERATOR.outcomes_many(positions, claim_draw=claim_draw, threads=threads))
    expected = ([CODES[b.outcome(claim_draw=claim_draw)] for b in boards]
                + [CODES[orvex_chess.Board(b.fen(counters=True)).outcome(claim_draw=claim_draw)]
                   for b in boards])
    assert codes == expected
    assert set(codes) - {0} and (claim_draw or not set(codes) & {7, 8})


def test_copy_without_history_is_the_position_alone():
    board = orvex_chess.Board("4k3/8/8/8/8/8/4P3/4K3 w - - 7 30")
    for move in ["e1d1", "e8d8", "d1e1", "d8e8"] * 2:
        board.push(move)
    position = board.copy(history=False)
    assert position.fen(counters=True) == board.fen(counters=True)
    assert board.is_repetition(3) and not position.is_repetition(2)
    with pytest.raises(BaseException, match="no move to take back"):
        position.pop()
    position.push("e1d1")
    assert board.fen() == "4k3/8/8/8/8/8/4P3/4K3 w - -"
    with pytest.raises(TypeError, match="history"):
        board.copy(history=None)


# Positions that random play rarely reaches and that each rule can get wrong
# in a plausible way: (start, moves). Every rule method is compared with
# python-chess on the last position and on the one before it.
RULE_TRAPS = {
    # The first position after d2d4 has a legal en-passant capture; the same
    # pieces with the same side to move later have none: they occur twice,
    # not three times.
    "en-passant-differs": ("4k3/8/8/8/4p3/8/3P4/4K3 w - - 0 1",
                           "d2d4 e8d8 e1d1 d8e8 d1e1 e8d8 e1d1 d8e8 d1e1"),
    # The en-passant square is set but no capture is legal (the pawn is
    # pinned): the positions repeat.
    "en-passant-pinned": ("8/8/8/8/k2p3Q/8/4P3/4K3 w - - 0 1",
                          "e2e4 a4b3 h4h6 b3a4 h6h4 a4b3 h4h6 b3a4"),
    # Knight against knight, bishop or pawn can still mate; a knight alone
    # cannot.
    "knight-against-knight": ("n7/8/3k4/8/8/4K3/4N3/8 w - - 0 1", "e3d3 d6e6"),
    "knight-against-bishop": ("b7/8/3k4/8/8/4K3/4N3/8 w - - 0 1", "e3d3 d6e6"),
    "knight-against-pawn": ("8/p7/3k4/8/8/4K3/4N3/8 w - - 0 1", "e3d3 d6e6"),
    "knight-alone": ("8/8/3k4/8/8/4K3/4N3/8 w - - 0 1", "e3d3 d6e6"),
    "two-knights": ("8/8/3k4/8/8/4K3/3NN3/8 w - - 0 1", "e3d3 d6e6"),
    "bishops-on-both-colours": ("b7/8/3k4/8/8/4K3/3B4/8 w - - 0 1", "e3d3 d6e6"),
    "bishops-on-one-colour": ("b7/8/3k4/8/8/4K3/4B3/8 w - - 0 1", "e3d3 d6e6"),
    # Mate, stalemate and the move-count rules at their thresholds.
    "mate-at-149": ("7k/Q7/6K1/8/8/8/8/8 w - - 149 90", "a7g7"),
    "stalemate-at-99": ("7k/5K2/8/8/8/8/8/6Q1 w - - 99 90", "g1g6"),
    "fifty-claimed-one-move-early": ("7k/8/6K1/8/8/8/8/R7 b - - 97 90", "h8g8 a1a2"),
    "fifty-at-100": ("7k/8/6K1/8/8/8/8/R7 b - - 99 90", "h8g8"),
    "fifty-not-claimed-by-a-pawn-move": ("7k/p4K2/8/8/8/5N2/8/8 w - - 98 90", "f3g5"),
    "fourfold": ("4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", " ".join(["e1d1 e8d8 d1e1 d8e8"] * 3)),
}


@pytest.mark.parametrize("name", RULE_TRAPS)
def test_rule_traps_agree_with_python_chess(name):
    start, moves = RULE_TRAPS[name]
    theirs = chess.Board(start)
    ours = orvex_chess.Board(start)
    for move in moves.split()[:-1]:
        theirs.push_uci(move)
        ours.push(move)
    assert answers_of_ours(ours) == answers_of_python_chess(theirs)
    move = moves.split()[-1]
    theirs.push_uci(move)
    ours.push(move)
    assert answers_of_ours(ours) == answers_of_python_chess(theirs)
    assert GENERATOR.outcomes_many([ours, ours.fen(counters=True)], claim_draw=True).tolist() == [
        CODES[answers_of_python_chess(theirs)["outcome(claim_draw=True)"]],
        CODES[answers_of_python_chess(chess.Board(theirs.fen()))["outcome(claim_draw=True)"]]]
