#include "selfplay/game.h"

#include <algorithm>
#include <bit>
#include <span>

#include "board/board.h"
#include "board/zobrist.h"
#include "encoding/policy.h"
#include "move_generator/attacks.h"
#include "move_generator/legal_moves.h"
#include "move_generator/mask_generator.h"

namespace orvex::selfplay {
namespace {

constexpr std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// Random numbers for the en-passant square of a position's key.
constexpr std::array<std::uint64_t, kSquares> kSquareKeys = [] {
  std::array<std::uint64_t, kSquares> keys{};
  for (int s = 0; s < kSquares; ++s) keys[s] = splitmix64(0x6F72766578ull * 64 + s);
  return keys;
}();

constexpr Position kStart{{0xFF00ull, 0x42ull, 0x24ull, 0x81ull, 0x08ull, 0x10ull,
                           0x00FF000000000000ull, 0x4200000000000000ull, 0x2400000000000000ull,
                           0x8100000000000000ull, 0x0800000000000000ull, 0x1000000000000000ull},
                          state_bits::kWhiteToMove | state_bits::kCastlingRights};

constexpr Bitboard kDarkSquares = 0xAA55AA55AA55AA55ull;  // a1 is dark

// pgx's piece codes on a board seen from the side to move: positive for its
// pieces, negative for the other side's.
constexpr int kPawnCode = 1, kBishopCode = 3, kRookCode = 4, kQueenCode = 5, kKingCode = 6;

// The square a pgx action goes to, seen from the side to move (index
// file * 8 + rank), or -1 off the board.
int pgx_target(int from, int plane) {
  if (plane < 9) {
    if (from % 8 != 6) return -1;
    constexpr int kSteps[3] = {1, 9, -7};
    const int to = from + kSteps[plane % 3];
    return to >= 0 && to < 64 ? to : -1;
  }
  static constexpr int kRankSteps[64] = {
      -7, -6, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0, 0, 0,
      0,  0,  0,  0,  0,  0,  0,  -7, -6, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 6, 7,
      7,  6,  5,  4,  3,  2,  1,  -1, -2, -3, -4, -5, -6, -7, -1, 1, -2, 2, -1, 1, -2, 2};
  static constexpr int kFileSteps[64] = {
      0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  -7, -6, -5, -4, -3, -2, -1,
      1,  2,  3,  4,  5,  6,  7,  -7, -6, -5, -4, -3, -2, -1, 1,  2,  3,  4,  5,  6,  7,
      -7, -6, -5, -4, -3, -2, -1, 1,  2,  3,  4,  5,  6,  7,  -2, -2, -1, -1, 2,  2,  1,  1};
  const int rank = from % 8 + kRankSteps[plane - 9];
  const int file = from / 8 + kFileSteps[plane - 9];
  return rank >= 0 && rank < 8 && file >= 0 && file < 8 ? file * 8 + rank : -1;
}

// The index of an absolute square on a board seen by `us`, and back.
constexpr int seen_index(int square, Color us) {
  const int rank = us == kWhite ? square >> 3 : 7 - (square >> 3);
  return (square & 7) * 8 + rank;
}
constexpr int absolute_square(int index, Color us) {
  const int rank = us == kWhite ? index % 8 : 7 - index % 8;
  return rank * 8 + index / 8;
}

constexpr int floor_half(int x) { return x >= 0 ? x / 2 : -((1 - x) / 2); }

// Makes any action as pgx makes it, on the board seen from the side to move:
// the en-passant pawn taken by any pawn that lands on the en-passant square,
// the rook moved by the king's two-square step from e1 whatever stands
// where, a piece landing on its own side's piece destroying it, a move off
// the board landing on h8, an underpromotion plane turning any piece into
// that piece. The side to move passes to the other side.
void apply_pgx_action(Game& g, int action) {
  const Color us = colour(g);
  std::array<int, 64> b{};
  for (int kind = 0; kind < kPieceKinds; ++kind) {
    const int code = (type_of(static_cast<PieceKind>(kind)) + 1) *
                     (color_of(static_cast<PieceKind>(kind)) == us ? 1 : -1);
    for (Bitboard bits = g.position.pieces[kind]; bits;) b[seen_index(pop_lsb(bits), us)] = code;
  }
  auto at = [&](int index) -> int& { return b[index < 0 ? index + 64 : index]; };

  const int from = action / 73;
  const int plane = action % 73;
  const int to = pgx_target(from, plane);
  const int under = plane < 9 ? plane / 3 : -1;
  int piece = b[from];
  const int en_passant = g.en_passant >= 0 ? seen_index(g.en_passant, us) : -1;
  if (en_passant >= 0 && piece == kPawnCode && en_passant == to) at(to - 1) = 0;
  const bool double_step = piece == kPawnCode && std::abs(to - from) == 2;
  const int next_en_passant = double_step ? floor_half(to + from) : -1;
  const bool captured = at(to) < 0 || double_step;
  g.halfmove = captured || piece == kPawnCode ? 0 : g.halfmove + 1;
  if (piece == kKingCode && from == 32 && to == 16) {
    b[0] = 0;
    b[24] = kRookCode;
  }
  if (piece == kKingCode && from == 32 && to == 48) {
    b[56] = 0;
    b[40] = kRookCode;
  }
  const std::uint8_t my_a = us == kWhite ? kWhiteASide : kBlackASide;
  const std::uint8_t my_h = us == kWhite ? kWhiteHSide : kBlackHSide;
  const std::uint8_t their_a = us == kWhite ? kBlackASide : kWhiteASide;
  const std::uint8_t their_h = us == kWhite ? kBlackHSide : kWhiteHSide;
  // pgx's own rule for any action, on its squares: a board's castling rights
  // change only by legal moves (make_game_move).
  if (from == 32 || from == 0) g.flags &= ~my_a;
  if (from == 32 || from == 56) g.flags &= ~my_h;
  if (to == 7) g.flags &= ~their_a;
  if (to == 63) g.flags &= ~their_h;
  if (piece == kPawnCode && from % 8 == 6 && under < 0) piece = kQueenCode;
  if (under >= 0) {
    constexpr int kUnder[3] = {kRookCode, kBishopCode, 2};
    piece = kUnder[under];
  }
  b[from] = 0;
  at(to) = piece;

  g.position.pieces = {};
  for (int index = 0; index < 64; ++index) {
    const int code = b[index];
    if (!code) continue;
    const Color owner = code > 0 ? us : ~us;
    g.position.pieces[make_kind(owner, static_cast<PieceType>(std::abs(code) - 1))] |=
        square_bb(static_cast<Square>(absolute_square(index, us)));
  }
  g.position.state = us == kWhite ? 0 : state_bits::kWhiteToMove;
  g.en_passant = static_cast<std::int8_t>(next_en_passant >= 0 ? absolute_square(next_en_passant, us) : -1);
}

Bitboard side_occupancy_of(const std::array<Bitboard, kPieceKinds>& pieces, Color c) {
  const int base = color_base(c);
  Bitboard b = 0;
  for (int t = 0; t < kPieceTypes; ++t) b |= pieces[base + t];
  return b;
}

bool king_attacked(const AttackTables& tables, const Position& p) {
  const Color us = side_to_move(p.state);
  const Bitboard king = p.pieces[make_kind(us, kKing)];
  if (!king) return false;
  Bitboard all = 0;
  for (Bitboard b : p.pieces) all |= b;
  return square_attacked(tables, p.pieces, lsb(king), us, all);
}

}  // namespace

std::uint64_t game_key(const std::array<Bitboard, kPieceKinds>& pieces, Color side, std::uint8_t flags,
                       int en_passant) {
  std::uint64_t key = polyglot::kCastlingKeys[flags & kAllFlags];
  for (int kind = 0; kind < kPieceKinds; ++kind) {
    for (Bitboard b = pieces[kind]; b;) key ^= piece_key(kind, pop_lsb(b));
  }
  if (side == kWhite) key ^= white_to_move_key();
  if (en_passant >= 0) key ^= kSquareKeys[en_passant];
  return key;
}

bool pgx_insufficient_material(const std::array<Bitboard, kPieceKinds>& p) {
  Bitboard all = 0;
  for (Bitboard b : p) all |= b;
  const int pieces = std::popcount(all);
  const int heavy = std::popcount(p[kWhitePawn] | p[kBlackPawn] | p[kWhiteRook] | p[kBlackRook] |
                                  p[kWhiteQueen] | p[kBlackQueen] | p[kWhiteKing] | p[kBlackKing]) - 2;
  const Bitboard bishop_squares = p[kWhiteBishop] | p[kBlackBishop];
  const int bishops = std::popcount(bishop_squares);
  const int dark = std::popcount(bishop_squares & kDarkSquares);
  return pieces <= 2 || (pieces == 3 && heavy == 0) ||
         (pieces == bishops + 2 && (dark == bishops || dark == 0));
}

void refresh_legal_moves(const AttackTables& tables, Game& g) {
  g.legal = 0;
  if (g.terminated) return;
  MoveList list;
  if (!legal_moves_one_king(tables, g.position.pieces, g.position.state, list)) {
    Board probe;
    set_position(probe, g.position.pieces, g.position.state);
    legal_moves(tables, probe, list);
  }
  const std::size_t n = std::min<std::size_t>(list.size(), kMostMoves);
  std::copy(list.begin(), list.begin() + n, g.moves.begin());
  policy_indices(Encoding::kAlphaZero, colour(g), std::span<const ChessMove>(g.moves.data(), n),
                 g.ids.data());
  g.legal = static_cast<std::uint16_t>(n);
}

void reset_game(const AttackTables& tables, Game& g, bool player_one_white, PrngKey key) {
  g.position = kStart;
  g.flags = kAllFlags;
  g.en_passant = -1;
  g.halfmove = 0;
  g.step_count = 0;
  g.terminated = false;
  g.player_one_white = player_one_white;
  g.rewards = {0.0f, 0.0f};
  g.key = key;
  g.head = 0;
  g.ring = {};
  g.ring[0] = kStart.pieces;
  g.keys.assign(1, game_key(kStart.pieces, kWhite, kAllFlags, -1));
  g.others.assign(1, 0);
  g.played.clear();
  refresh_legal_moves(tables, g);
}

int legal_place(const Game& g, int action) {
  for (int i = 0; i < g.legal; ++i) {
    if (g.ids[i] == action) return i;
  }
  return -1;
}

void make_game_move(Game& g, ChessMove move) {
  const Color us = colour(g);
  const Square from = move.from();
  const Square to = move.to();
  const bool pawn = has_square(g.position.pieces[make_kind(us, kPawn)], from);
  const bool capture = (side_occupancy_of(g.position.pieces, ~us) >> to) & 1;
  make_position_move(g.position, move);
  g.flags = castling_flags(g.position.state);
  g.en_passant = static_cast<std::int8_t>(move.special() == kDoublePush ? (from + to) / 2 : -1);
  g.halfmove = pawn || capture ? 0 : static_cast<std::uint16_t>(std::min(g.halfmove + 1, 0xFFFF));
}

EnteredPosition enter_position(Game& g, bool after_legal_move) {
  EnteredPosition entered;
  g.head = static_cast<std::uint8_t>((g.head + 1) % kHistory);
  entered.evicted = g.ring[g.head];
  g.ring[g.head] = g.position.pieces;

  // Only positions since the last pawn move or capture can be the same as
  // one reached by a legal move; after an illegal one, any may be.
  const std::uint64_t key = game_key(g.position.pieces, colour(g), g.flags, g.en_passant);
  const std::size_t n = g.keys.size();
  const std::size_t first =
      after_legal_move ? std::max<std::size_t>(1, n - std::min<std::size_t>(n, g.halfmove)) : 1;
  for (std::size_t j = first; j < n; ++j) {
    if (g.keys[j] == key) {
      ++g.others[j];
      ++entered.same;
    }
  }
  g.keys.push_back(key);
  g.others.push_back(entered.same);
  entered.scan_from = first;
  return entered;
}

namespace {

// The first part of a step: the move (or the illegal action) made, the new
// position entered. Returns how many earlier positions are the same.
std::uint16_t play_step(Game& g, int action, const ChessMove* move, StepUndo* undo) {
  if (undo) {
    undo->stepped = true;
    undo->position = g.position;
    undo->flags = g.flags;
    undo->en_passant = g.en_passant;
    undo->halfmove = g.halfmove;
    undo->step_count = g.step_count;
    undo->terminated = g.terminated;
    undo->rewards = g.rewards;
    undo->head = g.head;
  }
  ++g.step_count;
  if (move) {
    make_game_move(g, *move);
    g.played.push_back(*move);
  } else {
    apply_pgx_action(g, action);
  }
  const EnteredPosition entered = enter_position(g, move != nullptr);
  if (undo) {
    undo->evicted = entered.evicted;
    undo->scan_from = entered.scan_from;
  }
  g.rewards = {0.0f, 0.0f};
  return entered.same;
}

}  // namespace

void step_game_move(const AttackTables& tables, Game& g, int action, const ChessMove* move, StepUndo& undo) {
  const Color us = colour(g);
  const std::uint16_t same = play_step(g, action, move, &undo);
  if (move) {
    refresh_legal_moves(tables, g);
    const bool no_move = g.legal == 0;
    g.terminated = no_move || g.halfmove >= 100 || pgx_insufficient_material(g.position.pieces) ||
                   same >= 2 || g.step_count >= kMaxSteps;
    if (no_move && king_attacked(tables, g.position)) {
      g.rewards[player_of(g, colour(g))] = -1.0f;
      g.rewards[player_of(g, ~colour(g))] = 1.0f;
    }
  } else {
    g.terminated = true;
    g.rewards[player_of(g, us)] = -1.0f;
    g.rewards[player_of(g, ~us)] = 1.0f;
  }
  if (g.terminated) g.legal = 0;
}

void step_game(const AttackTables& tables, Game& g, int action, int place, StepUndo& undo) {
  if (place < 0) {
    step_game_move(tables, g, action, nullptr, undo);
    return;
  }
  const ChessMove move = g.moves[static_cast<std::size_t>(place)];
  step_game_move(tables, g, action, &move, undo);
}

void replay_step(Game& g, int action, const ChessMove* move, bool ended) {
  play_step(g, action, move, nullptr);
  g.terminated = ended;
  g.legal = 0;  // not made
}

void copy_for_replay(const Game& from, Game& to) {
  to.position = from.position;
  to.flags = from.flags;
  to.en_passant = from.en_passant;
  to.halfmove = from.halfmove;
  to.step_count = from.step_count;
  to.terminated = from.terminated;
  to.player_one_white = from.player_one_white;
  to.rewards = from.rewards;
  to.key = from.key;
  to.head = from.head;
  to.ring = from.ring;
  to.legal = 0;
  to.keys = from.keys;
  to.others = from.others;
  to.played = from.played;
}

void undo_step(const AttackTables& tables, Game& g, const StepUndo& undo) {
  if (!undo.stepped) {
    g.rewards = undo.rewards;
    return;
  }
  const std::uint64_t key = g.keys.back();
  g.keys.pop_back();
  g.others.pop_back();
  for (std::size_t j = undo.scan_from; j < g.keys.size(); ++j) {
    if (g.keys[j] == key) --g.others[j];
  }
  if (g.played.size() > undo.step_count) g.played.pop_back();
  g.ring[g.head] = undo.evicted;
  g.head = undo.head;
  g.position = undo.position;
  g.flags = undo.flags;
  g.en_passant = undo.en_passant;
  g.halfmove = undo.halfmove;
  g.step_count = undo.step_count;
  g.terminated = undo.terminated;
  g.rewards = undo.rewards;
  refresh_legal_moves(tables, g);
}

}  // namespace orvex::selfplay
