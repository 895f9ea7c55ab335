// The legal moves of the side to move, in their fixed order.
#pragma once

#include "board/board.h"
#include "move_generator/attack_tables.h"
#include "move_generator/move_list.h"

namespace orvex {

// Appends the candidate moves in list order: king steps, castling, knight
// steps, pawn moves, straight slides, diagonal slides.
void generate_candidates(const AttackTables& tables, const Board& board, MoveList& out);

// Keeps the candidates after which the mover's king is not attacked, by making
// and unmaking each one on the board; drops those push_move refuses. A mover
// left without a king keeps the move. The board ends exactly as it began.
void filter_by_make_unmake(const AttackTables& tables, Board& board, MoveList& moves);

// Appends the candidates of generate_candidates that go to the square `to` and
// are moves of the side's pieces of one type: the knight steps for knights,
// the diagonal or straight slides of bishops or rooks, both kinds of slides
// of queens, the king steps and castlings for kings, the pawn moves for pawns.
// They come by from-square (for kings, the steps before the castlings). Only
// for a board where no two pieces share a square.
void generate_candidates_to(const AttackTables& tables, const Board& board, PieceType type,
                            Square to, MoveList& out);

// Keeps the moves that legal_moves keeps among candidates it would generate:
// a subset of the candidates gives the same subset of the legal moves. Each
// move is tested on its own, so this suits short lists. The board ends exactly
// as it began.
void keep_legal(const AttackTables& tables, Board& board, MoveList& moves);

// Writes the legal moves of the side to move into the empty list out, in
// generation order: from masks (legal_moves_one_king) when the side to move
// has one king and no square holds two pieces, else the candidates filtered
// by make/unmake. Both give the same list. The board ends exactly as it began.
void legal_moves(const AttackTables& tables, Board& board, MoveList& out);

// Writes the legal moves of the position on the board into the empty list
// out, as legal_moves does, without changing the board (other boards get a
// copy of the position to make and unmake moves on).
void position_moves(const AttackTables& tables, const Board& board, MoveList& out);

// Appends the legal Chess960 castlings of a Chess960 board whose side to move
// has one king and no shared square, king side first.
void chess960_legal_castlings(const AttackTables& tables, const Board& board, MoveList& out);

}  // namespace orvex
