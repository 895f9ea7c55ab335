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

// Keeps the moves that legal_moves keeps among candidates it would generate,
// by the same test: a subset of the candidates gives the same subset of the
// legal moves. The board ends exactly as it began.
void keep_legal(const AttackTables& tables, Board& board, MoveList& moves);

// Writes the legal moves of the side to move into out, in generation order.
// The board ends exactly as it began.
void legal_moves(const AttackTables& tables, Board& board, MoveList& out);

}  // namespace orvex
