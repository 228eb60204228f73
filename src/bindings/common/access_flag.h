#pragma once

#include <atomic>
#include <cstdint>

namespace tidewrack::bindings {

// Per-object access flag: any number of shared accesses or one exclusive
// access at a time. Nothing ever waits: a conflicting request fails at once.
class AccessFlag {
public:
  bool try_share() {
    std::int64_t state = state_.load(std::memory_order_relaxed);
    do {
      if (state == EXCLUSIVE) {
        return false;
      }
    } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void end_share() { state_.fetch_sub(1, std::memory_order_release); }

  bool try_exclude() {
    std::int64_t idle = 0;
    return state_.compare_exchange_strong(idle, EXCLUSIVE, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void end_exclude() { state_.store(0, std::memory_order_release); }

private:
  static constexpr std::int64_t EXCLUSIVE = -1;
  std::atomic<std::int64_t> state_{0};
};

// Shared access for the life of the guard, when `held()`.
class SharedAccess {
public:
  explicit SharedAccess(AccessFlag &flag) : flag_(flag), held_(flag.try_share()) {}
  SharedAccess(const SharedAccess &) = delete;
  SharedAccess &operator=(const SharedAccess &) = delete;
  ~SharedAccess() {
    if (held_) {
      flag_.end_share();
    }
  }
  bool held() const { return held_; }

private:
  AccessFlag &flag_;
  bool held_;
};

// Exclusive access for the life of the guard, when `held()`.
class ExclusiveAccess {
public:
  explicit ExclusiveAccess(AccessFlag &flag) : flag_(flag), held_(flag.try_exclude()) {}
  ExclusiveAccess(const ExclusiveAccess &) = delete;
  ExclusiveAccess &operator=(const ExclusiveAccess &) = delete;
  ~ExclusiveAccess() { release(); }
  bool held() const { return held_; }
  // Ends the access before the guard goes out of scope.
  void release() {
    if (held_) {
      flag_.end_exclude();
      held_ = false;
    }
  }

private:
  AccessFlag &flag_;
  bool held_;
};

} // namespace tidewrack::bindings
