#pragma once

#include <cstdint>
#include <type_traits>

namespace tidewrack {

// Lets the caller of a long salvage stop it (for Ctrl-C): the engine asks now
// and then, and a true answer ends the work with an Interrupted error. Refers
// to a callable `bool(bool signalled)`, which must outlive the poll;
// `signalled` says that a system call was just interrupted by a signal, so the
// answer is wanted now (the call would otherwise block again). A default poll
// never stops.
class StopPoll {
public:
  StopPoll() = default;
  template <class Callable>
    requires(!std::is_same_v<std::remove_cv_t<Callable>, StopPoll>) // copies stay plain copies
  explicit StopPoll(Callable &callable)
      : context_(&callable), call_([](void *context, bool signalled) {
          return (*static_cast<Callable *>(context))(signalled);
        }) {}

  bool operator()(bool signalled) const { return call_ != nullptr && call_(context_, signalled); }

private:
  void *context_ = nullptr;
  bool (*call_)(void *, bool) = nullptr;
};

// Asks a StopPoll once per INTERVAL bytes of progress through an input, so
// that a stop is noticed soon on any input while the asking costs nothing.
class StopCheckpoints {
public:
  static constexpr std::uint64_t INTERVAL = std::uint64_t{1} << 20;

  explicit StopCheckpoints(StopPoll poll) : poll_(poll) {}

  // True when the work is to stop; `progress` is the count of bytes read or
  // parsed so far.
  bool stop_at(std::uint64_t progress) {
    if (progress < next_) {
      return false;
    }
    next_ = progress + INTERVAL;
    return poll_(false);
  }

private:
  StopPoll poll_;
  std::uint64_t next_ = INTERVAL;
};

} // namespace tidewrack
