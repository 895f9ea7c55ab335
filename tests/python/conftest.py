"""Shared helpers for the Board and module tests."""

import orvex_chess

DEFAULT_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"


def _panic_type():
    # The internal-failure type is not exported; take it from a failure.
    try:
        orvex_chess.Board("x w - -")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("Board('x w - -') did not fail")


PanicException = _panic_type()


def _sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Whether the module runs under AddressSanitizer (scripts/sanitize.sh).
SANITIZED = _sanitized()


def snapshot(board):
    """Everything observable about a board except its history."""
    return board.fen(), board.bitboard()


def history_len(board):
    """Number of moves a copy of the board can take back."""
    probe = board.copy()
    count = 0
    while True:
        try:
            probe.pop()
        except PanicException:
            return count
        count += 1
        assert count < 100_000, "pop never ran out of history"
