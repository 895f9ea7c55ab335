"""Uses the PGN reader of orvex_tools; checked by mypy --strict and run as a script."""

from __future__ import annotations

import io
import os
import sys
import tempfile
from typing import Any

import orvex_chess
import orvex_tools
from orvex_tools import (ChessEnv, Game, GameError, GameReader, TrainingBatch, TrainingBatches, read_games,
                         training_batches, write_games)

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
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "games.pgn")
        with open(path, "w") as file:
            file.write(PGN)
        batches = assert_type(orvex_tools.training_batches([path], batch_size=2, observation="uint8",
                                                           legal="ids", shuffle=0), TrainingBatches)
        batch = assert_type(next(batches), TrainingBatch)
        assert assert_type(batch.move_id, memoryview).tolist() == [
            orvex_chess.Board().move_index("e2e4", "az"), orvex_chess.Board("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1").move_index("e7e5", "az")]
        assert assert_type(batch.legal_offsets, memoryview | None) is not None
        assert assert_type(batches.skipped, int) == 1  # the second game (Ke2)
        state = assert_type(batches.state_dict(), dict[str, Any])
        assert [len(b) for b in training_batches(path, batch_size=2, shuffle=0, state=state)] == [1]


if __name__ == "__main__":
    main()
    print("ok")
