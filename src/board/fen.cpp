#include "board/fen.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/panic.h"
#include "base/utf8.h"
#include "board/castling_field.h"

namespace orvex {
namespace {

std::string_view required_field(Fields& fields, const char* name) {
  std::string_view field;
  if (!fields.next(field)) throw Panic(std::string("missing value: FEN text has no ") + name);
  return field;
}

// What a byte means to the placement scan.
enum ByteClass : std::int8_t {
  kOther = -1,  // anything else, bytes 0x80 to 0xFF included
  // 0 to 11: the piece kinds
  kDigit = 12,  // 0 to 9
  kSlash = 13,
  kSpace = 14,  // ASCII white space
};

constexpr std::array<std::int8_t, 256> make_byte_classes() {
  std::array<std::int8_t, 256> classes{};
  for (auto& c : classes) c = kOther;
  for (int k = 0; k < kPieceKinds; ++k) {
    classes[static_cast<unsigned char>(kPieceLetters[k])] = static_cast<std::int8_t>(k);
  }
  for (char c = '0'; c <= '9'; ++c) classes[static_cast<unsigned char>(c)] = kDigit;
  classes['/'] = kSlash;
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) classes[c] = kSpace;
  return classes;
}

constexpr std::array<std::int8_t, 256> kByteClasses = make_byte_classes();

// What a byte does to the placement: the slot its bit goes to (a piece kind,
// or a spare slot for anything else: 12 digits, 13 '/', 15 other bytes), how
// far it moves the square (a piece one, a digit its value, a slash from the
// end of one rank to the start of the next), how far it moves the square
// against the end of its rank (the same, but a slash eight back; a byte that
// a standard placement cannot hold, far out of reach), and whether it is one.
struct alignas(4) PlacementByte {
  std::uint8_t slot;
  std::int8_t step;
  std::int8_t gap_step;
  std::uint8_t foreign;
};

constexpr std::array<PlacementByte, 256> make_placement_bytes() {
  std::array<PlacementByte, 256> bytes{};
  for (int b = 0; b < 256; ++b) {
    const int c = kByteClasses[b];
    const bool digit = c == kDigit;
    const bool foreign = !(c >= 0 && c < kDigit) && !(digit && b != '0' && b != '9') && c != kSlash;
    const int step = c >= 0 && c < kDigit ? 1 : digit ? b - '0' : c == kSlash ? -16 : 0;
    bytes[b] = {static_cast<std::uint8_t>(c < 0 || c == kSpace ? 15 : c), static_cast<std::int8_t>(step),
                static_cast<std::int8_t>(foreign ? 100 : c == kSlash ? -8 : step),
                static_cast<std::uint8_t>(foreign)};
  }
  return bytes;
}

constexpr std::array<PlacementByte, 256> kPlacementBytes = make_placement_bytes();

}  // namespace

// Returns the value of a counter field of ASCII digits, or -1 when it is not
// one or is larger than kMaxCounter.
std::int64_t counter_value(std::string_view field) {
  if (field.empty() || field.size() > 10) return -1;
  std::int64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= kMaxCounter ? value : -1;
}

void read_counters(Fields& fields, Board& board) {
  std::string_view field;
  if (!fields.next(field)) return;
  if (const std::int64_t clock = counter_value(field); clock >= 0) {
    board.halfmove_clock = static_cast<std::uint32_t>(clock);
  }
  if (!fields.next(field)) return;
  if (const std::int64_t number = counter_value(field); number >= 1) {
    board.fullmove_number = static_cast<std::uint32_t>(number);
  }
}

