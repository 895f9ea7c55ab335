// The perft walk: by the masks below positions where they hold, else over
// move lists, with the castling rules of standard chess or of a Chess960
// board as a parameter. Each rule set is walked in a source file of its own
// (perft.cpp, chess960_perft.cpp), so that each is compiled on its own.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>

#include "board/board.h"
#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/chess960_castlings.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"
#include "move_generator/move_count.h"
#include "move_generator/move_sets.h"
#include "move_generator/position_move.h"
#include "move_generator/side_occupancy.h"

namespace orvex::perft_walk {

// A position of the walk by masks, with the squares of each side's pieces.
struct Node {
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
  std::array<Bitboard, 2> sides;  // by colour
};

// The castling rules of the walk: standard chess's, known at compile time.
struct StandardCastling {
  static constexpr bool kChess960 = false;
  // The right a rook of side c keeps by standing on s.
  static constexpr std::uint64_t rook_rights(Color c, Square s) { return kStandardCastlingRightsBySide[c][s]; }
  static constexpr StandardCastlings generated() { return {}; }
};

// A Chess960 board's castling rules: its rooks' mask table and the paths of
// their castlings.
struct Chess960Castling {
  static constexpr bool kChess960 = true;
  const CastlingRooks* rooks;
  const CastlingRightsBySide* rights;
  Chess960Castlings castlings;
  std::uint64_t rook_rights(Color c, Square s) const { return (*rights)[c][s]; }
  Chess960Castlings generated() const { return castlings; }
};

template <Color Us, class Castling>
std::uint64_t walk_masks(const AttackTables& tables, Node& node, int depth, Castling castling);

template <Color Us, class Castling>
std::uint64_t count_moves(const AttackTables& tables, const Node& node, Castling castling) {
  return count_legal_moves<Us, true>(tables, node.pieces, node.state, node.sides[Us], node.sides[~Us],
                                     castling.generated());
}

// Makes each move visit_legal_moves hands it from a position of Us on the
// position itself, exactly as make_position_move would, adds up the leaves
// below (the child's moves counted from the masks when Leaves, else its walk)
// and takes the move back.
template <Color Us, bool Leaves, class Castling>
class ChildWalker {
 public:
  ChildWalker(const AttackTables& tables, Node& node, int depth, Castling castling)
      : tables_(tables), node_(node), depth_(depth), castling_(castling) {}

  std::uint64_t nodes() const { return nodes_; }

  template <PieceType Type>
  void piece(Square from, Bitboard targets) {
    std::uint64_t state = next_state();
    // A king that moves gives up both of its side's castling rights, a rook
    // leaving its corner that corner's.
    if constexpr (Type == kKing) state &= ~kRights;
    if constexpr (Type == kRook) state &= ~castling_.rook_rights(Us, from);
    const Bitboard from_bb = square_bb(from);
    const std::uint64_t before = node_.state;
    node_.state = state;
    for (Bitboard b = targets & ~node_.sides[~Us]; b; b &= b - 1) {
      const Bitboard from_to = from_bb | (b & -b);
      toggle(us + Type, from_to);
      add();
      toggle(us + Type, from_to);
    }
    for (Bitboard b = targets & node_.sides[~Us]; b;) {
      const Square to = pop_lsb(b);
      const Bitboard from_to = from_bb | square_bb(to);
      toggle(us + Type, from_to);
      capture_and_add(to, state);
      toggle(us + Type, from_to);
    }
    node_.state = before;
  }

  template <int Offset>
  void steps(Bitboard targets) {
    const std::uint64_t before = node_.state;
    const std::uint64_t state = next_state();
    node_.state = state;
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      const Bitboard from_to = square_bb(to) | square_bb(shifted(to, -Offset));
      toggle(us + kPawn, from_to);
      if constexpr (Offset == PawnSide<Us>::kPush) {
        add();
      } else {
        capture_and_add(to, state);
      }
      toggle(us + kPawn, from_to);
    }
    node_.state = before;
  }

