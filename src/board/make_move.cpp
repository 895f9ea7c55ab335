#include "board/make_move.h"

#include "board/panic.h"

namespace orvex {
namespace {

// Returns the first kind, in order 0 to 11, whose bitboard holds s, or -1.
int first_kind_on(const Board& board, Square s, int from_kind, int to_kind) {
  for (int k = from_kind; k < to_kind; ++k) {
    if (has_square(board.pieces[k], s)) return k;
  }
  return -1;
}

void save(Board& board, int kind, std::uint16_t& mask) {
  board.piece_history[kind].push_back(board.pieces[kind]);
  mask |= static_cast<std::uint16_t>(1u << kind);
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
  const bool white = white_to_move(board.state);

  const int mover = first_kind_on(board, from, 0, kPieceKinds);
  if (mover < 0) throw Panic("missing value: no piece stands on the from-square");
  const bool mover_white = mover < kBlackBase;
  const bool pawn = mover == kWhitePawn || mover == kBlackPawn;

  int captured = -1;
  bool en_passant = false;
  const Bitboard to_bb = square_bb(to);
  const int enemy_base = mover_white ? kBlackBase : kWhiteBase;
  captured = first_kind_on(board, to, enemy_base, enemy_base + 6);
  if (captured < 0 && pawn && file_of(from) != file_of(to)) {
    en_passant = true;
    captured = mover_white ? kBlackPawn : kWhitePawn;
  }

  int promotion = -1;
  if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) {
    // Refused before anything changes: the pawn must say what it becomes.
    if (code < kPromoteKnight || code > kPromoteQueen) return PushOutcome::kNeedsPromotion;
    promotion = code + mover - 3;
  }

  int rook = -1;
  if ((mover == kWhiteKing || mover == kBlackKing) && file_of(from) == 4 &&
      (file_of(to) == 2 || file_of(to) == 6)) {
    rook = mover - 2;
  }

  std::uint16_t mask = 0;
  save(board, mover, mask);
  if (captured >= 0) save(board, captured, mask);
  if (rook >= 0) save(board, rook, mask);
  if (promotion >= 0) save(board, promotion, mask);
  board.move_history.push_back(HistoryEntry{board.state, mask});

  move_bit(board.pieces[mover], from, to);
  if (captured >= 0) board.pieces[captured] &= ~to_bb;

  // The captured pawn stands behind the target; nothing is there when the
  // target is on the first or last rank.
  if (en_passant) {
    if (white) {
      if (to >= 8) board.pieces[kBlackPawn] &= ~square_bb(to - 8);
    } else {
      if (to < 56) board.pieces[kWhitePawn] &= ~square_bb(to + 8);
    }
  }

  // The castling rook moves with the king.
  if (rook >= 0) {
    const Square home = white ? 0 : 56;
    if (file_of(to) == 6) {
      move_bit(board.pieces[rook], home + 7, home + 5);
    } else {
      move_bit(board.pieces[rook], home + 0, home + 3);
    }
  }

  if (promotion >= 0) {
    board.pieces[mover] &= ~to_bb;
    board.pieces[promotion] |= to_bb;
  }

  std::uint64_t state = board.state & ~state_bits::kEnPassantBits;
  if (mover == kWhitePawn && rank_of(to) == rank_of(from) + 2) {
    state |= std::uint64_t{1} << (state_bits::kBlackEnPassantBase + file_of(to));
  } else if (mover == kBlackPawn && rank_of(from) == rank_of(to) + 2) {
    state |= std::uint64_t{1} << (state_bits::kWhiteEnPassantBase + file_of(to));
  }

  if (white) {
    if (mover == kWhiteKing) state &= ~(state_bits::kWhiteKingSide | state_bits::kWhiteQueenSide);
    if (mover == kWhiteRook && from == 7) state &= ~state_bits::kWhiteKingSide;
    if (mover == kWhiteRook && from == 0) state &= ~state_bits::kWhiteQueenSide;
  } else {
    if (mover == kBlackKing) state &= ~(state_bits::kBlackKingSide | state_bits::kBlackQueenSide);
    if (mover == kBlackRook && from == 63) state &= ~state_bits::kBlackKingSide;
    if (mover == kBlackRook && from == 56) state &= ~state_bits::kBlackQueenSide;
  }

  // A rook captured on its corner takes its castling right with it.
  if (captured == kWhiteRook && to == 0) state &= ~state_bits::kWhiteQueenSide;
  if (captured == kWhiteRook && to == 7) state &= ~state_bits::kWhiteKingSide;
  if (captured == kBlackRook && to == 56) state &= ~state_bits::kBlackQueenSide;
  if (captured == kBlackRook && to == 63) state &= ~state_bits::kBlackKingSide;

  board.state = state ^ state_bits::kWhiteToMove;
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
  for (unsigned mask = entry.saved_mask; mask;) {
    const int k = std::countr_zero(mask);
    mask &= mask - 1;
    board.pieces[k] = board.piece_history[k].back();
    board.piece_history[k].pop_back();
  }
}

}  // namespace orvex
