// TEMPORARY: a plain SAN matcher until the core's SAN parser is merged.
#pragma once

#include <string_view>

#include "base/parsed.h"
#include "board/board.h"
#include "move_generator/legal_moves.h"

namespace orvex::pgn {

inline Parsed<ChessMove> read_san(const AttackTables& tables, Board& board, std::string_view san) {
  while (!san.empty() && (san.back() == '+' || san.back() == '#' || san.back() == '!' || san.back() == '?')) san.remove_suffix(1);
  MoveList moves;
  legal_moves(tables, board, moves);
  const Color us = side_to_move(board.state);
  if (san == "O-O" || san == "0-0" || san == "O-O-O" || san == "0-0-0") {
    const bool king_side = san.size() == 3;
    for (ChessMove m : moves) {
      if (m.special() == kCastling && (file_of(m.to()) == 6) == king_side) return m;
    }
    return ParseError{"illegal move"};
  }
  PieceType piece = kPawn;
  if (!san.empty() && std::string_view("NBRQK").find(san.front()) != std::string_view::npos) {
    piece = static_cast<PieceType>(1 + std::string_view("NBRQK").find(san.front()));
    san.remove_prefix(1);
  }
  int promotion = 0;
  if (!san.empty() && std::string_view("NBRQnbrq").find(san.back()) != std::string_view::npos) {
    promotion = kPromoteKnight + static_cast<int>(std::string_view("NBRQnbrq").find(san.back()) % 4);
    san.remove_suffix(1);
    if (!san.empty() && san.back() == '=') san.remove_suffix(1);
  }
  if (san.size() < 2) return ParseError{"unreadable move"};
  const char tf = san[san.size() - 2], tr = san.back();
  if (tf < 'a' || tf > 'h' || tr < '1' || tr > '8') return ParseError{"unreadable move"};
  const Square to = make_square(tf - 'a', tr - '1');
  san.remove_suffix(2);
  if (!san.empty() && (san.back() == 'x' || san.back() == '-')) san.remove_suffix(1);
  int from_file = -1, from_rank = -1;
  if (!san.empty() && san.back() >= '1' && san.back() <= '8') { from_rank = san.back() - '1'; san.remove_suffix(1); }
  if (!san.empty() && san.back() >= 'a' && san.back() <= 'h') { from_file = san.back() - 'a'; san.remove_suffix(1); }
  if (!san.empty()) return ParseError{"unreadable move"};
  const Bitboard movers = board.pieces[make_kind(us, piece)];
  ChessMove found{};
  int count = 0;
  for (ChessMove m : moves) {
    if (m.to() != to || !has_square(movers, m.from()) || m.special() == kCastling) continue;
    if (from_file >= 0 && file_of(m.from()) != from_file) continue;
    if (from_rank >= 0 && rank_of(m.from()) != from_rank) continue;
    const int code = m.special() >= kPromoteKnight ? m.special() : 0;
    if (code != promotion) continue;
    found = m;
    ++count;
  }
  if (count == 0) return ParseError{"illegal move"};
  if (count > 1) return ParseError{"ambiguous move"};
  return found;
}

}  // namespace orvex::pgn
