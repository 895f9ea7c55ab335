#include "selfplay/env_bytes.h"

#include <bit>
#include <cstring>

#include "base/crc32.h"

namespace orvex::selfplay {
namespace {

constexpr std::string_view kMagic = "OVXE";
constexpr unsigned char kVersion = 1;

void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Reads little-endian numbers, failing (not throwing) past the end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool take(int bytes, std::uint64_t& value) {
    if (bytes_.size() - pos_ < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= std::uint64_t{static_cast<unsigned char>(bytes_[pos_ + i])} << (8 * i);
    }
    pos_ += static_cast<std::size_t>(bytes);
    return true;
  }
  std::size_t left() const { return bytes_.size() - pos_; }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

ParseError error(const std::string& message) { return ParseError{message}; }

}  // namespace

std::string env_to_bytes(const EnvRecord& r) {
  std::string out(kMagic);
  out.push_back(static_cast<char>(kVersion));
  put(out, static_cast<std::uint8_t>(r.form), 1);
  put(out, r.autoreset, 1);
  put(out, r.lose_on_illegal, 1);
  put(out, r.seeded, 1);
  put(out, r.threads, 4);
  put(out, r.sample_stream, 8);
  put(out, r.games.size(), 8);
  for (const Game& g : r.games) {
    for (Bitboard b : g.position.pieces) put(out, b, 8);
    put(out, g.position.state, 8);
    put(out, g.flags, 1);
    put(out, static_cast<std::uint8_t>(g.en_passant), 1);
    put(out, g.halfmove, 2);
    put(out, g.step_count, 2);
    put(out, g.terminated, 1);
    put(out, g.player_one_white, 1);
    put(out, std::bit_cast<std::uint32_t>(g.rewards[0]), 4);
    put(out, std::bit_cast<std::uint32_t>(g.rewards[1]), 4);
    put(out, g.key.k0, 4);
    put(out, g.key.k1, 4);
    put(out, g.head, 1);
    for (const auto& placement : g.ring) {
      for (Bitboard b : placement) put(out, b, 8);
    }
    put(out, g.keys.size(), 4);
    for (std::uint64_t k : g.keys) put(out, k, 8);
    for (std::uint16_t n : g.others) put(out, n, 2);
    put(out, g.played.size(), 4);
    for (ChessMove m : g.played) put(out, m.value(), 2);
  }
  put(out, crc32(out), 4);
  return out;
}

Parsed<EnvRecord> env_from_bytes(const AttackTables& tables, std::string_view bytes) {
  if (bytes.size() < kMagic.size() + 1 + 4 || bytes.substr(0, kMagic.size()) != kMagic) {
    return error("not an environment state (unknown header)");
  }
  if (static_cast<unsigned char>(bytes[kMagic.size()]) != kVersion) {
    return error("unsupported format version " +
                 std::to_string(static_cast<unsigned char>(bytes[kMagic.size()])));
  }
  const std::string_view body = bytes.substr(0, bytes.size() - 4);
  std::uint64_t crc = 0;
  Reader(bytes.substr(body.size())).take(4, crc);
  if (crc != crc32(body)) return error("checksum mismatch: the bytes are damaged");

  Reader in(body.substr(kMagic.size() + 1));
  EnvRecord r;
  std::uint64_t v[8];
  if (!in.take(1, v[0]) || !in.take(1, v[1]) || !in.take(1, v[2]) || !in.take(1, v[3]) ||
      !in.take(4, v[4]) || !in.take(8, v[5]) || !in.take(8, v[6])) {
    return error("too short");
  }
  if (v[0] > 2 || v[1] > 1 || v[2] > 1 || v[3] > 1 || v[4] < 1 || v[4] > 1024) {
    return error("options out of range");
  }
  r.form = static_cast<ObservationForm>(v[0]);
  r.autoreset = v[1];
  r.lose_on_illegal = v[2];
  r.seeded = v[3];
  r.threads = static_cast<std::uint32_t>(v[4]);
  r.sample_stream = v[5];
  const std::uint64_t count = v[6];
  // Every game takes at least its fixed fields.
  constexpr std::size_t kFixed = 13 * 8 + 1 + 1 + 2 + 2 + 1 + 1 + 8 + 8 + 1 + kHistory * 12 * 8 + 4 + 4;
  if (count == 0 || count > in.left() / kFixed) return error("wrong number of games");
  r.games.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < r.games.size(); ++i) {
    Game& g = r.games[i];
    const std::string where = "game " + std::to_string(i) + ": ";
    std::uint64_t x;
    for (Bitboard& b : g.position.pieces) {
      if (!in.take(8, b)) return error(where + "too short");
    }
    if (!in.take(8, g.position.state)) return error(where + "too short");
    std::uint64_t f[10];
    if (!in.take(1, f[0]) || !in.take(1, f[1]) || !in.take(2, f[2]) || !in.take(2, f[3]) ||
        !in.take(1, f[4]) || !in.take(1, f[5]) || !in.take(4, f[6]) || !in.take(4, f[7]) ||
        !in.take(4, f[8]) || !in.take(4, f[9]) || !in.take(1, x)) {
      return error(where + "too short");
    }
    const auto en_passant = static_cast<std::int8_t>(f[1]);
    if (f[0] > kAllFlags || en_passant < -1 || en_passant > 63 || f[3] > kMaxSteps || f[4] > 1 ||
        f[5] > 1 || x >= kHistory) {
      return error(where + "fields out of range");
    }
    g.flags = static_cast<std::uint8_t>(f[0]);
    g.en_passant = en_passant;
    g.halfmove = static_cast<std::uint16_t>(f[2]);
    g.step_count = static_cast<std::uint16_t>(f[3]);
    g.terminated = f[4];
    g.player_one_white = f[5];
    g.rewards = {std::bit_cast<float>(static_cast<std::uint32_t>(f[6])),
                 std::bit_cast<float>(static_cast<std::uint32_t>(f[7]))};
    g.key = {static_cast<std::uint32_t>(f[8]), static_cast<std::uint32_t>(f[9])};
    g.head = static_cast<std::uint8_t>(x);
    for (auto& placement : g.ring) {
      for (Bitboard& b : placement) {
        if (!in.take(8, b)) return error(where + "too short");
      }
    }
    std::uint64_t positions;
    if (!in.take(4, positions) || positions != g.step_count + 1u || positions * 10 > in.left()) {
      return error(where + "wrong number of positions");
    }
    g.keys.resize(positions);
    g.others.resize(positions);
    for (std::uint64_t& k : g.keys) in.take(8, k);
    for (std::uint16_t& n : g.others) {
      in.take(2, x);
      n = static_cast<std::uint16_t>(x);
    }
    std::uint64_t played;
    if (!in.take(4, played) || played > g.step_count || played * 2 > in.left()) {
      return error(where + "wrong number of moves");
    }
    g.played.resize(played);
    for (ChessMove& m : g.played) {
      in.take(2, x);
      m = ChessMove(static_cast<std::uint16_t>(x));
    }
    refresh_legal_moves(tables, g);
  }
  if (in.left() != 0) return error("wrong length: " + std::to_string(in.left()) + " bytes left over");
  return r;
}

}  // namespace orvex::selfplay
