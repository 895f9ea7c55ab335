#include "board/zobrist.h"

#include "board/polyglot_keys.h"

namespace orvex {
namespace {

constexpr int kCastlingKeys = 768;
constexpr int kEnPassantKeys = 772;
constexpr int kWhiteToMoveKey = 780;

// The Polyglot number of a piece kind: 2 * type, plus 1 for white.
constexpr int polyglot_piece(int kind) {
  return 2 * type_of(static_cast<PieceKind>(kind)) +
         (color_of(static_cast<PieceKind>(kind)) == kWhite ? 1 : 0);
}

struct CastlingKey {
  std::uint64_t right;
  PieceKind king;
  Square king_home;
  PieceKind rook;
  Square rook_home;
  int key;
};

constexpr CastlingKey kCastlingRights[4] = {
    {state_bits::kWhiteKingSide, kWhiteKing, kE1, kWhiteRook, kH1, kCastlingKeys + 0},
    {state_bits::kWhiteQueenSide, kWhiteKing, kE1, kWhiteRook, kA1, kCastlingKeys + 1},
    {state_bits::kBlackKingSide, kBlackKing, kE8, kBlackRook, kH8, kCastlingKeys + 2},
    {state_bits::kBlackQueenSide, kBlackKing, kE8, kBlackRook, kA8, kCastlingKeys + 3},
};

}  // namespace

std::uint64_t zobrist(const Board& board) {
  std::uint64_t key = 0;
  for (int kind = 0; kind < kPieceKinds; ++kind) {
    const int base = 64 * polyglot_piece(kind);
    for (Bitboard b = board.pieces[kind]; b;) key ^= kPolyglotKeys[base + pop_lsb(b)];
  }

  for (const CastlingKey& c : kCastlingRights) {
    if ((board.state & c.right) && has_square(board.pieces[c.king], c.king_home) &&
        has_square(board.pieces[c.rook], c.rook_home)) {
      key ^= kPolyglotKeys[c.key];
    }
  }

  // The file that fen() shows, when a pawn of the side to move stands on the
  // fifth (fourth) rank next to it.
  const Color us = side_to_move(board.state);
  const unsigned files = (board.state >> en_passant_base(us)) & 0xFF;
  if (files) {
    const int file = std::countr_zero(files);
    const Bitboard beside = (file > 0 ? Bitboard{1} << (file - 1) : 0) |
                            (file < 7 ? Bitboard{1} << (file + 1) : 0);
    const int rank = us == kWhite ? 4 : 3;
    if (board.pieces[make_kind(us, kPawn)] & (beside << (8 * rank))) {
      key ^= kPolyglotKeys[kEnPassantKeys + file];
    }
  }

  if (white_to_move(board.state)) key ^= kPolyglotKeys[kWhiteToMoveKey];
  return key;
}

}  // namespace orvex
