// What the operating system and the compiler do differently, in one place:
// byte order, a search back through bytes, which processors a thread runs on,
// and large blocks of zeroed memory. Each has a plain C++ fallback, so the
// library builds everywhere and is fastest where the platform helps; the rest
// of the code calls these and never tests the platform itself.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace orvex {

// ---- Byte order

// Returns x with its eight bytes in reverse order.
constexpr std::uint64_t byte_swap(std::uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(x);
#else
  x = (x & 0x00FF00FF00FF00FFULL) << 8 | (x >> 8 & 0x00FF00FF00FF00FFULL);
  x = (x & 0x0000FFFF0000FFFFULL) << 16 | (x >> 16 & 0x0000FFFF0000FFFFULL);
  return x << 32 | x >> 32;
#endif
}

// Returns x as stored in little-endian byte order (x itself on such machines).
constexpr std::uint64_t to_little_endian(std::uint64_t x) {
  return std::endian::native == std::endian::little ? x : byte_swap(x);
}

// ---- Fused multiply-add

// a * b + c rounded once. The processor's instruction, or the C library's
// fmaf, except with mingw-w64, whose fmaf rounds twice (through double):
// there the sum is made in double (the product of two floats is exact in
// it) and a result that lands halfway between two floats is moved towards
// the part the double rounded away.
inline float fused_multiply_add(float a, float b, float c) {
#if defined(__MINGW32__)
  const double product = static_cast<double>(a) * static_cast<double>(b);
  const double sum = product + static_cast<double>(c);
  auto bits = std::bit_cast<std::uint64_t>(sum);
  const bool halfway = (bits & 0x1FFFFFFFu) == 0x10000000u;
  const bool special = ((bits >> 52) & 0x7FFu) == 0x7FFu;
  if (!halfway || special || (sum - product == c && sum - c == product)) return static_cast<float>(sum);
  // The rounding error of the double sum, by the larger part first.
  const bool negative = (bits >> 63) != 0;
  const double error = negative == (c > product) ? (product - sum) + c : (c - sum) + product;
  bits = negative == (error < 0.0) ? bits + 1 : bits - 1;
  return static_cast<float>(std::bit_cast<double>(bits));
#elif defined(__GNUC__) || defined(__clang__)
  return __builtin_fmaf(a, b, c);
#else
  return std::fma(a, b, c);
#endif
}

// ---- Searching bytes

// Returns the last position of byte in data[0, size), or null.
const char* find_last_byte(const char* data, std::size_t size, char byte);

// ---- Processors

// A set of processor numbers, below kMostProcessors.
class ProcessorSet {
 public:
  static constexpr int kMostProcessors = 1024;

  bool contains(int processor) const {
    return processor >= 0 && processor < kMostProcessors && (words_[processor / 64] >> (processor % 64)) & 1;
  }
  void remove(int processor) {
    if (processor >= 0 && processor < kMostProcessors) words_[processor / 64] &= ~(std::uint64_t{1} << (processor % 64));
  }
  void add(int processor) {
    if (processor >= 0 && processor < kMostProcessors) words_[processor / 64] |= std::uint64_t{1} << (processor % 64);
  }
  int count() const {
    int n = 0;
    for (std::uint64_t w : words_) n += std::popcount(w);
    return n;
  }
  bool empty() const { return count() == 0; }

  // The bits, processor p at bit p % 64 of word p / 64, kWords of them.
  static constexpr int kWords = kMostProcessors / 64;
  std::uint64_t* words() { return words_; }
  const std::uint64_t* words() const { return words_; }

 private:
  std::uint64_t words_[kWords] = {};
};

// The processors the calling thread may run on; empty where that is unknown.
ProcessorSet calling_thread_processors();

// The processor the calling thread runs on now, or -1 where that is unknown.
int current_processor();

// Keeps thread (or the calling thread) to processors, where the platform lets
// a program choose; elsewhere, and for an empty set, it does nothing. Only
// advice to the scheduler: the caller works the same either way.
void set_thread_processors(std::thread& thread, const ProcessorSet& processors);
void set_calling_thread_processors(const ProcessorSet& processors);

// The number of processors this process may run on (its affinity mask where
// there is one), at least 1.
unsigned process_processor_count();

// A number that names the calling process; a child made by fork() gets a
// new one.
long process_id();

// ---- Large blocks of memory

// Blocks of memory for large arrays are made and given back in whole units of
// this many bytes, the huge page of x86-64 and most aarch64 systems.
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

// Returns bytes (a multiple of kLargePage) of memory straight from the
// system, aligned to kLargePage where the system can map memory so, and
// advised into huge pages where it takes such advice (a new block then
// faults once per huge page rather than once per 4 KiB page); null when
// there is no memory.
void* map_large_block(std::size_t bytes);

// Gives a block from map_large_block back, whole (bytes as mapped).
void unmap_large_block(void* data, std::size_t bytes);

// Gives back the end of a block of bytes past its first keep bytes (both
// multiples of kLargePage), where the system can give back part of a block.
// Returns the bytes the block now holds: keep, or bytes where it stays whole.
std::size_t trim_large_block(void* data, std::size_t bytes, std::size_t keep);

}  // namespace orvex
