// The program interpreter shared by the sequence and board-bytes harnesses: a
// board and a string of operations on it, with invariants after each step.
//
// One byte per operation (its value modulo 10), some followed by operands:
//   0 push a generated move (operand: index)   5 push a raw 16-bit code (2 bytes)
//   1 pop                                      6 push move text (4 or 5 bytes)
//   2 check generation                         7 FEN round trip
//   3 reflect                                  8 walk: plies, seed (2 bytes)
//   4 copy                                     9 bytes round trip
//
// Checked throughout:
//   - the undo stacks always agree with the saved masks of the history;
//   - push then pop gives back the Board record exactly, history included;
//   - legal_moves leaves the board exactly as it was, and gives the same list
//     as generate_candidates + filter_by_make_unmake, whichever path it takes;
//   - every generated move can be made and leaves the mover's king unattacked;
//   - a Panic leaves the board exactly as it was before the operation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board/board_bytes.h"
#include "board/fen.h"
#include "board/make_move.h"
#include "base/panic.h"
#include "board/reflect.h"
#include "chess_move/chess_move.h"
#include "fuzz_support.h"
#include "move_generator/attack_tables.h"
#include "move_generator/attacks.h"
#include "move_generator/legal_moves.h"
#include "move_generator/move_list.h"

namespace orvex::fuzz {

constexpr std::size_t kMaxOperations = 256;

inline const AttackTables& tables() { return attack_tables(); }

inline std::string codes_text(const MoveList& moves) {
  std::string out;
  for (ChessMove m : moves) out += std::to_string(m.value()) + " ";
  return out;
}

inline bool same_moves(const MoveList& a, const MoveList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

inline bool shares_squares(const Board& board) {
  Bitboard all = 0;
  for (Bitboard b : board.pieces) {
    if (all & b) return true;
    all |= b;
  }
  return false;
}

class Program {
 public:
  // A board with a history (read from bytes) gets its earlier positions by
  // popping copies, which must work for any history whose stacks agree with
  // its masks.
  Program(Board board, std::string_view code) : board_(std::move(board)), code_(code) {
    ORVEX_CHECK(history_consistent(board_), describe(board_));
    Board probe = board_;
    snapshots_.resize(board_.move_history.size());
    for (std::size_t i = snapshots_.size(); i-- > 0;) {
      pop_move(probe);
      snapshots_[i] = probe;
    }
  }

  void run() {
    for (std::size_t step = 0; step < kMaxOperations && pos_ < code_.size(); ++step) {
      const std::uint8_t op = next_byte();
      const Board before = board_;
      const std::size_t snapshots_before = snapshots_.size();
      try {
        execute(op);
      } catch (const Panic& e) {
        // A Panic is an expected outcome, but it must come before any change.
        ORVEX_CHECK(board_ == before, std::string("Panic changed the board: ") + e.what() +
                                          "\nbefore " + describe(before) + "\nafter  " +
                                          describe(board_));
        snapshots_.resize(snapshots_before);
      }
      ORVEX_CHECK(history_consistent(board_), describe(board_));
      ORVEX_CHECK(snapshots_.size() == board_.move_history.size(), describe(board_));
    }
  }

 private:
  std::uint8_t next_byte() { return pos_ < code_.size() ? static_cast<std::uint8_t>(code_[pos_++]) : 0; }

  void execute(std::uint8_t op) {
    switch (op % 10) {
      case 0: push_generated(next_byte()); break;
      case 1: pop(); break;
      case 2: check_generation(); break;
      case 3: reflect_board(); break;
      case 4: copy_board(); break;
      case 5: {
        const std::uint8_t low = next_byte();
        push_raw(ChessMove(static_cast<std::uint16_t>(low | next_byte() << 8)));
        break;
      }
      case 6: push_text(op / 10 % 2 ? 5 : 4); break;
      case 7: check_fen_round_trip(); break;
      case 8: {
        const int plies = 1 + next_byte() % 8;
        walk(plies, next_byte());
        break;
      }
      case 9: check_bytes_round_trip(); break;
    }
  }

  // Makes a move that is already known to be made, and records the board
  // before it.
  void push_checked(ChessMove move) {
    Board before = board_;
    ORVEX_CHECK(push_move(board_, move) == PushOutcome::kMade, move.text() + " on " + describe(before));
    ORVEX_CHECK(board_.move_history.size() == before.move_history.size() + 1, describe(board_));
    const std::uint16_t mask = board_.move_history.back().saved_mask;
    ORVEX_CHECK(mask != 0 && std::popcount(mask) <= 3, std::to_string(mask));
    ORVEX_CHECK(board_.move_history.back().prev_state == before.state, describe(board_));
    snapshots_.push_back(std::move(before));
  }

  void pop() {
    if (board_.move_history.empty()) {
      const Board before = board_;
      bool panicked = false;
      try {
        pop_move(board_);
      } catch (const Panic&) {
        panicked = true;
      }
      ORVEX_CHECK(panicked, "pop of an empty history did not fail");
      ORVEX_CHECK(board_ == before, describe(board_));
      return;
    }
    pop_move(board_);
    ORVEX_CHECK(board_ == snapshots_.back(), "pop did not restore\nexpected " +
                                                 describe(snapshots_.back()) + "\ngot      " +
                                                 describe(board_));
    snapshots_.pop_back();
  }

  MoveList generate() {
    MoveList moves;
    legal_moves(tables(), board_, moves);
    return moves;
  }

  void push_generated(std::uint8_t index) {
    const MoveList moves = generate();
    if (moves.size() == 0) return;
    push_checked(moves[index % moves.size()]);
  }

  void check_generation() {
    const Board before = board_;
    MoveList fast;
    legal_moves(tables(), board_, fast);
    ORVEX_CHECK(board_ == before, "legal_moves changed the board " + describe(before));

    MoveList reference;
    generate_candidates(tables(), board_, reference);
    ORVEX_CHECK(board_ == before, "generate_candidates changed the board " + describe(before));
    filter_by_make_unmake(tables(), board_, reference);
    ORVEX_CHECK(board_ == before, "filter_by_make_unmake changed the board " + describe(before));
    ORVEX_CHECK(same_moves(fast, reference), describe(before) + "\nlegal_moves:   " +
                                                 codes_text(fast) + "\nmake-unmake:   " +
                                                 codes_text(reference));

    const Color us = side_to_move(before.state);
    const Bitboard own = side_occupancy(before, us);
    for (ChessMove move : fast) {
      const std::string text = move.text();  // a generated move always has a text
      ORVEX_CHECK(has_square(own, move.from()), text + " on " + describe(before));
      ORVEX_CHECK(push_move(board_, move) == PushOutcome::kMade, text + " on " + describe(before));
      const Bitboard king = board_.pieces[make_kind(us, kKing)];
      if (king) {
        ORVEX_CHECK(!square_in_check(tables(), board_, lsb(king), us),
                    text + " leaves the king attacked on " + describe(before));
      }
      pop_move(board_);
      ORVEX_CHECK(board_ == before, text + " was not taken back exactly on " + describe(before));
    }
  }

  void reflect_board() {
    Board once = board_;
    reflect(once);
    ORVEX_CHECK(once.move_history.empty() && history_consistent(once), describe(once));
    for (int k = 0; k < kPieceKinds; ++k) {
      ORVEX_CHECK(once.pieces[k] == mirror(board_.pieces[(k + 6) % kPieceKinds]), describe(once));
    }
    ORVEX_CHECK((once.state ^ board_.state) & state_bits::kWhiteToMove, describe(once));
    Board twice = once;
    reflect(twice);
    ORVEX_CHECK(twice.pieces == board_.pieces && twice.state == board_.state, describe(twice));
    board_ = std::move(once);
    snapshots_.clear();
  }

  // A copy takes back the same moves, in the same order, as the board would.
  void copy_board() {
    Board copy = board_;
    ORVEX_CHECK(copy == board_, describe(copy));
    for (std::size_t i = snapshots_.size(); i-- > 0;) {
      pop_move(copy);
      ORVEX_CHECK(copy == snapshots_[i], "copy popped to " + describe(copy));
    }
    board_ = Board(board_);
  }

  // Any 16-bit code, as push_move gets it from Board.push: made, refused
  // untouched, or a Panic for an empty from-square.
  void push_raw(ChessMove move) {
    const Board before = board_;
    bool occupied = false;
    for (Bitboard b : before.pieces) occupied |= has_square(b, move.from());
    PushOutcome outcome;
    try {
      outcome = push_move(board_, move);
    } catch (const Panic& e) {
      ORVEX_CHECK(!occupied, std::string("Panic for an occupied from-square: ") + e.what());
      throw;
    }
    ORVEX_CHECK(occupied, "an empty from-square was accepted");
    if (outcome == PushOutcome::kNeedsPromotion) {
      ORVEX_CHECK(board_ == before, "a refused move changed the board " + describe(before));
      return;
    }
    Board made = board_;
    pop_move(board_);
    ORVEX_CHECK(board_ == before, "pop did not restore " + describe(before) + " after code " +
                                      std::to_string(move.value()));
    push_checked(move);
    ORVEX_CHECK(board_ == made, describe(made));
  }

  void push_text(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length && pos_ < code_.size(); ++i) text += static_cast<char>(next_byte());
    const Parsed<ChessMove> move = ChessMove::from_str(text);  // may throw Panic
    if (move.ok()) push_raw(move.value());
  }

  void check_fen_round_trip() {
    const std::string fen = board_fen(board_);
    Parsed<Board> again = board_from_fen(fen);
    ORVEX_CHECK(again.ok(), fen);
    ORVEX_CHECK(board_fen(again.value()) == fen, fen);
    if (shares_squares(board_)) return;
    ORVEX_CHECK(again.value().pieces == board_.pieces, fen);
    // The same moves, when FEN holds everything that generation reads: side,
    // rights and the en-passant files (a board read from bytes may hold
    // several, of which FEN keeps one).
    constexpr std::uint64_t kReadByGeneration = 0x1FFFFF;
    if ((again.value().state ^ board_.state) & kReadByGeneration) return;
    Board fresh = again.value();
    MoveList a = generate();
    MoveList b;
    legal_moves(tables(), fresh, b);
    ORVEX_CHECK(same_moves(a, b), fen + "\n" + codes_text(a) + "\n" + codes_text(b));
  }

  void check_bytes_round_trip() {
    const std::string bytes = board_to_bytes(board_);
    Parsed<Board> again = board_from_bytes(bytes);
    ORVEX_CHECK(again.ok(), again.ok() ? "" : again.error());
    ORVEX_CHECK(again.value() == board_, describe(board_));
    ORVEX_CHECK(board_to_bytes(again.value()) == bytes, describe(board_));
  }

  // Several generated moves in a row, then all taken back.
  void walk(int plies, std::uint8_t seed) {
    const Board start = board_;
    int made = 0;
    for (int i = 0; i < plies; ++i) {
      const MoveList moves = generate();
      if (moves.size() == 0) break;
      push_checked(moves[(seed + 31 * i) % moves.size()]);
      ++made;
    }
    for (int i = 0; i < made; ++i) pop();
    ORVEX_CHECK(board_ == start, describe(start) + " -> " + describe(board_));
  }

  Board board_;
  std::vector<Board> snapshots_;  // the board before each move still made
  std::string_view code_;
  std::size_t pos_ = 0;
};

}  // namespace orvex::fuzz

