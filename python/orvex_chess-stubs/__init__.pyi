"""Fast, exact chess move generation: Board and MoveGenerator.

Bad FEN or move text raises ValueError. A broken internal check (an unreadable
FEN placement character, a missing FEN field, a move from an empty square,
popping with no move made) raises PanicException, which derives from
BaseException, not Exception, and is not an attribute of this module.
"""

from collections.abc import Iterable
from typing import Any, Literal, final

@final
class Board:
    """A chess position read from FEN text, with moves pushed and popped."""

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -") -> Board:
        """Returns the position of the first four FEN fields; raises ValueError or PanicException on bad FEN."""
    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """Returns 12 lists (kinds PNBRQKpnbrqk) of 64 booleans (a1..h8) read from the FEN placement; raises PanicException on a bad placement."""
    def fen(self) -> str:
        """Returns the position as four FEN fields, without move counters; raises nothing."""
    def push(self, chess_move: str) -> None:
        """Makes the move in coordinate notation (e2e4, e7e8q) without checking legality; raises ValueError or PanicException on bad move text."""
    def pop(self) -> None:
        """Takes back the last pushed move; raises PanicException when there is none."""
    def bitboard(self) -> list[list[bool]]:
        """Returns 12 lists (kinds PNBRQKpnbrqk) of 64 booleans (a1..h8); raises nothing."""
    def turn(self) -> Literal["white", "black"]:
        """Returns the side to move; raises nothing."""
    def reflect(self) -> None:
        """Mirrors the position and swaps the colours in place, dropping the history; raises nothing."""
    def copy(self) -> Board:
        """Returns an independent duplicate, history included; raises nothing."""
    def san(self, move: str) -> str:
        """Returns the SAN of a legal move given in coordinate notation (g1f3 -> Nf3); raises ValueError for a move that is not legal here."""
    def parse_san(self, san: str) -> str:
        """Returns the coordinate notation of the one legal move the SAN text names; raises ValueError for unreadable text or no or several moves."""
    def push_san(self, san: str) -> str:
        """Makes the one legal move the SAN text names and returns it in coordinate notation; raises ValueError as parse_san, leaving the board unchanged."""
    def is_check(self) -> bool:
        """Returns whether the side to move's king (the lowest one if several) is attacked; raises nothing."""
    def zobrist(self) -> int:
        """Returns the 64-bit Polyglot opening-book key of the position; raises nothing."""
    def __copy__(self) -> Board:
        """Returns the same duplicate as copy(); raises nothing."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> Board:
        """Returns the same duplicate as copy(); raises nothing."""
    def __reduce__(self) -> tuple[type[Board], tuple[str], bytes]:
        """Returns (Board, (fen,), state) for pickle, state holding the whole record; raises nothing."""
    def __setstate__(self, state: bytes, /) -> None:
        """Replaces the whole record with one from __reduce__; raises ValueError on bad bytes, leaving the board unchanged."""
    def __repr__(self) -> str:
        """Returns "Board('<fen>')", which rebuilds the position (the history aside); raises nothing."""

@final
class MoveGenerator:
    """Sliding-attack tables built once; called with a Board for its legal moves."""

    def __new__(cls) -> MoveGenerator:
        """Returns a generator with its attack tables built; raises nothing."""
    def __call__(self, board: Board) -> list[str]:
        """Returns the legal moves of the side to move in a fixed order, leaving the board as it was; raises nothing of its own."""
    def many(self, positions: Iterable[Board | str], *, threads: int | None = None) -> list[list[str]]:
        """Returns each position's legal moves, as the call gives them, computed on threads (None: one per core) without the interpreter lock; raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    def perft(self, board: Board, depth: int, *, threads: int | None = None) -> int:
        """Returns the number of move sequences of exactly depth (0 to 64) plies, counted on threads (None: one per core) without the interpreter lock, leaving the board as it was; raises ValueError, TypeError, RuntimeError if the board is in use, KeyboardInterrupt on Ctrl-C."""
    def __reduce__(self) -> tuple[type[MoveGenerator], tuple[()]]:
        """Returns (MoveGenerator, ()) so that pickle builds a new generator; raises nothing."""
