"""Uses every class and method of orvex_chess; checked by mypy --strict and run as a script."""

from __future__ import annotations

import copy
import pickle
import sys
from typing import Literal

import orvex_chess
from orvex_chess import Board, MoveGenerator

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type


def legal_moves(generator: MoveGenerator, board: Board) -> list[str]:
    return generator(board)


def view_bits(squares: list[bool]) -> int:
    return sum(1 << s for s, on in enumerate(squares) if on)


def main() -> None:
    board = Board()
    kiwipete = Board(fen="r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -")
    generator = MoveGenerator()

    moves = assert_type(generator(board), list[str])
    assert len(moves) == 20
    assert len(legal_moves(generator, board=kiwipete)) == 48
    assert generator(board=board) == moves

    board.push("e2e4")
    board.push(chess_move="e7e5")
    fen = assert_type(board.fen(), str)
    assert fen == "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"
    assert assert_type(board.fen(counters=True), str) == fen + " 0 2"
    assert (assert_type(board.halfmove_clock(), int), assert_type(board.fullmove_number(), int)) == (0, 2)
    assert not assert_type(board.is_checkmate(), bool) and not board.can_claim_threefold_repetition()
    assert not assert_type(board.is_repetition(count=2), bool)
    assert board.outcome(claim_draw=True) is None
    mated = Board("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -").outcome()
    assert mated is not None and mated[1] == "black"
    codes = assert_type(generator.outcomes_many([board, "8/8/8/8/8/8/8/K6k w - -"], claim_draw=False),
                        memoryview)
    assert codes.tolist() == [0, 4]
    side = assert_type(board.turn(), Literal["white", "black"])
    assert side == "white"

    view = assert_type(board.bitboard(), list[list[bool]])
    assert view[0][28] and not view[0][12]
    assert Board.bitboard_from_fen(fen) == view
    assert Board.bitboard_from_fen(fen=fen) == view

    duplicate = assert_type(board.copy(), Board)
    shallow = assert_type(copy.copy(board), Board)
    deep = assert_type(copy.deepcopy(board), Board)
    text = assert_type(repr(board), str)
    rebuilt = eval(text, {"Board": Board})
    assert rebuilt.fen() == fen

    restored: Board = pickle.loads(pickle.dumps(board))
    for other in (duplicate, shallow, deep, restored):
        other.pop()
        assert other.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
    assert board.fen() == fen

    callable_, args, state = assert_type(board.__reduce__(), tuple[type[Board], tuple[str], bytes])
    blank = callable_(*args)
    blank.__setstate__(state)
    blank.__deepcopy__({})
    assert blank.copy().__copy__().fen() == fen

    san_board = Board()
    assert assert_type(san_board.san("g1f3"), str) == "Nf3"
    assert assert_type(san_board.parse_san(san="e4"), str) == "e2e4"
    assert assert_type(san_board.push_san("e4"), str) == "e2e4"
    assert assert_type(san_board.is_check(), bool) is False
    assert assert_type(san_board.zobrist(), int) == 0x823C9B50FD114196
    planes = assert_type(board.planes(), memoryview)
    assert planes.shape == (12, 8, 8) and planes.format == "B"
    out = memoryview(bytearray(768)).cast("B", (12, 8, 8))
    assert assert_type(board.planes(mirror=True, out=out), memoryview) is out
    assert assert_type(board.bitboards(), memoryview).tolist()[0] == view_bits(view[0])
    index = assert_type(board.move_index("g1f3", "az"), int)
    assert assert_type(board.index_move(index, encoding="az"), str) == "g1f3"
    indices = assert_type(generator.legal_indices(board, "lc0"), memoryview)
    mask = memoryview(bytearray(1858))  # uint8 items; a bool buffer works as well
    assert assert_type(generator.legal_mask(board, "lc0", out=mask), memoryview) is mask
    assert sum(mask.tolist()) == len(indices) == len(generator(board))
    batch = memoryview(bytearray(2 * 768)).cast("B", (2, 12, 8, 8))
    assert assert_type(generator.planes_many([board, fen], mirror=True, out=batch), memoryview) is batch
    assert assert_type(generator.mask_many((board,), "az", threads=1), memoryview).shape == (1, 4672)
    ids, offsets = assert_type(generator.indices_many([board], "lc0"), tuple[memoryview, memoryview])
    assert ids.tolist() == indices.tolist() and offsets.tolist() == [0, len(indices)]
    assert assert_type(generator.zobrist_many([board]), memoryview).tolist() == [board.zobrist()]
    assert assert_type(generator.bitboards_many([board]), memoryview).shape == (1, 12)
    assert assert_type(generator.states_many([Board()]), memoryview).tolist() == [0x1F]

    board.reflect()
    assert board.turn() == "black"

    lists = assert_type(generator.many([kiwipete, fen], threads=2), list[list[str]])
    assert lists == [generator(kiwipete), generator(Board(fen))]
    assert generator.many(positions=(f for f in [fen])) == lists[1:]
    assert assert_type(generator.perft(kiwipete, 2, threads=None), int) == 2039
    assert generator.perft(board=kiwipete, depth=0) == 1

    same_generator: MoveGenerator = pickle.loads(pickle.dumps(generator))
    assert same_generator(kiwipete) == generator(kiwipete)
    assert generator.__reduce__() == (MoveGenerator, ())
    assert orvex_chess.MoveGenerator is MoveGenerator


if __name__ == "__main__":
    main()
    print("ok")