bool read_common_fen(std::string_view fen, Board& board) {
  if (fen.size() > 4096) return false;  // none of the common case is this long
  const char* p = fen.data();
  const char* const end = p + fen.size();
  auto byte_class = [&](const char* at) {
    return at < end ? kByteClasses[static_cast<unsigned char>(*at)] : std::int8_t{kOther};
  };
  // Skips ASCII white space; false at the text's end or at a byte that may
  // begin a wider white space.
  auto skip_space = [&]() {
    while (p < end && kByteClasses[static_cast<unsigned char>(*p)] == kSpace) ++p;
    return p < end && static_cast<unsigned char>(*p) < 0x80;
  };

  if (!skip_space()) return false;
  // The placement ends at the first space; any other white space before it
  // makes it non-standard here, which sends the text to the general reader.
  const char* const stop = static_cast<const char*>(std::memchr(p, ' ', end - p));
  if (!stop) return false;
  const PlacementScan placement = scan_placement(std::string_view(p, static_cast<std::size_t>(stop - p)));
  if (!placement.standard) return false;
  board.pieces = placement.pieces;
  p = stop;

  if (!skip_space() || byte_class(p + 1) != kSpace) return false;
  if (*p == 'w') {
    board.state = state_bits::kWhiteToMove;
  } else if (*p != 'b') {
    return false;
  }
  ++p;

  if (!skip_space()) return false;
  const char* const castling = p;
  for (; p < end && kByteClasses[static_cast<unsigned char>(*p)] != kSpace; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  const CastlingField rights = read_castling_field(std::string_view(castling, static_cast<std::size_t>(p - castling)),
                                                   CastlingLetters::kStandard, false, false);
  if (rights.stop == CastlingField::Stop::kBadLetter) return false;
  board.state |= rights.rights();

  // Only the first byte of the en-passant field counts.
  if (!skip_space()) return false;
  if (*p >= 'a' && *p <= 'h') {
    board.state |= std::uint64_t{1} << (en_passant_base(side_to_move(board.state)) + (*p - 'a'));
  }
  if (p + 2 < end) {  // more than "e3": perhaps the counters
    Fields rest(std::string_view(p, static_cast<std::size_t>(end - p)));
    std::string_view en_passant;
    rest.next(en_passant);
    read_counters(rest, board);
  }
  return true;
}

namespace {

// The first byte of a placement after which it is not standard (see
// scan_placement), or its size: worked out only for a placement that is not.
std::size_t placement_fault(std::string_view field) {
  unsigned square = 56;
  unsigned gap = static_cast<unsigned>(-8);
  for (std::size_t i = 0; i < field.size(); ++i) {
    const PlacementByte b = kPlacementBytes[static_cast<unsigned char>(field[i])];
    square += static_cast<unsigned>(b.step);
    gap += static_cast<unsigned>(b.gap_step);
    if (gap + 8 > 8 || static_cast<int>(square) < 0) return i;
  }
  return field.size();
}

}  // namespace

PlacementScan scan_placement(std::string_view field) {
  // Without a branch per byte: every byte writes a bit (digits, slashes and
  // other bytes into spare slots) and moves the square on. gap, the square
  // less the end of its rank, stays within -8 to 0 while the placement is
  // standard: a piece or digit may not pass the end, and a slash, allowed
  // only at the end, takes it to -8; counted modulo 2^32. The first byte
  // after which it is not, or after which the square is below a1 (a ninth
  // rank), or that is foreign, is the fault.
  alignas(16) std::array<Bitboard, 16> bits;
  // Zeroed with plain stores: a string instruction would start slowly.
  for (std::size_t i = 0; i < bits.size(); i += 2) {
    bits[i] = 0;
    bits[i + 1] = 0;
  }
  unsigned square = 56;  // a8
  unsigned gap = static_cast<unsigned>(-8);
  unsigned worst = 0;  // the largest gap + 8 met
  for (const char c : field) {
    const PlacementByte b = kPlacementBytes[static_cast<unsigned char>(c)];
    bits[b.slot] |= Bitboard{1} << (square & 63);
    square += static_cast<unsigned>(b.step);
    gap += static_cast<unsigned>(b.gap_step);
    worst = std::max(worst, gap + 8);
  }
  PlacementScan scan;
  std::copy(bits.begin(), bits.begin() + kPieceKinds, scan.pieces.begin());
  // Eight full ranks, and only they, end on square 8, the end of the first
  // rank: with full ranks each slash takes the square down by eight in all,
  // and the text is too short for the count to wrap round.
  scan.standard = worst <= 8 && gap == 0 && square == 8;
  scan.fault = scan.standard ? field.size() : placement_fault(field);
  scan.squares = square - 56;
  scan.other = bits[15] != 0;
  return scan;
}

bool is_foreign_placement_byte(char c) { return kPlacementBytes[static_cast<unsigned char>(c)].foreign; }

std::array<Bitboard, kPieceKinds> pieces_from_fen(std::string_view fen) {
  Fields fields(fen);
  const std::string_view placement = required_field(fields, "placement field");
  const PlacementScan whole = scan_placement(placement);
  if (whole.standard) return whole.pieces;
  // Any other shape: the '/'-pieces are laid out last to first, so the last
  // one starts at a1, squares counted modulo 64. A piece scanned on its own
  // starts at a8, so its bits turn by the distance from there.
  std::array<Bitboard, kPieceKinds> pieces{};
  unsigned square = 0;
  std::size_t end = placement.size();
  while (true) {
    const std::size_t slash = end == 0 ? std::string_view::npos : placement.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const PlacementScan rank = scan_placement(placement.substr(begin, end - begin));
    if (rank.other) throw Panic("Invalid piece type");
    const int turn = static_cast<int>((square - 56) & 63);
    for (int k = 0; k < kPieceKinds; ++k) pieces[k] |= std::rotl(rank.pieces[k], turn);
    square = (square + rank.squares) & 63;
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  return pieces;
}

Parsed<Board> board_from_fen(std::string_view fen) {
  {
    Board board;
    if (read_common_fen(fen, board)) return board;
  }
  return board_from_fen_general(fen);
}

Parsed<Board> board_from_fen_general(std::string_view fen) {
  Board board;
  board.pieces = pieces_from_fen(fen);

  Fields fields(fen);
  std::string_view skipped;
  fields.next(skipped);

  const std::string_view side = required_field(fields, "side-to-move field");
  if (side == "w") {
    board.state = state_bits::kWhiteToMove;
  } else if (side == "b") {
    board.state = 0;
  } else {
    return ParseError{"Invalid side-to-move"};
  }

  const CastlingField rights = read_castling_field(required_field(fields, "castling field"),
                                                   CastlingLetters::kStandard, false, true);
  if (rights.stop == CastlingField::Stop::kBadLetter) return ParseError{"Invalid castling specifier"};
  board.state |= rights.rights();

  // Only the file letter of the target is read; the rank digit is not. A
  // first character other than a to h sets no bit.
  const std::string_view en_passant = required_field(fields, "en-passant field");
  const char file = en_passant.front();
  if (file >= 'a' && file <= 'h') {
    board.state |= std::uint64_t{1} << (en_passant_base(side_to_move(board.state)) + (file - 'a'));
  }
  read_counters(fields, board);
  return board;
}

std::string board_fen(const Board& board, bool counters, bool shredder) {
  std::string fen;
  fen.reserve(90);
  for (int rank = 7; rank >= 0; --rank) {
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const Square s = make_square(file, rank);
      int kind = 0;
      while (kind < kPieceKinds && !has_square(board.pieces[kind], s)) ++kind;
      if (kind == kPieceKinds) {
        ++empty;
        continue;
      }
      if (empty) fen += static_cast<char>('0' + empty);
      empty = 0;
      fen += kPieceLetters[kind];
    }
    if (empty) fen += static_cast<char>('0' + empty);
    if (rank) fen += '/';
  }

  const bool white = white_to_move(board.state);
  fen += white ? " w " : " b ";
  fen += castling_field_text(board, shredder);
  fen += ' ';

  const int base = white ? state_bits::kWhiteEnPassantBase : state_bits::kBlackEnPassantBase;
  const unsigned files = (board.state >> base) & 0xFF;
  if (files) {
    fen += static_cast<char>('a' + std::countr_zero(files));
    fen += white ? '6' : '3';
  } else {
    fen += '-';
  }
  if (counters) {
    fen += ' ';
    fen += std::to_string(shown_counter(board.halfmove_clock));
    fen += ' ';
    fen += std::to_string(shown_counter(board.fullmove_number));
  }
  return fen;
}

}  // namespace orvex
