// The borrow flag of the module's objects and the guard that holds one borrow.
// Python-free: module/borrow.h is plain C++.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "module/borrow.h"

namespace orvex::py {
namespace {

enum class Kind { kShared, kExclusive };

const char* take(BorrowFlag& flag, Kind kind) {
  return kind == Kind::kShared ? flag.share() : flag.exclude();
}

const char* take(BorrowGuard& guard, BorrowFlag& flag, Kind kind) {
  return kind == Kind::kShared ? guard.share(flag) : guard.exclude(flag);
}

std::string message(const char* m) { return m ? m : "(taken)"; }

TEST(BorrowFlag, StartsFree) {
  BorrowFlag flag;
  EXPECT_TRUE(flag.is_free());
  EXPECT_FALSE(flag.is_exclusive());
  EXPECT_EQ(flag.shared_count(), 0);
}

TEST(BorrowFlag, ConflictMessagesAreTheTwoFixedTexts) {
  EXPECT_STREQ(BorrowFlag::kAlreadyBorrowed, "Already borrowed");
  EXPECT_STREQ(BorrowFlag::kAlreadyMutablyBorrowed, "Already mutably borrowed");
}

TEST(BorrowFlag, SharedBorrowsCountUpAndDown) {
  BorrowFlag flag;
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(flag.share(), nullptr);
    EXPECT_EQ(flag.shared_count(), i);
    EXPECT_FALSE(flag.is_free());
    EXPECT_FALSE(flag.is_exclusive());
  }
  for (int i = 2; i >= 0; --i) {
    flag.release_shared();
    EXPECT_EQ(flag.shared_count(), i);
  }
  EXPECT_TRUE(flag.is_free());
}

TEST(BorrowFlag, ExclusiveWaitsForTheLastSharedBorrow) {
  BorrowFlag flag;
  ASSERT_EQ(flag.share(), nullptr);
  ASSERT_EQ(flag.share(), nullptr);
  EXPECT_STREQ(flag.exclude(), "Already borrowed");
  flag.release_shared();
  EXPECT_STREQ(flag.exclude(), "Already borrowed");
  EXPECT_EQ(flag.shared_count(), 1);  // the refused borrow left no trace
  flag.release_shared();
  EXPECT_EQ(flag.exclude(), nullptr);
  EXPECT_TRUE(flag.is_exclusive());
}

TEST(BorrowFlag, ExclusiveShutsOutEveryOtherBorrowUntilReleased) {
  BorrowFlag flag;
  ASSERT_EQ(flag.exclude(), nullptr);
  EXPECT_TRUE(flag.is_exclusive());
  EXPECT_EQ(flag.shared_count(), 0);
  EXPECT_STREQ(flag.share(), "Already mutably borrowed");
  EXPECT_STREQ(flag.exclude(), "Already borrowed");
  EXPECT_TRUE(flag.is_exclusive());  // refusals change nothing
  flag.release_exclusive();
  EXPECT_TRUE(flag.is_free());
  EXPECT_EQ(flag.share(), nullptr);
  flag.release_shared();
  EXPECT_EQ(flag.exclude(), nullptr);
  flag.release_exclusive();
  EXPECT_TRUE(flag.is_free());
}

struct Conflict {
  Kind held;
  Kind wanted;
  const char* expected;  // nullptr: the second borrow is taken
};

class BorrowConflict : public ::testing::TestWithParam<Conflict> {};

TEST_P(BorrowConflict, SecondBorrowWhileTheFirstIsHeld) {
  const Conflict c = GetParam();
  BorrowFlag flag;
  ASSERT_EQ(take(flag, c.held), nullptr);
  EXPECT_EQ(message(take(flag, c.wanted)), message(c.expected));
}

TEST_P(BorrowConflict, GuardsGiveTheSameAnswersAndReleaseOnScopeExit) {
  const Conflict c = GetParam();
  BorrowFlag flag;
  {
    BorrowGuard first;
    ASSERT_EQ(take(first, flag, c.held), nullptr);
    {
      BorrowGuard second;
      EXPECT_EQ(message(take(second, flag, c.wanted)), message(c.expected));
    }
    // Leaving the second guard's scope gave back only what it held.
    EXPECT_EQ(flag.is_exclusive(), c.held == Kind::kExclusive);
    EXPECT_EQ(flag.shared_count(), c.held == Kind::kShared ? 1 : 0);
  }
  EXPECT_TRUE(flag.is_free());
  BorrowGuard again;
  EXPECT_EQ(take(again, flag, c.wanted), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    AllPairs, BorrowConflict,
    ::testing::Values(Conflict{Kind::kShared, Kind::kShared, nullptr},
                      Conflict{Kind::kShared, Kind::kExclusive, "Already borrowed"},
                      Conflict{Kind::kExclusive, Kind::kShared, "Already mutably borrowed"},
                      Conflict{Kind::kExclusive, Kind::kExclusive, "Already borrowed"}),
    [](const ::testing::TestParamInfo<Conflict>& info) {
      const auto name = [](Kind k) { return k == Kind::kShared ? "Shared" : "Exclusive"; };
      return std::string(name(info.param.held)) + "Then" + name(info.param.wanted);
    });

class GuardRelease : public ::testing::TestWithParam<Kind> {};

TEST_P(GuardRelease, OnDestruction) {
  BorrowFlag flag;
  {
    BorrowGuard guard;
    ASSERT_EQ(take(guard, flag, GetParam()), nullptr);
    EXPECT_FALSE(flag.is_free());
  }
  EXPECT_TRUE(flag.is_free());
}

TEST_P(GuardRelease, WhenAnExceptionLeavesTheScope) {
  BorrowFlag flag;
  EXPECT_THROW(
      {
        BorrowGuard guard;
        ASSERT_EQ(take(guard, flag, GetParam()), nullptr);
        throw std::runtime_error("operation failed");
      },
      std::runtime_error);
  EXPECT_TRUE(flag.is_free());
}

TEST_P(GuardRelease, ExplicitReleaseThenDestructionReleasesOnce) {
  BorrowFlag flag;
  ASSERT_EQ(flag.share(), nullptr);  // someone else's shared borrow
  const bool shared = GetParam() == Kind::kShared;
  {
    BorrowGuard guard;
    const char* error = take(guard, flag, GetParam());
    ASSERT_EQ(message(error), message(shared ? nullptr : "Already borrowed"));
    guard.release();
    EXPECT_EQ(flag.shared_count(), 1);
    guard.release();
    EXPECT_EQ(flag.shared_count(), 1);
  }
  EXPECT_EQ(flag.shared_count(), 1);  // the other borrow is still held
  flag.release_shared();
  EXPECT_TRUE(flag.is_free());
}

TEST_P(GuardRelease, RefusedGuardReleasesNothingThatIsNotItsOwn) {
  BorrowFlag flag;
  ASSERT_EQ(flag.exclude(), nullptr);  // held elsewhere
  {
    BorrowGuard guard;
    EXPECT_NE(take(guard, flag, GetParam()), nullptr);
  }
  EXPECT_TRUE(flag.is_exclusive());
  flag.release_exclusive();
  EXPECT_TRUE(flag.is_free());
}

TEST_P(GuardRelease, ReborrowAfterReleaseAgainAndAgain) {
  BorrowFlag flag;
  BorrowGuard guard;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(take(guard, flag, GetParam()), nullptr) << "round " << i;
    EXPECT_FALSE(flag.is_free());
    guard.release();
    EXPECT_TRUE(flag.is_free());
  }
}

TEST_P(GuardRelease, TakingAgainGivesBackWhatTheGuardHeld) {
  BorrowFlag first;
  BorrowFlag second;
  BorrowGuard guard;
  ASSERT_EQ(take(guard, first, GetParam()), nullptr);
  ASSERT_EQ(take(guard, second, GetParam()), nullptr);
  EXPECT_TRUE(first.is_free());
  EXPECT_FALSE(second.is_free());
  // Taking the same flag again is not refused by the guard's own borrow.
  ASSERT_EQ(take(guard, second, GetParam()), nullptr);
  EXPECT_EQ(second.is_exclusive(), GetParam() == Kind::kExclusive);
  EXPECT_EQ(second.shared_count(), GetParam() == Kind::kShared ? 1 : 0);
  guard.release();
  EXPECT_TRUE(second.is_free());
}

INSTANTIATE_TEST_SUITE_P(BothKinds, GuardRelease,
                         ::testing::Values(Kind::kShared, Kind::kExclusive),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::kShared ? "Shared" : "Exclusive";
                         });

TEST(BorrowGuard, ManySharedGuardsThenOneExclusive) {
  BorrowFlag flag;
  {
    BorrowGuard a, b, c;
    ASSERT_EQ(a.share(flag), nullptr);
    ASSERT_EQ(b.share(flag), nullptr);
    ASSERT_EQ(c.share(flag), nullptr);
    EXPECT_EQ(flag.shared_count(), 3);
    BorrowGuard writer;
    EXPECT_STREQ(writer.exclude(flag), "Already borrowed");
    b.release();
    EXPECT_EQ(flag.shared_count(), 2);
  }
  EXPECT_TRUE(flag.is_free());
  BorrowGuard writer;
  EXPECT_EQ(writer.exclude(flag), nullptr);
  BorrowGuard reader;
  EXPECT_STREQ(reader.share(flag), "Already mutably borrowed");
}

}  // namespace
}  // namespace orvex::py
