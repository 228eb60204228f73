#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace tidewrack {

class ResilientParser;

// How far a quoted field may run past the end of its own line before its
// opening quote is put in doubt.
struct QuoteRecoveryLimits {
  std::uint64_t lines = 1000;
  std::uint64_t bytes = 1 << 20;
};

// Unclosed-quote recovery: decides whether the opening quote of a quoted field
// that runs past the end of its physical line is read as a literal character
// instead, so that the record ends at its own line break.
//
// The rule. The window is the lines after the quote's line: the first one
// always, then more while the window holds fewer than `limits.lines` lines and
// fewer than `limits.bytes` bytes (the line that crosses the byte limit still
// counts), never past the end of the input. The quote is read as text when
//   1. the field does not close within the window: it runs on to the end of
//      the input, or across more lines than the limits allow, or a stray
//      quote (one that neither doubles nor closes it) stands before it closes,
//      which ends the window at the stray quote's line: a quote pairs with
//      the next one, and a field of a well-formed file holds no stray quote;
//      and
//   2. the window's lines parse as records of the expected width on their own:
//      at least nine in ten of its non-blank lines (a blank line is empty or
//      holds spaces and tabs only), each cut into fields as if it were the
//      whole input, have exactly `columns` fields. A window without a
//      non-blank line passes: nothing speaks for the field.
// A real multi-line field closes within the window and stays one field.
//
// Linear time: each line of the input is searched for a closing quote and cut
// into fields at most once, however many quotes are put in doubt. Quotes in
// doubt move forward only; a later one whose line break lies in the stretch
// already searched from an earlier one continues that search (both read the
// bytes after a line break in the same quoted state), and the windows of
// successive quotes slide forward, keeping the verdicts on the lines they share.
class UnclosedQuoteCheck {
public:
  UnclosedQuoteCheck(std::uint64_t columns, QuoteRecoveryLimits limits)
      : columns_(columns), limits_(limits) {}

  // `line_break` is the first CR or LF inside a quoted field, which the
  // parser reached without the field closing.
  bool reads_as_text(ResilientParser &parser, std::size_t line_break);

  // The end of the bytes searched so far, 0 before any search.
  std::size_t looked_ahead_to() const { return searched_ ? searched_to_ : 0; }

  // For a parser that reads again from `from`: a search taken up or begun
  // for a quote there or past it is forgotten, lest an earlier quote take it up.
  void forget_from(std::size_t from) {
    if (searched_ && last_asked_ >= from) {
      searched_ = false;
    }
  }

private:
  enum class Verdict : std::uint8_t { unknown, blank, fits, misfits };
  struct Line {
    std::size_t begin; // first byte
    std::size_t end;   // its line break, or the end of the input
    std::size_t next;  // first byte of the next line
    Verdict verdict;
  };

  // How a quoted field open at the start of a line fares on it.
  enum class Close : std::uint8_t { no, closes, stray };

  bool window_full() const;
  Close closes_within(ResilientParser &parser, const Line &line) const;
  Verdict judge(ResilientParser &parser, const Line &line) const;
  // Adds a judged line to the window's tallies, or takes it out.
  void count(Verdict verdict, bool entering);

  std::uint64_t columns_;
  QuoteRecoveryLimits limits_;

  // The window of the last quote in doubt. The bytes from `searched_from_` to
  // `searched_to_` were searched in the quoted state without the field closing.
  std::deque<Line> window_;
  bool searched_ = false;
  bool ended_at_stray_ = false; // the search ended at the window's last line
  std::size_t searched_from_ = 0;
  std::size_t searched_to_ = 0;
  std::size_t last_asked_ = 0; // the line break of the last quote in doubt
  std::uint64_t fitting_ = 0;  // lines of the window judged to fit
  std::uint64_t non_blank_ = 0;
};

} // namespace tidewrack
