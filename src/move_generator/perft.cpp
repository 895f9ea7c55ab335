#include "move_generator/perft.h"

#include "board/make_move.h"
#include "move_generator/attacks.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"
#include "move_generator/move_count.h"
#include "move_generator/move_sets.h"
#include "move_generator/position_move.h"

namespace orvex {
namespace {

// A position of the walk by masks, with the squares of each side's pieces.
struct Node {
  std::array<Bitboard, kPieceKinds> pieces;
  std::uint64_t state;
  std::array<Bitboard, 2> sides;  // by colour
};

template <Color Us>
std::uint64_t walk_masks(const AttackTables& tables, const Node& node, int depth);

template <Color Us>
std::uint64_t count_moves(const AttackTables& tables, const Node& node) {
  return count_legal_moves<Us>(tables, node.pieces, node.state, node.sides[Us], node.sides[~Us]);
}

// Makes each move visit_legal_moves hands it from a position of Us, exactly as
// make_position_move would, and adds up the leaves below the child: its moves
// counted from the masks when one ply remains, else its walk.
template <Color Us>
class ChildWalker {
 public:
  ChildWalker(const AttackTables& tables, const Node& node, int depth)
      : tables_(tables), node_(node), depth_(depth) {}

  std::uint64_t nodes() const { return nodes_; }

  template <PieceType Type>
  void piece(Square from, Bitboard targets) {
    std::uint64_t state = next_state();
    // A king that moves gives up both of its side's castling rights, a rook
    // leaving its corner that corner's.
    if constexpr (Type == kKing) state &= ~kRights;
    if constexpr (Type == kRook) state &= ~position_move::kCornerRights[Us][from];
    const Bitboard from_bb = square_bb(from);
    for (Bitboard b = targets & ~node_.sides[~Us]; b; b &= b - 1) {
      Node child = node_;
      move(child, us + Type, from_bb | (b & -b), state);
      add(child);
    }
    for (Bitboard b = targets & node_.sides[~Us]; b;) {
      const Square to = pop_lsb(b);
      Node child = node_;
      move(child, us + Type, from_bb | square_bb(to), state);
      capture(child, to);
      add(child);
    }
  }

  template <int Offset>
  void steps(Bitboard targets) {
    const std::uint64_t state = next_state();
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      Node child = node_;
      move(child, us + kPawn, square_bb(to) | square_bb(shifted(to, -Offset)), state);
      if constexpr (Offset != PawnSide<Us>::kPush) capture(child, to);
      add(child);
    }
  }

  template <int Offset>
  void double_pushes(Bitboard targets) {
    const std::uint64_t state = next_state();
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      Node child = node_;
      move(child, us + kPawn, square_bb(to) | square_bb(shifted(to, -Offset)),
           state | std::uint64_t{1} << (en_passant_base(~Us) + file_of(to)));
      add(child);
    }
  }

  template <int Offset>
  void promotions(Bitboard targets) {
    const std::uint64_t state = next_state();
    for (Bitboard b = targets; b;) {
      const Square to = pop_lsb(b);
      const Bitboard from_bb = square_bb(shifted(to, -Offset));
      for (int type = kKnight; type <= kQueen; ++type) {
        Node child = node_;
        move(child, us + kPawn, from_bb, state);
        child.pieces[us + type] |= square_bb(to);
        child.sides[Us] |= square_bb(to);
        if constexpr (Offset != PawnSide<Us>::kPush) capture(child, to);
        add(child);
      }
    }
  }

  void en_passant(Square from, Square to) {
    Node child = node_;
    move(child, us + kPawn, square_bb(from) | square_bb(to), next_state());
    const Bitboard captured = square_bb(shifted(to, -PawnSide<Us>::kPush));
    child.pieces[them + kPawn] &= ~captured;
    child.sides[~Us] &= ~captured;
    add(child);
  }

  void castling(const CastlingPath& c) {
    Node child = node_;
    const Square king = Us == kWhite ? kE1 : kE8;
    move(child, us + kKing, square_bb(king) | square_bb(c.king_to), next_state() & ~kRights);
    // The rook, if it is there, moves with the king; its target is empty.
    if (has_square(node_.pieces[us + kRook], c.rook_from)) {
      move(child, us + kRook, square_bb(c.rook_from) | square_bb(c.rook_to), child.state);
    }
    add(child);
  }

