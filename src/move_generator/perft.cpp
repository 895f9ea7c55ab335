#include "move_generator/perft.h"

#include <bit>
#include <cassert>

#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"
#include "move_generator/move_count.h"
#include "move_generator/move_sets.h"
#include "move_generator/position_move.h"
#include "move_generator/side_occupancy.h"

namespace orvex {
namespace {

// A position of the walk by masks, with the squares of each side's pieces.
struct Node {
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
  std::array<Bitboard, 2> sides;  // by colour
};

template <Color Us>
std::uint64_t walk_masks(const AttackTables& tables, Node& node, int depth);

template <Color Us>
std::uint64_t count_moves(const AttackTables& tables, const Node& node) {
  return count_legal_moves<Us, true>(tables, node.pieces, node.state, node.sides[Us], node.sides[~Us]);
}

// Makes each move visit_legal_moves hands it from a position of Us on the
// position itself, exactly as make_position_move would, adds up the leaves
// below (the child's moves counted from the masks when Leaves, else its walk)
// and takes the move back.
template <Color Us, bool Leaves>
class ChildWalker {
 public:
  ChildWalker(const AttackTables& tables, Node& node, int depth) : tables_(tables), node_(node), depth_(depth) {}

  std::uint64_t nodes() const { return nodes_; }

  template <PieceType Type>
  void piece(Square from, Bitboard targets) {
    std::uint64_t state = next_state();
    // A king that moves gives up both of its side's castling rights, a rook
    // leaving its corner that corner's.
    if constexpr (Type == kKing) state &= ~kRights;
    if constexpr (Type == kRook) state &= ~position_move::kCornerRights[Us][from];
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
    if (type == kRook) node_.state = state & ~position_move::kCornerRights[~Us][to];
    node_.pieces[them + type] ^= bb;
    node_.sides[~Us] ^= bb;
    add();
    node_.pieces[them + type] ^= bb;
    node_.sides[~Us] ^= bb;
    node_.state = state;
  }

  void add() {
    if constexpr (Leaves) {
      nodes_ += count_moves<~Us>(tables_, node_);
    } else {
      nodes_ += walk_masks<~Us>(tables_, node_, depth_);
    }
  }

  const AttackTables& tables_;
  Node& node_;
  const int depth_;  // plies below each child
  std::uint64_t nodes_ = 0;
};

// The walk below a position whose every descendant the masks reason about:
// each side has one king, no square holds two pieces and the side to move
// cannot take the other king (so no move ever can). Depth is at least 2; the
// last ply is counted from the masks without making its moves.
template <Color Us>
std::uint64_t walk_masks(const AttackTables& tables, Node& node, int depth) {
  const Bitboard own = node.sides[Us];
  const Bitboard enemy = node.sides[~Us];
  if (depth == 2) {
    return visit_legal_moves<Us, true>(tables, node.pieces, node.state, own, enemy,
                                 ChildWalker<Us, true>(tables, node, 1))
        .nodes();
  }
  return visit_legal_moves<Us, true>(tables, node.pieces, node.state, own, enemy,
                               ChildWalker<Us, false>(tables, node, depth - 1))
      .nodes();
}

// Whether the walk below pos may go by walk_masks.
bool masks_hold_below(const AttackTables& tables, const Position& pos) {
  const auto& p = pos.pieces;
  const Sides sides(p);
  const Color us = side_to_move(pos.state);
  const Bitboard ours = p[make_kind(us, kKing)];
  const Bitboard theirs = p[make_kind(~us, kKing)];
  if (sides.shared || !std::has_single_bit(ours) || !std::has_single_bit(theirs)) return false;
  return !square_attacked(tables, p, lsb(theirs), ~us, sides.white | sides.black);
}

std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth);

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
std::uint64_t walk_board(const AttackTables& tables, const Position& pos, int depth) {
  Board board;
  board.pieces = pos.pieces;
  board.state = pos.state;
  return walk_list(tables, board, depth,
                   [&](Board& b) { return walk(tables, Position{b.pieces, b.state}, depth - 1); });
}

// The walk from any position: by the masks below positions where they hold,
// else one ply at a time, counting the last from the masks when they apply.
std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth) {
  if (depth >= 2 && masks_hold_below(tables, pos)) {
    const Sides sides(pos.pieces);
    Node node{pos.pieces, pos.state, {sides.black, sides.white}};
    return white_to_move(pos.state) ? walk_masks<kWhite>(tables, node, depth)
                                    : walk_masks<kBlack>(tables, node, depth);
  }
  if (depth == 1) {
    std::uint64_t count;
    if (count_legal_moves_one_king(tables, pos.pieces, pos.state, count)) return count;
    return walk_board(tables, pos, depth);
  }
  MoveList moves;
  if (!legal_moves_one_king(tables, pos.pieces, pos.state, moves)) return walk_board(tables, pos, depth);
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    Position child = pos;
    make_position_move(child, move);
    nodes += walk(tables, child, depth - 1);
  }
  return nodes;
}

// Perft of a Chess960 board, whose castlings only the move list knows.
std::uint64_t chess960_perft(const AttackTables& tables, Board& board, int depth) {
  std::uint64_t count;
  if (depth == 1 && count_legal_moves_one_king(tables, board.pieces,
                                               board.state & ~state_bits::kCastlingRights, count)) {
    MoveList castlings;
    chess960_legal_castlings(tables, board, castlings);
    return count + castlings.size();
  }
  return walk_list(tables, board, depth, [&](Board& b) { return chess960_perft(tables, b, depth - 1); });
}

}  // namespace

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  if (depth <= 0) return 1;
  if (board.chess960) return chess960_perft(tables, board, depth);
  return walk(tables, Position{board.pieces, board.state}, depth);
}

}  // namespace orvex
