// The platform seam: each call gives the same answers on every platform,
// whether the system's own call or the plain C++ fallback answers.
#include <cstring>
#include <string>

#include "base/platform.h"
#include "test_support.h"

namespace orvex::testing {
namespace {

TEST(Platform, ByteSwapReversesBytes) {
  static_assert(byte_swap(0x0102030405060708ULL) == 0x0807060504030201ULL);
  EXPECT_EQ(byte_swap(0xFF00000000000001ULL), 0x01000000000000FFULL);
  const std::uint64_t x = to_little_endian(0x0807060504030201ULL);
  unsigned char bytes[8];
  std::memcpy(bytes, &x, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], i + 1);
}

// Around the eight-byte steps of the fallback: a match in the first word, in
// a partial head, just past a word boundary, none at all, and high bytes
// (which the word trick must not mistake for the one sought).
TEST(Platform, FindLastByteFindsTheLastMatch) {
  for (std::size_t size : {0, 1, 7, 8, 9, 16, 17, 100}) {
    std::string text(size, '\xC8');
    EXPECT_EQ(find_last_byte(text.data(), size, '\n'), nullptr) << size;
    for (std::size_t at = 0; at < size; ++at) {
      std::string with = text;
      with[at] = '\n';
      if (at >= 3) with[at - 3] = '\n';  // an earlier match must not win
      EXPECT_EQ(find_last_byte(with.data(), size, '\n'), with.data() + at) << size << " " << at;
      EXPECT_EQ(find_last_byte(with.data(), at, '\n'), at >= 3 ? with.data() + at - 3 : nullptr);
    }
  }
  const char high[] = "\x80\x01\x81\xFF";
  EXPECT_EQ(find_last_byte(high, 4, '\x80'), high);
  EXPECT_EQ(find_last_byte(high, 4, '\x01'), high + 1);
}

TEST(Platform, ProcessorSetCountsAndRemoves) {
  ProcessorSet set;
  EXPECT_TRUE(set.empty());
  for (int p : {0, 63, 64, 1023}) set.add(p);
  set.add(1024);  // past the end: ignored
  EXPECT_EQ(set.count(), 4);
  set.remove(63);
  EXPECT_FALSE(set.contains(63));
  EXPECT_TRUE(set.contains(64));
  EXPECT_FALSE(set.contains(-1));
  // The calling thread's own set, where the platform tells it, holds the
  // processor it runs on.
  const ProcessorSet mine = calling_thread_processors();
  const int here = current_processor();
  if (!mine.empty() && here >= 0) {
    EXPECT_TRUE(mine.contains(here));
  }
  EXPECT_GE(process_processor_count(), 1u);
}

TEST(Platform, LargeBlocksHoldWritesAndTrim) {
  const std::size_t bytes = 2 * kLargePage;
  auto* data = static_cast<unsigned char*>(map_large_block(bytes));
  ASSERT_NE(data, nullptr);
  data[0] = 1;
  data[bytes - 1] = 2;
  const std::size_t held = trim_large_block(data, bytes, kLargePage);
  EXPECT_TRUE(held == kLargePage || held == bytes);
  data[kLargePage - 1] = 3;
  EXPECT_EQ(data[0], 1);
  unmap_large_block(data, held);
}

}  // namespace
}  // namespace orvex::testing