 private:
  static constexpr int us = color_base(Us);
  static constexpr int them = color_base(~Us);
  static constexpr std::uint64_t kRights = Us == kWhite
                                               ? state_bits::kWhiteKingSide | state_bits::kWhiteQueenSide
                                               : state_bits::kBlackKingSide | state_bits::kBlackQueenSide;

  std::uint64_t next_state() const {
    return (node_.state & ~state_bits::kEnPassantBits) ^ state_bits::kWhiteToMove;
  }

  static void move(Node& child, int kind, Bitboard from_to, std::uint64_t state) {
    child.pieces[kind] ^= from_to;
    child.sides[Us] ^= from_to;
    child.state = state;
  }

  // Takes the enemy piece on to, which is not a king; a rook on its corner
  // takes its castling right with it.
  void capture(Node& child, Square to) const {
    const Bitboard bb = square_bb(to);
    if (node_.pieces[them + kRook] & bb) child.state &= ~position_move::kCornerRights[~Us][to];
    for (int t = kPawn; t < kKing; ++t) child.pieces[them + t] &= ~bb;
    child.sides[~Us] &= ~bb;
  }

  void add(const Node& child) {
    nodes_ += depth_ == 1 ? count_moves<~Us>(tables_, child) : walk_masks<~Us>(tables_, child, depth_);
  }

  const AttackTables& tables_;
  const Node& node_;
  const int depth_;  // plies below each child
  std::uint64_t nodes_ = 0;
};

// The walk below a position whose every descendant the masks reason about:
// each side has one king, no square holds two pieces and the side to move
// cannot take the other king (so no move ever can). Depth is at least 2; the
// last ply is counted from the masks without making its moves.
template <Color Us>
std::uint64_t walk_masks(const AttackTables& tables, const Node& node, int depth) {
  ChildWalker<Us> children(tables, node, depth - 1);
  visit_legal_moves<Us>(tables, node.pieces, node.state, node.sides[Us], node.sides[~Us], children);
  return children.nodes();
}

// The squares of each side's pieces, and whether a square holds two pieces.
struct Sides {
  Bitboard white = 0, black = 0, shared = 0;

  explicit Sides(const std::array<Bitboard, kPieceKinds>& p) {
    for (int t = 0; t < kPieceTypes; ++t) {
      shared |= (white & p[kWhitePawn + t]) | (black & p[kBlackPawn + t]);
      white |= p[kWhitePawn + t];
      black |= p[kBlackPawn + t];
    }
    shared |= white & black;
  }
};

// Whether the walk below pos may go by walk_masks.
bool masks_hold_below(const AttackTables& tables, const Position& pos) {
  const auto& p = pos.pieces;
  const Sides sides(p);
  const Color us = side_to_move(pos.state);
  const Bitboard ours = p[make_kind(us, kKing)];
  const Bitboard theirs = p[make_kind(~us, kKing)];
  if (sides.shared || !ours || (ours & (ours - 1)) || !theirs || (theirs & (theirs - 1))) return false;
  return !square_attacked(tables, p, lsb(theirs), ~us, sides.white | sides.black);
}

std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth);

// The general walk for a board the masks cannot reason about: a real board
// with its undo stacks.
std::uint64_t walk_board(const AttackTables& tables, const Position& pos, int depth) {
  Board board;
  board.pieces = pos.pieces;
  board.state = pos.state;
  MoveList moves;
  legal_moves(tables, board, moves);
  if (depth == 1) return moves.size();
  std::uint64_t nodes = 0;
  for (ChessMove move : moves) {
    (void)push_move(board, move);  // generated moves are never refused
    nodes += walk(tables, Position{board.pieces, board.state}, depth - 1);
    pop_move(board);
  }
  return nodes;
}

// The walk from any position: by the masks below positions where they hold,
// else one ply at a time, counting the last from the masks when they apply.
std::uint64_t walk(const AttackTables& tables, const Position& pos, int depth) {
  if (depth >= 2 && masks_hold_below(tables, pos)) {
    const Sides sides(pos.pieces);
    const Node node{pos.pieces, pos.state, {sides.black, sides.white}};
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

}  // namespace

std::uint64_t perft(const AttackTables& tables, Board& board, int depth) {
  if (depth <= 0) return 1;
  return walk(tables, Position{board.pieces, board.state}, depth);
}

}  // namespace orvex
