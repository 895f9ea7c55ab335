// FEN reading and writing on arbitrary bytes.
//
// Each input is read three ways: pieces_from_fen, board_from_fen, and a small
// reference reader written from the FEN rules of this library. The outcomes
// (value, error message or Panic) must agree, and every board that reads must
// survive board_fen -> board_from_fen -> board_fen unchanged in what FEN can
// express.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/bitboard_view.h"
#include "board/fen.h"
#include "base/panic.h"
#include "base/utf8.h"
#include "fuzz_support.h"

namespace orvex::fuzz {
namespace {

using Pieces = std::array<Bitboard, kPieceKinds>;

// What reading a text gave: a board, an error message, or a Panic message.
struct Outcome {
  enum Kind { kBoard, kError, kPanic } kind;
  Board board;
  std::string message;
};

std::vector<std::string_view> fields_of(std::string_view text) {
  std::vector<std::string_view> out;
  Fields fields(text);
  std::string_view field;
  while (fields.next(field)) out.push_back(field);
  return out;
}

// The placement rules: cut at '/', read the pieces last to first, count
// squares modulo 64. Returns nullopt for a character outside the table.
std::optional<Pieces> reference_placement(std::string_view field) {
  std::vector<std::string_view> ranks;
  std::size_t begin = 0;
  while (true) {
    const std::size_t slash = field.find('/', begin);
    ranks.push_back(field.substr(begin, slash == std::string_view::npos ? slash : slash - begin));
    if (slash == std::string_view::npos) break;
    begin = slash + 1;
  }
  Pieces pieces{};
  std::uint64_t counter = 0;
  // Byte by byte: a placement is ASCII, and no other byte (an overlong
  // encoding of a letter included) stands for a piece.
  for (auto it = ranks.rbegin(); it != ranks.rend(); ++it) {
    for (const char c : *it) {
      if (c >= '0' && c <= '9') {
        counter += c - '0';
        continue;
      }
      const char* letter = c != 0 ? std::char_traits<char>::find(kPieceLetters, kPieceKinds, c) : nullptr;
      if (!letter) return std::nullopt;
      pieces[letter - kPieceLetters] |= Bitboard{1} << (counter % 64);
      ++counter;
    }
  }
  return pieces;
}

Outcome reference_board(std::string_view text) {
  const std::vector<std::string_view> f = fields_of(text);
  Outcome out{Outcome::kPanic, Board{}, ""};
  if (f.empty()) return out;
  const std::optional<Pieces> pieces = reference_placement(f[0]);
  if (!pieces) {
    out.message = "Invalid piece type";
    return out;
  }
  out.board.pieces = *pieces;
  if (f.size() < 2) return out;
  if (f[1] != "w" && f[1] != "b") return {Outcome::kError, Board{}, "Invalid side-to-move"};
  std::uint64_t state = f[1] == "w" ? 1 : 0;
  if (f.size() < 3) return out;
  for (std::size_t pos = 0; pos < f[2].size();) {
    const char32_t c = next_code_point(f[2], pos);
    if (c == '-') break;
    const std::string_view letters = "KQkq";
    const std::size_t i = c < 0x80 ? letters.find(static_cast<char>(c)) : std::string_view::npos;
    if (i == std::string_view::npos) return {Outcome::kError, Board{}, "Invalid castling specifier"};
    state |= std::uint64_t{2} << i;
  }
  if (f.size() < 4) return out;
  // Only a first byte a to h names an en-passant file (an overlong UTF-8
  // encoding of a letter is no letter).
  const char file = f[3].empty() ? '\0' : f[3].front();
  if (file >= 'a' && file <= 'h') state |= std::uint64_t{1} << ((state & 1 ? 5 : 13) + (file - 'a'));
  out.kind = Outcome::kBoard;
  out.board.state = state;
  return out;
}

Outcome library_board(std::string_view text) {
  try {
    Parsed<Board> parsed = board_from_fen(text);
    if (!parsed.ok()) return {Outcome::kError, Board{}, parsed.error()};
    return {Outcome::kBoard, parsed.value(), ""};
  } catch (const Panic& e) {
    return {Outcome::kPanic, Board{}, e.what()};
  }
}

const char* kind_name(Outcome::Kind k) {
  return k == Outcome::kBoard ? "board" : k == Outcome::kError ? "error" : "panic";
}

// Each square keeps only the lowest kind that holds it, as FEN writes it.
Pieces first_kind_per_square(const Pieces& pieces) {
  Pieces out{};
  Bitboard taken = 0;
  for (int k = 0; k < kPieceKinds; ++k) {
    out[k] = pieces[k] & ~taken;
    taken |= pieces[k];
  }
  return out;
}

// The state word that FEN can express: side, rights and the side to move's
// lowest en-passant file.
std::uint64_t writable_state(std::uint64_t state) {
  const int base = state & 1 ? state_bits::kWhiteEnPassantBase : state_bits::kBlackEnPassantBase;
  const std::uint64_t files = (state >> base) & 0xFF;
  return (state & 0x1F) | ((files & (~files + 1)) << base);
}

void check_round_trip(const Board& board) {
  const std::string fen = board_fen(board);
  const std::vector<std::string_view> f = fields_of(fen);
  ORVEX_CHECK(f.size() == 4, fen);
  for (char c : fen) ORVEX_CHECK((c > 0x20 && c < 0x7F) || c == ' ', fen);
  ORVEX_CHECK(fen.find("  ") == std::string::npos, fen);

  const Outcome again = library_board(fen);
  ORVEX_CHECK(again.kind == Outcome::kBoard, fen + " -> " + again.message);
  ORVEX_CHECK(again.board.pieces == first_kind_per_square(board.pieces), fen);
  ORVEX_CHECK(again.board.state == writable_state(board.state), fen);
  ORVEX_CHECK(again.board.move_history.empty(), fen);
  ORVEX_CHECK(board_fen(again.board) == fen, fen + " -> " + board_fen(again.board));
  ORVEX_CHECK(pieces_from_fen(fen) == again.board.pieces, fen);
}

void check_view(const Pieces& pieces) {
  const BitboardView view = bitboard_view(pieces);
  for (int k = 0; k < kPieceKinds; ++k) {
    for (int s = 0; s < kSquares; ++s) {
      ORVEX_CHECK(view[k * kSquares + s] == ((pieces[k] >> s) & 1), "kind " + std::to_string(k));
    }
  }
}

}  // namespace
}  // namespace orvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvex;
  using namespace orvex::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string shown(text);

  std::optional<std::array<Bitboard, kPieceKinds>> pieces;
  std::string pieces_panic;
  try {
    pieces = pieces_from_fen(text);
  } catch (const Panic& e) {
    pieces_panic = e.what();
  }

  const Outcome expected = reference_board(text);
  const Outcome actual = library_board(text);
  ORVEX_CHECK(actual.kind == expected.kind,
              shown + "\nlibrary: " + kind_name(actual.kind) + " " + actual.message +
                  "\nreference: " + kind_name(expected.kind) + " " + expected.message);
  if (expected.kind != Outcome::kPanic || !expected.message.empty()) {
    ORVEX_CHECK(actual.message == expected.message, shown + "\n" + actual.message);
  }

  // The placement is read, and fails, before anything else.
  if (!pieces) {
    ORVEX_CHECK(actual.kind == Outcome::kPanic && actual.message == pieces_panic,
                shown + "\n" + actual.message + " / " + pieces_panic);
    return 0;
  }
  check_view(*pieces);
  if (actual.kind != Outcome::kBoard) return 0;

  ORVEX_CHECK(actual.board.pieces == *pieces, shown);
  ORVEX_CHECK(actual.board.pieces == expected.board.pieces, shown);
  ORVEX_CHECK(actual.board.state == expected.board.state, shown);
  ORVEX_CHECK(actual.board.move_history.empty() && history_consistent(actual.board), shown);
  check_round_trip(actual.board);
  return 0;
}
