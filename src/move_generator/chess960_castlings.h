// The legal Chess960 castlings of a position, from its bitboards.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "base/types.h"
#include "board/castling_rights.h"
#include "board/chess960.h"
#include "move_generator/castling_paths.h"
#include "move_generator/attack_tables.h"
#include "move_generator/attacks.h"
#include "move_generator/lines.h"

namespace orvex {

// Hands f(right, king, rook) each legal Chess960 castling of us, king side
// first, on twelve bitboards where us has one king and no square holds two
// pieces, the rooks of the rights on rooks: every square between the king
// and its destination and between the rook and its destination empty but for
// the two, no square from the king's to its destination attacked with the
// king lifted, and the destination not attacked once both have moved.
template <class F>
inline void visit_chess960_castlings(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& p,
                                     std::uint64_t state, Color us, const CastlingRooks& rooks, Bitboard occupancy,
                                     F&& f) {
  if (!(state & side_castling_rights(us))) return;
  const Square king = lsb(p[make_kind(us, kKing)]);
  const Bitboard without_king = occupancy ^ square_bb(king);
  const int first = us == kWhite ? 0 : 2;
  for (int i = first; i < first + 2; ++i) {
    if (!(state >> (i + 1) & 1)) continue;
    const Square rook = static_cast<Square>(rooks[i]);
    const Square king_to = chess960_king_to(i);
    const Square rook_to = chess960_rook_to(i);
    const Bitboard king_path = between(king, king_to) | square_bb(king_to);
    const Bitboard crossed = king_path | between(rook, rook_to) | square_bb(rook_to);
    const Bitboard both = square_bb(king) | square_bb(rook);
    if (crossed & occupancy & ~both) continue;
    bool safe = true;
    for (Bitboard b = (king_path & ~square_bb(king_to)) | square_bb(king); b && safe;) {
      safe = !square_attacked(tables, p, pop_lsb(b), us, without_king);
    }
    if (!safe || square_attacked(tables, p, king_to, us, (occupancy & ~both) | square_bb(rook_to))) continue;
    f(i, king, rook);
  }
}

// A Chess960 board's castling paths for the generator of moves from masks:
// by colour, king side then queen side, each right's path from the square
// its king stands on, which it keeps while the right lasts. A side without
// exactly one king has no home and never castles.
struct Chess960Paths {
  std::array<Square, 2> king_home{kNoSquare, kNoSquare};
  std::array<std::array<CastlingPath, 2>, 2> paths{};

  explicit Chess960Paths(const std::array<Bitboard, kPieceKinds>& p, const CastlingRooks& rooks) {
    for (int i = 0; i < 4; ++i) {
      const Color c = i < 2 ? kWhite : kBlack;
      const Bitboard king_bb = p[make_kind(c, kKing)];
      if (!std::has_single_bit(king_bb)) continue;
      const Square king = lsb(king_bb);
      const Square rook = static_cast<Square>(rooks[i]);
      const Square king_to = chess960_king_to(i);
      const Square rook_to = chess960_rook_to(i);
      const Bitboard king_path = (between(king, king_to) | square_bb(king_to)) & ~king_bb;
      const Bitboard crossed = king_path | between(rook, rook_to) | square_bb(rook_to);
      king_home[c] = king;
      paths[c][i % 2] = CastlingPath{std::uint64_t{2} << i, crossed & ~king_bb & ~square_bb(rook), king_path,
                                     king_to, rook, rook_to};
    }
  }
};

// The castling rules visit_legal_moves takes for a Chess960 board: a handle
// on its paths (StandardCastlings is standard chess's).
struct Chess960Castlings {
  static constexpr bool kChess960 = true;
  const Chess960Paths* table;
  Square king_home(Color c) const { return table->king_home[c]; }
  const CastlingPath& path(Color c, int i) const { return table->paths[c][i]; }
};

}  // namespace orvex
