#include "training/batch_arrays.h"

#include <algorithm>
#include <cstring>

#include "board/board.h"
#include "encoding/policy.h"
#include "move_generator/attack_tables.h"

namespace orvex::training {
namespace {

Board board_of(const PositionRecord& r) {
  Board board;
  set_position(board, r.pieces, r.state);
  return board;
}

}  // namespace

void write_observations(std::span<const PositionRecord> records, PlaneSlots planes,
                        selfplay::ObservationForm form, void* out) {
  const std::size_t size = selfplay::observation_bytes(form);
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const PositionRecord& r = records[i];
    selfplay::expand_observation(planes.at(i).data(), r.step_count, r.halfmove, form, bytes);
    bytes += size;
  }
}

void write_legal_masks(std::span<const PositionRecord> records, Encoding encoding, std::uint8_t* out) {
  const AttackTables& tables = attack_tables();
  for (const PositionRecord& r : records) {
    Board board = board_of(r);
    write_mask(tables, board, encoding, out);
    out += encoding_size(encoding);
  }
}

void append_legal_ids(std::span<const PositionRecord> records, Encoding encoding,
                      std::vector<std::int32_t>& ids, std::vector<std::int64_t>& offsets) {
  const AttackTables& tables = attack_tables();
  std::vector<std::int16_t> found;
  for (const PositionRecord& r : records) {
    Board board = board_of(r);
    found.clear();
    append_indices(tables, board, encoding, found);
    ids.insert(ids.end(), found.begin(), found.end());
    offsets.push_back(static_cast<std::int64_t>(ids.size()));
  }
}

}  // namespace orvex::training
