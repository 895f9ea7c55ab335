"""Fast, exact chess move generation: Board and MoveGenerator.

Bad FEN or move text raises ValueError. A broken internal check (an unreadable
FEN placement character, a missing FEN field, a move from an empty square,
popping with no move made) raises PanicException, which derives from
BaseException, not Exception, and is not an attribute of this module.
"""

from collections.abc import Iterable
from typing import Any, Literal, TypeVar, final, overload

from typing_extensions import Buffer

# The policy encodings of move_index, index_move, legal_indices, legal_mask and
# the many-position forms:
# "az" (8 x 8 x 73 = 4672 ids, as pgx numbers them), "lc0" (1858 moves).
_Encoding = Literal["az", "lc0"]
# A caller's out= buffer, returned as given after it is filled.
_Out = TypeVar("_Out", bound=Buffer)
# How a game ended, as outcome() names it.
_Termination = Literal["checkmate", "stalemate", "insufficient_material", "seventyfive_moves",
                       "fivefold_repetition", "fifty_moves", "threefold_repetition"]

@final
class Board:
    """A chess position read from FEN text, with moves pushed and popped."""

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", *, chess960: bool = False) -> Board:
        """Returns the position of the FEN text (the counters from fields five and six when well formed, else 0 and 1); with chess960 the castling field may name rooks by file (X-FEN, Shredder-FEN) and castling follows the Chess960 rules, written king-takes-rook (e1h1); raises ValueError or PanicException on bad FEN."""
    def chess960(self) -> bool:
        """Returns whether the board follows the Chess960 castling rules; raises nothing."""
    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """Returns 12 lists (kinds PNBRQKpnbrqk) of 64 booleans (a1..h8) read from the FEN placement; raises PanicException on a bad placement."""
    def fen(self, *, counters: bool = False, shredder: bool = False) -> str:
        """Returns the position as four FEN fields, or six with counters (halfmove clock, fullmove number, each written as at most 2**31 - 1, the largest Board(fen) reads); a Chess960 board writes its castling field in X-FEN, or with shredder in file letters (HAha); raises TypeError on a non-bool argument."""
    def halfmove_clock(self) -> int:
        """Returns the plies since the last capture or pawn move; raises nothing."""
    def fullmove_number(self) -> int:
        """Returns the move number, from 1, counted up after each black move; raises nothing."""
    def is_checkmate(self) -> bool:
        """Returns whether the side to move is in check and has no legal move; raises nothing."""
    def is_stalemate(self) -> bool:
        """Returns whether the side to move is not in check and has no legal move; raises nothing."""
    def is_insufficient_material(self) -> bool:
        """Returns whether neither side has the material to mate (python-chess's definition); raises nothing."""
    def is_fifty_moves(self) -> bool:
        """Returns whether the halfmove clock is at least 100 and a legal move exists; raises nothing."""
    def is_seventyfive_moves(self) -> bool:
        """Returns whether the halfmove clock is at least 150 and a legal move exists; raises nothing."""
    def is_repetition(self, count: int = 3) -> bool:
        """Returns whether the position has occurred at least count times since the board was built; raises ValueError for count below 1, TypeError for a non-int."""
    def is_fivefold_repetition(self) -> bool:
        """Returns is_repetition(5); raises nothing."""
    def can_claim_threefold_repetition(self) -> bool:
        """Returns whether the position has occurred three times, or a legal move gives one that has occurred twice; raises nothing."""
    def can_claim_fifty_moves(self) -> bool:
        """Returns whether the fifty-move rule holds now or after a legal move that is neither a capture nor a pawn move; raises nothing."""
    def outcome(self, *, claim_draw: bool = False) -> tuple[_Termination, Literal["white", "black"] | None] | None:
        """Returns None while the game goes on, else (termination, winner), checked in python-chess's order; raises TypeError on a non-bool claim_draw."""
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
    def copy(self, *, history: bool = True) -> Board:
        """Returns an independent duplicate, history included; with history=False the position alone (counters kept, nothing to pop, repetitions counted from it); raises TypeError on a non-bool history."""
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
    @overload
    def planes(self, *, mirror: bool = False, out: None = None) -> memoryview:
        """Returns a new (12, 8, 8) uint8 array, plane = piece kind, [rank][file], rank 1 first (mirror: the mover's view); raises TypeError on a non-bool mirror."""
    @overload
    def planes(self, *, mirror: bool = False, out: _Out) -> _Out:
        """Fills and returns out, a writable C-contiguous (12, 8, 8) uint8 buffer; raises TypeError (item type) or ValueError (shape, read-only, layout) on a bad one."""
    @overload
    def bitboards(self, *, out: None = None) -> memoryview:
        """Returns a new (12,) uint64 array of the bitboards, kinds PNBRQKpnbrqk; raises nothing."""
    @overload
    def bitboards(self, *, out: _Out) -> _Out:
        """Fills and returns out, a writable (12,) uint64 buffer; raises TypeError (item type) or ValueError (shape, read-only, layout) on a bad one."""
    def move_index(self, chess_move: str, encoding: _Encoding) -> int:
        """Returns the move's index in the encoding for the side to move; raises ValueError on bad move text, a move no mover's piece can make, or an unknown encoding."""
    def index_move(self, index: int, encoding: _Encoding) -> str:
        """Returns the move an index names for the side to move, as the generator writes it; raises ValueError on an index outside the encoding or naming no mover's move."""

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
    def legal_indices(self, board: Board, encoding: _Encoding) -> memoryview:
        """Returns the legal moves' indices in the encoding as an int16 array in generation order; raises ValueError on an unknown encoding."""
    @overload
    def legal_mask(self, board: Board, encoding: _Encoding, *, out: None = None) -> memoryview:
        """Returns a new bool array of the encoding's size, True at the legal moves' indices; raises ValueError on an unknown encoding."""
    @overload
    def legal_mask(self, board: Board, encoding: _Encoding, *, out: _Out) -> _Out:
        """Fills and returns out, a writable bool or uint8 buffer of the encoding's size; raises TypeError (item type) or ValueError (shape, read-only, layout, encoding) on a bad one."""
    @overload
    def planes_many(self, positions: Iterable[Board | str], *, mirror: bool = False, out: None = None, threads: int | None = None) -> memoryview:
        """Returns a new (N, 12, 8, 8) uint8 array, row i = planes(mirror=mirror) of position i, made on threads without the interpreter lock; raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    @overload
    def planes_many(self, positions: Iterable[Board | str], *, mirror: bool = False, out: _Out, threads: int | None = None) -> _Out:
        """Fills and returns out, a writable C-contiguous (N, 12, 8, 8) uint8 or bool buffer, untouched on a bad FEN; raises as above, and TypeError or ValueError on a bad out."""
    @overload
    def bitboards_many(self, positions: Iterable[Board | str], *, out: None = None, threads: int | None = None) -> memoryview:
        """Returns a new (N, 12) uint64 array, row i = bitboards() of position i; raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    @overload
    def bitboards_many(self, positions: Iterable[Board | str], *, out: _Out, threads: int | None = None) -> _Out:
        """Fills and returns out, a writable C-contiguous (N, 12) uint64 buffer, untouched on a bad FEN; raises as above, and TypeError or ValueError on a bad out."""
    @overload
    def states_many(self, positions: Iterable[Board | str], *, out: None = None, threads: int | None = None) -> memoryview:
        """Returns a new (N,) uint64 array of the state words (bit 0 white to move, 1-4 castling KQkq, 5-12 and 13-20 en-passant file); raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    @overload
    def states_many(self, positions: Iterable[Board | str], *, out: _Out, threads: int | None = None) -> _Out:
        """Fills and returns out, a writable (N,) uint64 buffer, untouched on a bad FEN; raises as above, and TypeError or ValueError on a bad out."""
    @overload
    def zobrist_many(self, positions: Iterable[Board | str], *, out: None = None, threads: int | None = None) -> memoryview:
        """Returns a new (N,) uint64 array, item i = zobrist() of position i; raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    @overload
    def zobrist_many(self, positions: Iterable[Board | str], *, out: _Out, threads: int | None = None) -> _Out:
        """Fills and returns out, a writable (N,) uint64 buffer, untouched on a bad FEN; raises as above, and TypeError or ValueError on a bad out."""
    @overload
    def mask_many(self, positions: Iterable[Board | str], encoding: _Encoding, *, out: None = None, threads: int | None = None) -> memoryview:
        """Returns a new (N, 4672 or 1858) bool array, row i = legal_mask() of position i; raises ValueError naming the index of a bad FEN or on an unknown encoding, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    @overload
    def mask_many(self, positions: Iterable[Board | str], encoding: _Encoding, *, out: _Out, threads: int | None = None) -> _Out:
        """Fills and returns out, a writable C-contiguous (N, size) bool or uint8 buffer, untouched on a bad FEN; raises as above, and TypeError or ValueError on a bad out."""
    def outcomes_many(self, positions: Iterable[Board | str], *, claim_draw: bool = False, threads: int | None = None) -> memoryview:
        """Returns a new (N,) int8 array of outcome codes, item i = outcome(claim_draw=claim_draw) of position i: 0 none, 1 white mates, 2 black mates, 3 stalemate, 4 insufficient material, 5 seventy-five moves, 6 fivefold repetition, 7 fifty moves, 8 threefold repetition; a Board is judged with its history, a FEN with its counters; raises ValueError naming the index of a bad FEN, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
    def indices_many(self, positions: Iterable[Board | str], encoding: _Encoding, *, threads: int | None = None) -> tuple[memoryview, memoryview]:
        """Returns (ids, offsets): int16 ids of every position's legal moves, position i's at ids[offsets[i]:offsets[i + 1]], and int64 offsets of length N + 1; raises ValueError naming the index of a bad FEN or on an unknown encoding, TypeError, RuntimeError if a board is in use, KeyboardInterrupt on Ctrl-C."""
