#include "board/reflect.h"

namespace orvex {

void reflect(Board& board) {
  const auto old = board.pieces;
  for (int k = 0; k < kPieceKinds; ++k) board.pieces[k] = mirror(old[(k + 6) % kPieceKinds]);

  const std::uint64_t w = board.state;
  const std::uint64_t white_rights = (w >> 1) & 3;  // K, Q
  const std::uint64_t black_rights = (w >> 3) & 3;  // k, q
  const std::uint64_t white_files = (w >> state_bits::kWhiteEnPassantBase) & 0xFF;
  const std::uint64_t black_files = (w >> state_bits::kBlackEnPassantBase) & 0xFF;
  board.state = (w & ~std::uint64_t{0x1FFFFF}) | ((w & 1) ^ 1) | black_rights << 1 |
                white_rights << 3 | black_files << state_bits::kWhiteEnPassantBase |
                white_files << state_bits::kBlackEnPassantBase;

  const auto rooks = board.castling_rooks;
  board.castling_rooks = std::array<std::uint8_t, 4>{
      static_cast<std::uint8_t>(rooks[2] ^ 56), static_cast<std::uint8_t>(rooks[3] ^ 56),
      static_cast<std::uint8_t>(rooks[0] ^ 56), static_cast<std::uint8_t>(rooks[1] ^ 56)};

  board.key_stale = true;
  // The old moves cannot be taken back on the mirrored board.
  for (auto& stack : board.piece_history) std::vector<Bitboard>().swap(stack);
  std::vector<HistoryEntry>().swap(board.move_history);
}

}  // namespace orvex
