#include "selfplay/observation.h"

#include <array>
#include <bit>
#include <cstring>

#include "base/platform.h"

namespace orvex::selfplay {
namespace {

// A bitboard turned to the observation's square order (bit 8 * row + column)
// for the side to move m.
constexpr Bitboard oriented_bits(Bitboard b, Color m) { return m == kWhite ? byte_swap(b) : b; }

// The 14 values of one position's planes on one square: the one-hot piece
// (code 0: none, 1..6 the mover's, 7..12 the other side's) and the two
// repetition planes; padded to 16 values, so that each is written with whole
// vector stores (the two extra values land where the next position's
// planes, or the square's last seven planes, are written right after).
template <class T>
using Patterns = std::array<std::array<std::array<T, 16>, 2>, 13>;

template <class T>
constexpr Patterns<T> make_patterns() {
  Patterns<T> patterns{};
  for (int code = 0; code < 13; ++code) {
    for (int repeated = 0; repeated < 2; ++repeated) {
      auto& p = patterns[code][repeated];
      if (code) p[code - 1] = T(1);
      p[repeated ? 13 : 12] = T(1);
    }
  }
  return patterns;
}

constexpr auto kFloatPatterns = make_patterns<float>();
constexpr auto kBytePatterns = make_patterns<std::uint8_t>();

struct Frame {
  Color mover;
  int positions;  // how many of the kHistory slots hold a position
};

Frame frame_of(const Game& g) {
  return {colour(g), static_cast<int>(std::min<std::size_t>(g.keys.size(), kHistory))};
}

const std::array<Bitboard, kPieceKinds>& slot(const Game& g, int i) {
  return g.ring[(g.head + kHistory - i) % kHistory];
}

bool repeated(const Game& g, int i) { return g.others[g.keys.size() - 1 - i] != 0; }

// The castling planes 114 to 117.
std::array<bool, 4> castling_planes(const Game& g, Color m) {
  const bool w = m == kWhite;
  return {(g.flags & (w ? kWhiteASide : kBlackASide)) != 0, (g.flags & (w ? kWhiteHSide : kBlackHSide)) != 0,
          (g.flags & (w ? kBlackASide : kWhiteASide)) != 0, (g.flags & (w ? kBlackHSide : kWhiteHSide)) != 0};
}

void write_bits(const Game& g, std::uint64_t* out) {
  const Frame f = frame_of(g);
  for (int i = 0; i < kHistory; ++i) {
    std::uint64_t* planes = out + 14 * i;
    if (i < f.positions) {
      const auto& pieces = slot(g, i);
      for (int t = 0; t < kPieceTypes; ++t) {
        planes[t] = oriented_bits(pieces[make_kind(f.mover, static_cast<PieceType>(t))], f.mover);
        planes[6 + t] = oriented_bits(pieces[make_kind(~f.mover, static_cast<PieceType>(t))], f.mover);
      }
    } else {
      for (int p = 0; p < 12; ++p) planes[p] = 0;
    }
    const bool again = i < f.positions && repeated(g, i);
    planes[12] = again ? 0 : ~0ull;
    planes[13] = again ? ~0ull : 0;
  }
  out[112] = f.mover == kBlack ? ~0ull : 0;
  out[113] = g.step_count ? ~0ull : 0;
  const auto castling = castling_planes(g, f.mover);
  for (int c = 0; c < 4; ++c) out[114 + c] = castling[c] ? ~0ull : 0;
  out[118] = g.halfmove ? ~0ull : 0;
}

// The piece codes of each position on each square (code 0: none, 1..6 the
// mover's, 7..12 the other side's) and whether each position is repeated.
struct Coded {
  std::array<std::array<std::uint8_t, 64>, kHistory> codes{};
  std::array<std::uint8_t, kHistory> again{};
};

Coded coded_from_game(const Game& g) {
  const Frame f = frame_of(g);
  Coded c;
  for (int i = 0; i < f.positions; ++i) {
    const auto& pieces = slot(g, i);
    for (int kind = 0; kind < kPieceKinds; ++kind) {
      const PieceKind k = static_cast<PieceKind>(kind);
      const std::uint8_t code = static_cast<std::uint8_t>(type_of(k) + (color_of(k) == f.mover ? 1 : 7));
      for (Bitboard b = oriented_bits(pieces[kind], f.mover); b;) c.codes[i][pop_lsb(b)] = code;
    }
    c.again[i] = repeated(g, i);
  }
  return c;
}

Coded coded_from_bits(const std::uint64_t* bits) {
  Coded c;
  for (int i = 0; i < kHistory; ++i) {
    for (int p = 0; p < 12; ++p) {
      for (Bitboard b = bits[14 * i + p]; b;) c.codes[i][pop_lsb(b)] = static_cast<std::uint8_t>(p + 1);
    }
    c.again[i] = bits[14 * i + 13] != 0;
  }
  return c;
}

template <class T>
void write_planes(const Coded& c, T* out, const Patterns<T>& patterns, const std::array<T, 7>& tail) {
  for (int square = 0; square < 64; ++square) {
    T* values = out + square * kPlanes;
    // In this order: each store's two spare values are overwritten by the next.
    for (int i = 0; i < kHistory; ++i) {
      std::memcpy(values + 14 * i, patterns[c.codes[i][square]][c.again[i]].data(), 16 * sizeof(T));
    }
    std::memcpy(values + 112, tail.data(), 7 * sizeof(T));
  }
}

// The float32 or uint8 form from what the planes show: the codes, the side to
// move, the counters and the castling planes.
void write_expanded(const Coded& c, bool black, int step, int halfmove, const std::array<bool, 4>& castling,
                    ObservationForm form, void* out) {
  if (form == ObservationForm::kFloat32) {
    const std::array<float, 7> tail = {
        black ? 1.0f : 0.0f, step_plane(step), castling[0] ? 1.0f : 0.0f, castling[1] ? 1.0f : 0.0f,
        castling[2] ? 1.0f : 0.0f, castling[3] ? 1.0f : 0.0f, no_progress_plane(halfmove)};
    write_planes(c, static_cast<float*>(out), kFloatPatterns, tail);
  } else {
    const std::array<std::uint8_t, 7> tail = {
        static_cast<std::uint8_t>(black), step_plane_byte(step), castling[0], castling[1], castling[2],
        castling[3], no_progress_plane_byte(halfmove)};
    write_planes(c, static_cast<std::uint8_t*>(out), kBytePatterns, tail);
  }
}

}  // namespace

void write_observation(const Game& g, ObservationForm form, void* out) {
  if (form == ObservationForm::kBits) {
    write_bits(g, static_cast<std::uint64_t*>(out));
    return;
  }
  const Color m = colour(g);
  write_expanded(coded_from_game(g), m == kBlack, g.step_count, g.halfmove, castling_planes(g, m), form, out);
}

void expand_observation(const std::uint64_t* bits, int step_count, int halfmove, ObservationForm form,
                        void* out) {
  if (form == ObservationForm::kBits) {
    std::memcpy(out, bits, observation_bytes(form));
    return;
  }
  const std::array<bool, 4> castling = {bits[114] != 0, bits[115] != 0, bits[116] != 0, bits[117] != 0};
  write_expanded(coded_from_bits(bits), bits[112] != 0, step_count, halfmove, castling, form, out);
}

void clear_mask(const Game& g, std::uint8_t* out) {
  if (g.terminated) {
    std::memset(out, 0, kActions);
    return;
  }
  for (int i = 0; i < g.legal; ++i) out[g.ids[i]] = 0;
}

void set_mask(const Game& g, std::uint8_t* out) {
  if (g.terminated) {
    std::memset(out, 1, kActions);
    return;
  }
  for (int i = 0; i < g.legal; ++i) out[g.ids[i]] = 1;
}

void write_mask(const Game& g, std::uint8_t* out) {
  std::memset(out, 0, kActions);
  set_mask(g, out);
}

}  // namespace orvex::selfplay
