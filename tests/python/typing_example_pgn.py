"""Uses the PGN reader of orvex_tools; checked by mypy --strict and run as a script."""

from __future__ import annotations

import io
import sys

import orvex_chess
import orvex_tools
from orvex_tools import ChessEnv, Game, GameError, GameReader, read_games, write_games

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

PGN = '[Event "x"]\n\n1. e4 e5 2. Nf3 1-0\n\n1. Ke2 *\n'


def main() -> None:
    reader = assert_type(read_games(io.StringIO(PGN), errors="skip", threads=None), GameReader)
    with reader as games:
        for game in games:
            game = assert_type(game, Game)
            assert assert_type(game.moves, list[str]) == ["e2e4", "e7e5", "g1f3"]
            assert assert_type(game.tags, dict[str, str]) == {"Event": "x"}
            assert assert_type(game.index, int) == 0 and assert_type(game.line, int) == 1
            assert assert_type(game.result, str) == "1-0"
            board = assert_type(game.board(), orvex_chess.Board)
            assert board.fen() == assert_type(game.fen, str)
    assert assert_type(reader.skipped, int) == 1
    (error,) = assert_type(reader.errors, list[GameError])
    assert (error.index, error.line, error.text) == (1, 5, "Ke2")
    assert assert_type(error.message, str) == str(error)
    binary = orvex_tools.read_games(io.BytesIO(PGN.encode()), errors="raise", threads=2,
                                    max_game_bytes=1 << 20)
    assert next(binary).result == "1-0"
    binary.close()
    out = io.StringIO()
    first = next(read_games(io.StringIO(PGN)))
    written = write_games(out, [first, ({"White": "A"}, None, ("d2d4",), "*")])
    assert assert_type(written, int) == 2
    assert [game.moves for game in read_games(io.StringIO(out.getvalue()))] == [
        ["e2e4", "e7e5", "g1f3"], ["d2d4"]]
    env = ChessEnv(2, threads=1, observation="bits", autoreset=True, illegal="lose")
    env.reset(seed=0)
    env.step(assert_type(env.sample_actions(rng_seed=1), memoryview))
    assert assert_type(env.observation, memoryview).shape == (2, 119)
    assert len(assert_type(env.moves(0), list[str])) == 1
    assert assert_type(env.board(1), orvex_chess.Board).fen() != orvex_chess.Board().fen()


if __name__ == "__main__":
    main()
    print("ok")
