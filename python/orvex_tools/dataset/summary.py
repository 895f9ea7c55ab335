"""What build_dataset did."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass
class DatasetSummary:
    """What build_dataset did."""

    #: The output directory.
    out: str
    #: The games replayed, over all inputs.
    games: int = 0
    #: The positions (rows) built, before de-duplication.
    positions: int = 0
    #: The games that could not be replayed and were left out.
    skipped: int = 0
    #: The Chess960 games among those replayed (their rows' fen is X-FEN, and
    #: their castlings are the king's move onto its rook, in move and move_id).
    chess960: int = 0
    #: The reasons of the first skipped games (at most 10), naming file, game and line.
    errors: list[str] = field(default_factory=list)
    #: The rows dropped by de-duplication (0 without it).
    dropped: int = 0
    #: The rows in the output files.
    rows_written: int = 0
    #: The output files, in input order.
    files: list[str] = field(default_factory=list)
    #: The chunks the input was cut into.
    chunks: int = 0
    #: Wall-clock seconds of the whole run.
    seconds: float = 0.0

    def __str__(self) -> str:
        lines = [f"Games: {self.games}" + (f" ({self.chess960} Chess960)" if self.chess960 else ""),
                 f"Positions: {self.positions}"]
        if self.skipped:
            lines.append(f"Skipped games: {self.skipped}, such as:")
            lines += [f"  {error}" for error in self.errors[:5]]
        else:
            lines.append("Skipped games: 0")
        if self.dropped:
            lines.append(f"Duplicate positions dropped: {self.dropped}")
        lines.append(f"Rows written: {self.rows_written} in {len(self.files)} file(s) to {self.out}")
        lines.append(f"Time: {self.seconds:.1f} s")
        return "\n".join(lines)