  template <int Offset>
  void double_pushes(Bitboard targets) {
    const std::uint64_t before = node_.state;
    const std::uint64_t state = next_state();
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      const Bitboard from_to = square_bb(to) | square_bb(shifted(to, -Offset));
      node_.state = state | std::uint64_t{1} << (en_passant_base(~Us) + file_of(to));
      toggle(us + kPawn, from_to);
      add();
      toggle(us + kPawn, from_to);
    }
    node_.state = before;
  }

  template <int Offset>
  void promotions(Bitboard targets) {
    const std::uint64_t before = node_.state;
    const std::uint64_t state = next_state();
    node_.state = state;
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      const Bitboard from_bb = square_bb(shifted(to, -Offset));
      const Bitboard to_bb = square_bb(to);
      node_.pieces[us + kPawn] ^= from_bb;
      node_.sides[Us] ^= from_bb | to_bb;
      for (int type = kKnight; type <= kQueen; ++type) {
        node_.pieces[us + type] ^= to_bb;
        if constexpr (Offset == PawnSide<Us>::kPush) {
          add();
        } else {
          capture_and_add(to, state);
        }
        node_.pieces[us + type] ^= to_bb;
      }
      node_.pieces[us + kPawn] ^= from_bb;
      node_.sides[Us] ^= from_bb | to_bb;
    }
    node_.state = before;
  }

  void en_passant(Square from, Square to) {
    const std::uint64_t before = node_.state;
    node_.state = next_state();
    const Bitboard from_to = square_bb(from) | square_bb(to);
    const Bitboard captured = square_bb(shifted(to, -PawnSide<Us>::kPush));
    toggle(us + kPawn, from_to);
    node_.pieces[them + kPawn] ^= captured;
    node_.sides[~Us] ^= captured;
    add();
    node_.pieces[them + kPawn] ^= captured;
    node_.sides[~Us] ^= captured;
    toggle(us + kPawn, from_to);
    node_.state = before;
  }

  void castling(const CastlingPath& c) {
    const std::uint64_t before = node_.state;
    node_.state = next_state() & ~kRights;
    if constexpr (Castling::kChess960) {
      // The king goes from where it stands, the rook from its square; either
      // may already stand on its destination, or on the other's.
      const Bitboard king = node_.pieces[us + kKing] ^ square_bb(c.king_to);
      const Bitboard rook = square_bb(c.rook_from) ^ square_bb(c.rook_to);
      node_.pieces[us + kKing] ^= king;
      node_.pieces[us + kRook] ^= rook;
      node_.sides[Us] ^= king ^ rook;
      add();
      node_.pieces[us + kKing] ^= king;
      node_.pieces[us + kRook] ^= rook;
      node_.sides[Us] ^= king ^ rook;
      node_.state = before;
      return;
    }
    const Bitboard king = square_bb(Us == kWhite ? kE1 : kE8) | square_bb(c.king_to);
    // The rook, if it is there, moves with the king; its target is empty.
    const Bitboard rook = has_square(node_.pieces[us + kRook], c.rook_from)
                              ? square_bb(c.rook_from) | square_bb(c.rook_to)
                              : 0;
    toggle(us + kKing, king);
    toggle(us + kRook, rook);
    add();
    toggle(us + kRook, rook);
    toggle(us + kKing, king);
    node_.state = before;
  }

 private:
  static constexpr int us = color_base(Us);
  static constexpr int them = color_base(~Us);
  static constexpr std::uint64_t kRights = side_castling_rights(Us);

  std::uint64_t next_state() const {
    return (node_.state & ~state_bits::kEnPassantBits) ^ state_bits::kWhiteToMove;
  }

  void toggle(int kind, Bitboard from_to) {
    node_.pieces[kind] ^= from_to;
    node_.sides[Us] ^= from_to;
  }

  // Takes the enemy piece on to (not a king) for the walk below, with the
  // state the move leaves; a rook on its corner takes its castling right with
  // it.
  void capture_and_add(Square to, std::uint64_t state) {
    const Bitboard bb = square_bb(to);
    int type = kPawn;
    while (!(node_.pieces[them + type] & bb)) {
      ++type;
      assert(type < kKing);
    }
    if (type == kRook) node_.state = state & ~castling_.rook_rights(~Us, to);
    node_.pieces[them + type] ^= bb;
    node_.sides[~Us] ^= bb;
    add();
    node_.pieces[them + type] ^= bb;
    node_.sides[~Us] ^= bb;
    node_.state = state;
  }

  void add() {
    if constexpr (Leaves) {
      nodes_ += count_moves<~Us>(tables_, node_, castling_);
    } else {
      nodes_ += walk_masks<~Us>(tables_, node_, depth_, castling_);
    }
  }

  const AttackTables& tables_;
  Node& node_;
  const int depth_;  // plies below each child
  [[no_unique_address]] const Castling castling_;
  std::uint64_t nodes_ = 0;
};

