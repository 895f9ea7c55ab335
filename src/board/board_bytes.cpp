#include "board/board_bytes.h"

#include <bit>
#include <cstdint>
#include <utility>

#include "base/crc32.h"
#include "board/make_move.h"
#include "board/zobrist.h"

namespace orvex {
namespace {

constexpr std::size_t kEntryBytes = 8 + 8 + 4 + 2;
constexpr std::uint16_t kKindsMask = (1u << kPieceKinds) - 1;

// The layout of versions 1 and 2: no counters, and per move only the state
// and the saved mask.
constexpr std::size_t kOldHeader = kBoardBytesHeader - 8;
constexpr std::size_t kOldEntryBytes = 8 + 2;

constexpr std::uint16_t kPawnBits = (1u << kWhitePawn) | (1u << kBlackPawn);
constexpr std::uint16_t kWhiteBits = (1u << kBlackPawn) - 1;
constexpr std::uint16_t kBlackBits = kKindsMask & ~kWhiteBits;

// Works out what versions 1 and 2 do not hold: the keys and halfmove clocks
// before each move, and the counters now, as if the first position had been
// read without counters. A move reset the clock if it saved pawns or pieces
// of both colours (a capture).
void restore_counters_and_keys(Board& board) {
  Board unwound = board;
  for (std::size_t i = board.move_history.size(); i-- > 0;) {
    pop_move(unwound);
    board.move_history[i].prev_key = position_key(unwound);
  }
  std::uint32_t clock = 0;
  std::uint32_t number = 1;
  for (HistoryEntry& entry : board.move_history) {
    entry.prev_clock = clock;
    const bool zeroing = (entry.saved_mask & kPawnBits) ||
                         ((entry.saved_mask & kWhiteBits) && (entry.saved_mask & kBlackBits));
    clock = zeroing ? 0 : clock + 1;
    if (side_to_move(entry.prev_state) == kBlack) ++number;
  }
  board.halfmove_clock = clock;
  board.fullmove_number = number;
}

void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Reads little-endian numbers from a text whose length has been checked.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::uint64_t take(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= std::uint64_t{static_cast<unsigned char>(bytes_[pos_ + i])} << (8 * i);
    }
    pos_ += static_cast<std::size_t>(bytes);
    return value;
  }
  std::uint64_t u64() { return take(8); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

ParseError error(std::string message) { return ParseError{std::move(message)}; }

}  // namespace

std::string board_to_bytes(const Board& board) {
  std::size_t values = 0;
  for (const auto& stack : board.piece_history) values += stack.size();
  std::string out;
  out.reserve(kBoardBytesHeader + kEntryBytes * board.move_history.size() + 8 * values +
              kBoardBytesChecksum);
  out.append(kBoardBytesMagic);
  out.push_back(static_cast<char>(board.chess960 ? kChess960BoardBytesVersion : kBoardBytesVersion));
  for (Bitboard b : board.pieces) put(out, b, 8);
  put(out, board.state, 8);
  put(out, board.halfmove_clock, 4);
  put(out, board.fullmove_number, 4);
  put(out, board.move_history.size(), 8);
  for (const auto& stack : board.piece_history) put(out, stack.size(), 8);
  for (const HistoryEntry& entry : board.move_history) {
    put(out, entry.prev_state, 8);
    put(out, entry.prev_key, 8);
    put(out, entry.prev_clock, 4);
    put(out, entry.saved_mask, 2);
  }
  for (const auto& stack : board.piece_history) {
    for (Bitboard b : stack) put(out, b, 8);
  }
  if (board.chess960) {
    for (std::uint8_t rook : board.castling_rooks) put(out, rook, 1);
  }
  put(out, crc32(out), 4);
  return out;
}

Parsed<Board> board_from_bytes(std::string_view bytes) {
  if (bytes.size() < kOldHeader) {
    return error("too short: " + std::to_string(bytes.size()) +
                 " bytes, a board state has at least " + std::to_string(kOldHeader));
  }
  if (bytes.substr(0, kBoardBytesMagic.size()) != kBoardBytesMagic) {
    return error("not a board state (unknown header)");
  }
  const unsigned version = static_cast<unsigned char>(bytes[kBoardBytesMagic.size()]);
  if (version < 1 || version > kChess960BoardBytesVersion) {
    return error("unsupported format version " + std::to_string(version));
  }
  const bool current = version >= kBoardBytesVersion;
  const bool chess960 = version == kChess960BoardBytesVersion;
  const std::size_t rook_bytes = chess960 ? 4 : 0;
  const std::size_t header = current ? kBoardBytesHeader : kOldHeader;
  const std::size_t entry_bytes = current ? kEntryBytes : kOldEntryBytes;
  if (version >= 2) {
    if (bytes.size() < header + kBoardBytesChecksum) {
      return error("too short: " + std::to_string(bytes.size()) +
                   " bytes, a board state has at least " +
                   std::to_string(header + kBoardBytesChecksum));
    }
    const std::string_view body = bytes.substr(0, bytes.size() - kBoardBytesChecksum);
    if (Reader(bytes.substr(body.size())).take(4) != crc32(body)) {
      return error("checksum mismatch: the bytes are damaged");
    }
    bytes = body;
  }
  if (bytes.size() < rook_bytes) return error("too short: the castling rooks are missing");
  const std::string_view rooks = bytes.substr(bytes.size() - rook_bytes);
  bytes.remove_suffix(rook_bytes);
  const std::size_t size = bytes.size();

  if (size < header) {
    return error("too short: " + std::to_string(size) + " bytes, a board state has at least " +
                 std::to_string(header));
  }

  Board board;
  Reader reader(bytes.substr(kBoardBytesMagic.size() + 1));
  for (Bitboard& b : board.pieces) b = reader.u64();
  board.state = reader.u64();
  if (current) {
    board.halfmove_clock = static_cast<std::uint32_t>(reader.take(4));
    board.fullmove_number = static_cast<std::uint32_t>(reader.take(4));
    if (board.fullmove_number == 0) return error("fullmove number 0");
  }
  const std::uint64_t moves = reader.u64();
  std::array<std::uint64_t, kPieceKinds> lengths{};
  for (std::uint64_t& length : lengths) length = reader.u64();

  // Every move saves each kind at most once, so no stack is longer than the
  // move list; checked first so that the size sum below cannot overflow.
  const std::size_t body = size - header;
  if (moves > body / entry_bytes) {
    return error("wrong length: " + std::to_string(moves) + " moves do not fit in " +
                 std::to_string(size) + " bytes");
  }
  std::uint64_t values = 0;
  for (int k = 0; k < kPieceKinds; ++k) {
    if (lengths[k] > moves) {
      return error("history of kind " + std::to_string(k) + " holds " + std::to_string(lengths[k]) +
                   " bitboards but only " + std::to_string(moves) + " moves were made");
    }
    values += lengths[k];
  }
  const std::uint64_t expected = header + entry_bytes * moves + 8 * values;
  if (expected != size) {
    return error("wrong length: expected " + std::to_string(expected) + " bytes, got " +
                 std::to_string(size));
  }

  std::array<std::uint64_t, kPieceKinds> saved{};
  board.move_history.reserve(static_cast<std::size_t>(moves));
  for (std::uint64_t i = 0; i < moves; ++i) {
    HistoryEntry entry{};
    entry.prev_state = reader.u64();
    if (current) {
      entry.prev_key = reader.u64();
      entry.prev_clock = static_cast<std::uint32_t>(reader.take(4));
    }
    entry.saved_mask = reader.u16();
    if (entry.saved_mask & ~kKindsMask) {
      return error("move " + std::to_string(i + 1) + " has saved mask " +
                   std::to_string(entry.saved_mask) + " with bits above 11");
    }
    for (unsigned mask = entry.saved_mask; mask; mask &= mask - 1) ++saved[std::countr_zero(mask)];
    board.move_history.push_back(entry);
  }
  for (int k = 0; k < kPieceKinds; ++k) {
    if (saved[k] != lengths[k]) {
      return error("history of kind " + std::to_string(k) + " holds " + std::to_string(lengths[k]) +
                   " bitboards but the moves saved " + std::to_string(saved[k]));
    }
  }
  for (int k = 0; k < kPieceKinds; ++k) {
    auto& stack = board.piece_history[k];
    stack.reserve(static_cast<std::size_t>(lengths[k]));
    for (std::uint64_t i = 0; i < lengths[k]; ++i) stack.push_back(reader.u64());
  }
  if (!current) restore_counters_and_keys(board);
  if (chess960) {
    board.chess960 = true;
    std::array<std::uint8_t, 4> squares = kStandardCastlingRooks;
    for (std::size_t i = 0; i < rook_bytes; ++i) {
      squares[i] = static_cast<std::uint8_t>(rooks[i]);
      if (squares[i] > 63) return error("castling rook square out of range");
    }
    board.castling_rooks = squares;
  }
  return board;
}

}  // namespace orvex
