#include "training/batch_arrays.h"

#include <algorithm>
#include <cstring>

#include "board/board.h"
#include "encoding/policy.h"
#include "move_generator/attack_tables.h"

namespace orvex::training {
namespace {

using selfplay::kPlanes;

// The float32 or uint8 form from the bits form: a one where a plane's bit is
// set, and the two counters' values on every square.
template <class T>
void expand(const PositionRecord& r, T* out, T step, T no_progress) {
  std::memset(out, 0, 64 * kPlanes * sizeof(T));
  for (int p = 0; p < kPlanes; ++p) {
    if (p == 113 || p == 118) continue;
    for (Bitboard b = r.planes[p]; b;) out[pop_lsb(b) * kPlanes + p] = T(1);
  }
  for (int s = 0; s < 64; ++s) {
    out[s * kPlanes + 113] = step;
    out[s * kPlanes + 118] = no_progress;
  }
}

Board board_of(const PositionRecord& r) {
  Board board;
  set_position(board, r.pieces, r.state);
  return board;
}

}  // namespace

void write_observations(std::span<const PositionRecord> records, selfplay::ObservationForm form,
                        void* out) {
  using selfplay::ObservationForm;
  const std::size_t size = selfplay::observation_bytes(form);
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (const PositionRecord& r : records) {
    switch (form) {
      case ObservationForm::kBits:
        std::memcpy(bytes, r.planes.data(), size);
        break;
      case ObservationForm::kFloat32:
        expand(r, reinterpret_cast<float*>(bytes), selfplay::step_plane(r.step_count),
               selfplay::no_progress_plane(r.halfmove));
        break;
      case ObservationForm::kUint8:
        expand(r, bytes, selfplay::step_plane_byte(r.step_count),
               selfplay::no_progress_plane_byte(r.halfmove));
        break;
    }
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
