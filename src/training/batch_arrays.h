// The arrays of a training batch made from its position records: the
// observations in the form asked for, and the legal moves as a mask or as ids.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "encoding/encoding.h"
#include "selfplay/observation.h"
#include "training/plane_queue.h"
#include "training/position_record.h"

namespace orvex::training {

// Writes the observation of each record (whose planes are planes.at(0),
// at(1) and on), observation_bytes(form) bytes apart: the same as
// write_observation of the game the record was made from.
void write_observations(std::span<const PositionRecord> records, PlaneSlots planes,
                        selfplay::ObservationForm form, void* out);

// Writes encoding_size(encoding) bytes per record: 1 at the ids of its legal moves.
void write_legal_masks(std::span<const PositionRecord> records, Encoding encoding, std::uint8_t* out);

// Appends the ids of each record's legal moves, in generation order, and
// the offset where the next record's begin (offsets starts as {0}).
void append_legal_ids(std::span<const PositionRecord> records, Encoding encoding,
                      std::vector<std::int32_t>& ids, std::vector<std::int64_t>& offsets);

}  // namespace orvex::training
