#include "board/make_move.h"

#include "base/panic.h"
#include "board/chess960.h"
#include "board/zobrist.h"

namespace orvex {
namespace {

// Returns the first kind in [from_kind, to_kind) whose bitboard holds s, or kNoKind.
PieceKind first_kind_on(const Board& board, Square s, int from_kind, int to_kind) {
  for (int k = from_kind; k < to_kind; ++k) {
    if (has_square(board.pieces[k], s)) return static_cast<PieceKind>(k);
  }
  return kNoKind;
}

// Makes sure that one more push_back cannot allocate. Throws std::bad_alloc
// when the room cannot be had; the stack is unchanged then.
template <class Stack>
void make_room(Stack& stack) {
  if (stack.size() == stack.capacity()) stack.reserve(stack.empty() ? 16 : 2 * stack.size());
}

// Moves the bit from -> to on one bitboard; nothing is set if from was empty.
void move_bit(Bitboard& b, Square from, Square to) {
  const Bitboard had = (b >> from) & 1;
  b &= ~square_bb(from);
  b |= had << to;
}

}  // namespace

PushOutcome push_move(Board& board, ChessMove move) {
  const Square from = move.from();
  const Square to = move.to();
  const int code = move.special();
  const Color us = side_to_move(board.state);

  const PieceKind mover = first_kind_on(board, from, 0, kPieceKinds);
  if (mover == kNoKind) throw Panic("missing value: no piece stands on the from-square");
  const Color mover_color = color_of(mover);
  const bool pawn = type_of(mover) == kPawn;

  const int enemy_base = color_base(~mover_color);
  PieceKind captured = first_kind_on(board, to, enemy_base, enemy_base + kPieceTypes);
  bool en_passant = false;
  if (captured == kNoKind && pawn && file_of(from) != file_of(to)) {
    en_passant = true;
    captured = make_kind(~mover_color, kPawn);
  }

  PieceKind promotion = kNoKind;
  if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) {
    // Refused before anything changes: the pawn must say what it becomes.
    if (code < kPromoteKnight || code > kPromoteQueen) return PushOutcome::kNeedsPromotion;
    promotion = static_cast<PieceKind>(code + mover - 3);
  }