// The walk below a position whose every descendant the masks reason about:
// each side has one king, no square holds two pieces and the side to move
// cannot take the other king (so no move ever can). Depth is at least 2; the
// last ply is counted from the masks without making its moves.
template <Color Us, class Castling>
std::uint64_t walk_masks(const AttackTables& tables, Node& node, int depth, Castling castling) {
  const Bitboard own = node.sides[Us];
  const Bitboard enemy = node.sides[~Us];
  if (depth == 2) {
    return visit_legal_moves<Us, true>(tables, node.pieces, node.state, own, enemy,
                                       ChildWalker<Us, true, Castling>(tables, node, 1, castling),
                                       castling.generated())
        .nodes();
  }
  return visit_legal_moves<Us, true>(tables, node.pieces, node.state, own, enemy,
                                     ChildWalker<Us, false, Castling>(tables, node, depth - 1, castling),
                                     castling.generated())
      .nodes();
}

// Whether the walk below pos may go by walk_masks.
inline bool masks_hold_below(const AttackTables& tables, const Position& pos) {
  const auto& p = pos.pieces;
  const Sides sides(p);
  const Color us = side_to_move(pos.state);
  const Bitboard ours = p[make_kind(us, kKing)];
  const Bitboard theirs = p[make_kind(~us, kKing)];
  if (sides.shared || !std::has_single_bit(ours) || !std::has_single_bit(theirs)) return false;
  return !square_attacked(tables, p, lsb(theirs), ~us, sides.white | sides.black);
}

template <class Castling>
std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth, Castling castling);

// One ply on a real board with its undo stacks: the length of the move list
// at depth 1, else the sum of below(board) over the boards after each move.
template <class Below>
std::uint64_t walk_list(const AttackTables& tables, Board& board, int depth, Below&& below) {
  MoveList moves;
  legal_moves(tables, board, moves);
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    (void)push_move(board, move);  // generated moves are never refused
    nodes += below(board);
    pop_move(board);
  }
  return nodes;
}

// The general walk for a board the masks cannot reason about.
template <class Castling>
std::uint64_t walk_board(const AttackTables& tables, const Position& pos, int depth, Castling castling) {
  Board board;
  board.pieces = pos.pieces;
  board.state = pos.state;
  if constexpr (Castling::kChess960) {
    board.chess960 = true;
    board.castling_rooks = *castling.rooks;
  }
  return walk_list(tables, board, depth,
                   [&](Board& b) { return walk(tables, Position{b.pieces, b.state}, depth - 1, castling); });
}

// The walk from any position: by the masks below positions where they hold,
// else one ply at a time, counting the last from the masks when they apply.
template <class Castling>
std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth, Castling castling) {
  if (depth >= 2 && masks_hold_below(tables, pos)) {
    const Sides sides(pos.pieces);
    Node node{pos.pieces, pos.state, {sides.black, sides.white}};
    return white_to_move(pos.state) ? walk_masks<kWhite>(tables, node, depth, castling)
                                    : walk_masks<kBlack>(tables, node, depth, castling);
  }
  if (depth == 1) {
    std::uint64_t count;
    const std::uint64_t generated = Castling::kChess960 ? pos.state & ~state_bits::kCastlingRights : pos.state;
    if (!count_legal_moves_one_king(tables, pos.pieces, generated, count)) {
      return walk_board(tables, pos, depth, castling);
    }
    if constexpr (Castling::kChess960) {
      const Sides sides(pos.pieces);
      visit_chess960_castlings(tables, pos.pieces, pos.state, side_to_move(pos.state), *castling.rooks,
                               sides.white | sides.black, [&](int, Square, Square) { ++count; });
    }
    return count;
  }
  // Only standard chess's moves can be made on a position without a board.
  MoveList moves;
  if (Castling::kChess960 || !legal_moves_one_king(tables, pos.pieces, pos.state, moves)) {
    return walk_board(tables, pos, depth, castling);
  }
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    Position child = pos;
    make_position_move(child, move);
    nodes += walk(tables, child, depth - 1, castling);
  }
  return nodes;
}

// Whether every castling right of the board names a rook of its side on its
// square, as the walk by masks assumes of a Chess960 board.
inline bool rights_name_rooks(const Board& board) {
  for (int i = 0; i < 4; ++i) {
    const Color c = i < 2 ? kWhite : kBlack;
    if ((board.state >> (i + 1) & 1) && !has_square(board.pieces[make_kind(c, kRook)],
                                                    static_cast<Square>(board.castling_rooks[i]))) {
      return false;
    }
  }
  return true;
}

// Perft of a Chess960 board whose rights do not all name their rooks: move
// lists on the board all the way.
inline std::uint64_t chess960_list_perft(const AttackTables& tables, Board& board, int depth) {
  return walk_list(tables, board, depth, [&](Board& b) { return chess960_list_perft(tables, b, depth - 1); });
}

}  // namespace orvex::perft_walk
