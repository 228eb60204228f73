#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tidewrack {

// Decoded: bytes read in a code page where UTF-8 was expected. Replaced: bytes
// no encoding could read, written as U+FFFD.
enum class ChangeKind : std::uint8_t { Decoded, Replaced };

// One run of changed input: its UTF-8 output starts at `offset` of the decoded
// stream and came from `input_bytes` bytes of input.
struct Change {
  std::uint64_t offset;
  std::uint64_t input_bytes;
  ChangeKind kind;

  bool operator==(const Change &) const = default;
};

struct ChangeCounts {
  std::uint64_t decoded = 0;
  std::uint64_t replaced = 0;

  bool operator==(const ChangeCounts &) const = default;
};

// The changes a decoder made, in output order, until a consumer takes them.
//
// A change's output is never ASCII, so a range that ends right after a line
// break never cuts one in two: adjacent changes of one kind merge into one and
// the counts of every record stay exact.
class ChangeLog;

// Reads a stretch of a ChangeLog's pending changes as take() would, without
// dropping them: each thread that reconciles a part of one stretch of text
// reads its changes through a cursor of its own.
class ChangeCursor {
public:
  explicit ChangeCursor(std::span<const Change> changes) : changes_(changes) {}

  std::span<const Change> pending() const { return changes_.subspan(first_); }
  // Counts the changes whose output starts in [start, end) and passes every
  // change that starts before `end`.
  ChangeCounts take(std::uint64_t start, std::uint64_t end);
  // The changes passed so far.
  std::size_t passed() const { return first_; }

private:
  std::span<const Change> changes_;
  std::size_t first_ = 0;
};

class ChangeLog {
public:
  void add(std::uint64_t offset, std::size_t output_length, ChangeKind kind,
           std::uint64_t input_bytes);

  // The changes not taken yet.
  std::span<const Change> pending() const {
    return {changes_.data() + first_, changes_.size() - first_};
  }

  // Counts the pending changes whose output starts in [start, end) and drops
  // every pending change that starts before `end`. Ranges are taken in stream
  // order (a record at a time), so memory holds only what is not yet parsed.
  ChangeCounts take(std::uint64_t start, std::uint64_t end);

private:
  std::vector<Change> changes_;
  std::size_t first_ = 0;      // changes before it are taken
  std::uint64_t last_end_ = 0; // where the output of the last change added ends
};

} // namespace tidewrack