  PieceKind rook = kNoKind;
  // A Chess960 castling is written as the king taking its own rook: the
  // index of that rook's right, else -1.
  int chess960_right = -1;
  if (board.chess960) {
    if (type_of(mover) == kKing) chess960_right = chess960_right_of(board, mover_color, to);
    if (chess960_right >= 0) rook = make_kind(mover_color, kRook);
  } else if (type_of(mover) == kKing && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6)) {
    rook = make_kind(mover_color, kRook);
  }

  // All or nothing: room is made on every stack this move pushes to before
  // anything is written, so that running out of memory leaves the board as it was.
  const PieceKind saved[] = {mover, captured, rook, promotion};
  for (PieceKind k : saved) {
    if (k != kNoKind) make_room(board.piece_history[k]);
  }
  make_room(board.move_history);

  const std::uint64_t key_before = settled_key(board);
  // Only a move from or to a king's or rook's home square can change which
  // castling rights the key counts.
  constexpr Bitboard kCastlingSquares = square_bb(kA1) | square_bb(kE1) | square_bb(kH1) |
                                        square_bb(kA8) | square_bb(kE8) | square_bb(kH8);
  const bool castling_may_change = (board.state & state_bits::kCastlingRights) &&
                                   (board.chess960 || ((square_bb(from) | square_bb(to)) & kCastlingSquares));
  const std::uint64_t castling_before = castling_may_change ? castling_key(board) : 0;
  std::uint16_t mask = 0;
  for (PieceKind k : saved) {
    if (k == kNoKind) continue;
    board.piece_history[k].push_back(board.pieces[k]);
    mask |= static_cast<std::uint16_t>(1u << k);
  }
  board.move_history.push_back(HistoryEntry{board.state, key_before, board.halfmove_clock, mask});

  const Bitboard to_bb = square_bb(to);
  move_bit(board.pieces[mover], from, to);
  if (captured != kNoKind) board.pieces[captured] &= ~to_bb;

  // The captured pawn stands behind the target; nothing is there when the
  // target is on the first or last rank.
  if (en_passant) {
    if (us == kWhite) {
      if (to >= 8) board.pieces[kBlackPawn] &= ~square_bb(shifted(to, -8));
    } else {
      if (to < 56) board.pieces[kWhitePawn] &= ~square_bb(shifted(to, 8));
    }
  }

  // The castling rook moves with the king.
  if (chess960_right >= 0) {
    // The king, moved onto the rook, and the rook go to their squares.
    board.pieces[mover] = (board.pieces[mover] & ~to_bb) | square_bb(chess960_king_to(chess960_right));
    board.pieces[rook] = (board.pieces[rook] & ~to_bb) | square_bb(chess960_rook_to(chess960_right));
  } else if (rook != kNoKind) {
    const Square home = us == kWhite ? kA1 : kA8;
    if (file_of(to) == 6) {
      move_bit(board.pieces[rook], shifted(home, 7), shifted(home, 5));
    } else {
      move_bit(board.pieces[rook], home, shifted(home, 3));
    }
  }

  if (promotion != kNoKind) {
    board.pieces[mover] &= ~to_bb;
    board.pieces[promotion] |= to_bb;
  }

  std::uint64_t state = board.state & ~state_bits::kEnPassantBits;
  if (mover == kWhitePawn && rank_of(to) == rank_of(from) + 2) {
    state |= std::uint64_t{1} << (state_bits::kBlackEnPassantBase + file_of(to));
  } else if (mover == kBlackPawn && rank_of(from) == rank_of(to) + 2) {
    state |= std::uint64_t{1} << (state_bits::kWhiteEnPassantBase + file_of(to));
  }

  state &= ~castling_rights_lost(board.castling_rooks, us, mover == make_kind(us, kKing),
                                 mover == make_kind(us, kRook), from, captured, to);

  board.state = state ^ state_bits::kWhiteToMove;

  // The key follows every bit that changed on the saved bitboards, which are
  // all that the move touched.
  std::uint64_t key = key_before ^ white_to_move_key();
  if (castling_may_change) key ^= castling_before ^ castling_key(board);
  for (unsigned kinds = mask; kinds; kinds &= kinds - 1) {
    const int k = std::countr_zero(kinds);
    for (Bitboard changed = board.piece_history[k].back() ^ board.pieces[k]; changed;) {
      key ^= piece_key(k, pop_lsb(changed));
    }
  }
  board.key = key;

  board.halfmove_clock = pawn || captured != kNoKind ? 0 : board.halfmove_clock + 1;
  if (us == kBlack) ++board.fullmove_number;
  return PushOutcome::kMade;
}

void pop_move(Board& board) {
  if (board.move_history.empty()) throw Panic("missing value: there is no move to take back");
  const HistoryEntry entry = board.move_history.back();
  for (int k = 0; k < kPieceKinds; ++k) {
    if ((entry.saved_mask >> k & 1) && board.piece_history[k].empty()) {
      throw Panic("missing value: a saved bitboard is missing from the history");
    }
  }
  board.move_history.pop_back();
  board.state = entry.prev_state;
  board.key = entry.prev_key;
  board.key_stale = false;
  board.halfmove_clock = entry.prev_clock;
  if (side_to_move(entry.prev_state) == kBlack && board.fullmove_number > 1) --board.fullmove_number;
  for (unsigned mask = entry.saved_mask; mask;) {
    const int k = std::countr_zero(mask);
    mask &= mask - 1;
    board.pieces[k] = board.piece_history[k].back();
    board.piece_history[k].pop_back();
  }
}

}  // namespace orvex
