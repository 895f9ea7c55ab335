#include "encoding/az.h"

#include <array>
#include <cstdint>

#include "encoding/encoding.h"

namespace orvex {
namespace {

constexpr int kPlanes = 73;
constexpr int kFirstQueenPlane = 9;
constexpr int kFirstKnightPlane = 65;

struct Step {
  int file;
  int rank;
};

// The eight half-lines of the queen planes, each as its unit step, and
// whether its seven planes count the distance down from 7 (true) or up from 1.
constexpr Step kLines[8] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}, {-1, -1}, {1, 1}, {-1, 1}, {1, -1}};
constexpr bool kCountsDown[8] = {true, false, true, false, true, false, true, false};

constexpr Step kKnightJumps[8] = {{-2, -1}, {-2, 1}, {-1, -2}, {-1, 2},
                                  {2, -1},  {2, 1},  {1, -2},  {1, 2}};

// Underpromotion planes: 3 * piece + direction.
constexpr int kUnderpromotionFiles[3] = {0, 1, -1};
constexpr int kUnderpromotionCodes[3] = {kPromoteRook, kPromoteBishop, kPromoteKnight};

// The file-major square number of the id.
constexpr int az_square(int square) { return (square & 7) * 8 + (square >> 3); }

// The plane's step from the from-square, for planes 9 to 72.
constexpr Step plane_step(int plane) {
  if (plane >= kFirstKnightPlane) return kKnightJumps[plane - kFirstKnightPlane];
  const int line = (plane - kFirstQueenPlane) / 7;
  const int slot = (plane - kFirstQueenPlane) % 7;
  const int distance = kCountsDown[line] ? 7 - slot : slot + 1;
  return {kLines[line].file * distance, kLines[line].rank * distance};
}

constexpr bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

constexpr std::optional<ChessMove> decode(int id) {
  if (id < 0 || id >= kAlphaZeroSize) return std::nullopt;
  const int square = id / kPlanes;
  const int plane = id % kPlanes;
  const int file = square / 8;
  const int rank = square % 8;
  const int from = rank * 8 + file;
  if (plane < kFirstQueenPlane) {
    const int to_file = file + kUnderpromotionFiles[plane % 3];
    if (rank != 6 || !on_board(to_file, 7)) return std::nullopt;
    return ChessMove::pack(from, 56 + to_file, kUnderpromotionCodes[plane / 3]);
  }
  const Step step = plane_step(plane);
  if (!on_board(file + step.file, rank + step.rank)) return std::nullopt;
  return ChessMove::pack(from, (rank + step.rank) * 8 + file + step.file, kOrdinary);
}

// plain[from * 64 + to]: the id of the plain move, or -1.
constexpr std::array<std::int16_t, 64 * 64> kPlainIds = [] {
  std::array<std::int16_t, 64 * 64> ids{};
  for (auto& id : ids) id = -1;
  for (int id = 0; id < kAlphaZeroSize; ++id) {
    const std::optional<ChessMove> move = decode(id);
    if (move && move->special() == kOrdinary) ids[move->from() * 64 + move->to()] = static_cast<std::int16_t>(id);
  }
  return ids;
}();

}  // namespace

int az_index(ChessMove seen) {
  const int code = seen.special();
  if (code >= kPromoteKnight && code <= kPromoteRook) {
    const int from = seen.from();
    const int file_step = file_of(seen.to()) - file_of(seen.from());
    if (rank_of(seen.from()) != 6 || rank_of(seen.to()) != 7 || file_step < -1 || file_step > 1) return -1;
    const int piece = code == kPromoteRook ? 0 : code == kPromoteBishop ? 1 : 2;
    const int direction = file_step == 0 ? 0 : file_step == 1 ? 1 : 2;
    return az_square(from) * kPlanes + 3 * piece + direction;
  }
  return kPlainIds[seen.from() * 64 + seen.to()];
}

void az_indices(Color mover, std::span<const ChessMove> moves, std::int16_t* out) {
  for (std::size_t i = 0; i < moves.size(); ++i) out[i] = static_cast<std::int16_t>(az_index(oriented(moves[i], mover)));
}

std::optional<ChessMove> az_move(int id) { return decode(id); }

}  // namespace orvex
