#include "rules/repetition.h"

#include <algorithm>

#include "board/make_move.h"
#include "board/zobrist.h"
#include "move_generator/legal_moves.h"

namespace orvex {
namespace {

// The positions that can repeat the one on the board: the history entries
// since the last capture or pawn move, and a way to tell how many of them
// are the same position as another.
class Window {
 public:
  Window(const AttackTables& tables, const Board& board)
      : tables_(tables), board_(board) {
    const std::size_t size = board.move_history.size();
    first_ = size - std::min<std::size_t>(board.halfmove_clock, size);
  }

  // Whether the window holds no entry: then no position can repeat.
  bool empty() const { return first_ == board_.move_history.size(); }

  // Counts the entries whose position is the same as one with these pieces,
  // key and legal en-passant file ep() (-1 for none), stopping at most. ep()
  // is asked at most once, and only when some entry has the key.
  template <class EnPassantFile>
  std::uint64_t count(const std::array<Bitboard, kPieceKinds>& pieces, std::uint64_t key,
                      EnPassantFile ep, std::uint64_t most) const {
    std::uint64_t found = 0;
    int file = kNotAsked;
    const auto& history = board_.move_history;
    for (std::size_t i = history.size(); i-- > first_ && found < most;) {
      const HistoryEntry& e = history[i];
      if (e.prev_key != key) continue;
      // The same key: the same pieces, so the en-passant part can be worked
      // out on those given.
      if (file == kNotAsked) file = ep();
      const int other = (e.prev_state & state_bits::kEnPassantBits)
                            ? legal_en_passant_file(tables_, pieces, e.prev_state)
                            : -1;
      if (other == file) ++found;
    }
    return found;
  }

 private:
  static constexpr int kNotAsked = -2;

  const AttackTables& tables_;
  const Board& board_;
  std::size_t first_;
};

}  // namespace

int legal_en_passant_file(const AttackTables& tables, const std::array<Bitboard, kPieceKinds>& pieces,
                          std::uint64_t state) {
  if (!(state & state_bits::kEnPassantBits)) return -1;
  Board probe;
  set_position(probe, pieces, state);
  MoveList moves;
  legal_moves(tables, probe, moves);
  for (ChessMove m : moves) {
    if (m.special() == kEnPassant) return file_of(m.to());
  }
  return -1;
}

std::uint64_t occurrences(const AttackTables& tables, const Board& board, std::uint64_t most) {
  const Window window(tables, board);
  if (most <= 1 || window.empty()) return 1;
  const auto ep = [&] { return legal_en_passant_file(tables, board.pieces, board.state); };
  return 1 + window.count(board.pieces, current_key(board), ep, most - 1);
}

bool can_claim_threefold_repetition(const AttackTables& tables, const Board& board) {
  if (occurrences(tables, board, 3) >= 3) return true;
  // A move that is neither a capture nor a pawn move gives a position with
  // the same pieces and pawns as those in the window and no en-passant file;
  // any other move gives one that cannot have occurred in it. The position
  // on the board has the other side to move, so it is never the same.
  const Window window(tables, board);
  if (window.empty()) return false;
  const std::uint64_t key = current_key(board);
  MoveList moves;
  position_moves(tables, board, moves);
  Board next;
  set_position(next, board);
  next.key = key;
  next.key_stale = false;
  for (ChessMove move : moves) {
    (void)push_move(next, move);  // a legal move is always made
    const bool found =
        next.halfmove_clock != 0 && window.count(next.pieces, next.key, [] { return -1; }, 2) >= 2;
    pop_move(next);
    if (found) return true;
  }
  return false;
}

}  // namespace orvex
