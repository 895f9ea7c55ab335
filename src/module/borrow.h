// The borrow flag of an object: shared readers or one exclusive writer.
#pragma once

#include <cstdint>

namespace orvex::py {

class BorrowFlag {
 public:
  static constexpr const char* kAlreadyBorrowed = "Already borrowed";
  static constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

  // Each returns nullptr when the borrow was taken, else the conflict message.
  const char* share() {
    if (count_ == kExclusive) return kAlreadyMutablyBorrowed;
    ++count_;
    return nullptr;
  }
  const char* exclude() {
    if (count_ != 0) return kAlreadyBorrowed;
    count_ = kExclusive;
    return nullptr;
  }
  void release_shared() { --count_; }
  void release_exclusive() { count_ = 0; }

  bool is_free() const { return count_ == 0; }
  bool is_exclusive() const { return count_ == kExclusive; }
  std::intptr_t shared_count() const { return count_ == kExclusive ? 0 : count_; }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::intptr_t count_ = 0;
};

// Holds one borrow of a flag and gives it back when it goes out of scope.
class [[nodiscard]] BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() { release(); }

  // Each returns nullptr when the borrow was taken, else the conflict message.
  const char* share(BorrowFlag& flag) { return take(flag, false); }
  const char* exclude(BorrowFlag& flag) { return take(flag, true); }

  void release() {
    if (!flag_) return;
    if (exclusive_) {
      flag_->release_exclusive();
    } else {
      flag_->release_shared();
    }
    flag_ = nullptr;
  }

 private:
  const char* take(BorrowFlag& flag, bool exclusive) {
    release();
    const char* error = exclusive ? flag.exclude() : flag.share();
    if (!error) {
      flag_ = &flag;
      exclusive_ = exclusive;
    }
    return error;
  }

  BorrowFlag* flag_ = nullptr;
  bool exclusive_ = false;
};

}  // namespace orvex::py
