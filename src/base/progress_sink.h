#pragma once

#include <cstdint>
#include <type_traits>

namespace tidewrack {

// Tells the caller of a long salvage how far through its input it is (for a
// progress bar). Refers to a callable `void(std::uint64_t input_bytes_done)`,
// which must outlive the sink; the engine calls it every few MiB and once at
// the end. A default sink does nothing.
class ProgressSink {
public:
  // Bytes between two reports: often enough for a bar, rare enough to cost nothing.
  static constexpr std::uint64_t INTERVAL = std::uint64_t{4} << 20;

  ProgressSink() = default;
  template <class Callable>
    requires(!std::is_same_v<std::remove_cv_t<Callable>, ProgressSink>) // copies stay plain copies
  explicit ProgressSink(Callable &callable)
      : context_(&callable), call_([](void *context, std::uint64_t input_bytes_done) {
          (*static_cast<Callable *>(context))(input_bytes_done);
        }) {}

  void operator()(std::uint64_t input_bytes_done) const {
    if (call_ != nullptr) {
      call_(context_, input_bytes_done);
    }
  }

private:
  void *context_ = nullptr;
  void (*call_)(void *, std::uint64_t) = nullptr;
};

} // namespace tidewrack
