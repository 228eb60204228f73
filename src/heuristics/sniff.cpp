#include "heuristics/sniff.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "heuristics/field_count_tally.h"

namespace tidewrack {

namespace {

double score(const std::vector<std::size_t> &field_counts) {
  if (field_counts.size() < 2) {
    return 0.0;
  }
  // Visiting wider counts first makes the widest of equally frequent counts dominant.
  FieldCountTally counts = tally(field_counts);
  std::size_t dominant = 0;
  int best = 0;
  for (auto entry = counts.rbegin(); entry != counts.rend(); ++entry) {
    if (entry->first >= 2 && entry->second > best) {
      dominant = entry->first;
      best = entry->second;
    }
  }
  if (dominant == 0) {
    return 0.0;
  }
  double consistency = static_cast<double>(best) / static_cast<double>(field_counts.size());
  return consistency * std::max(std::log(static_cast<double>(dominant)), 1.0);
}

} // namespace

std::optional<std::uint8_t> sniff_delimiter(std::string_view sample, std::uint8_t quote_char,
                                            StopPoll stop, ParserInput kind, bool *reached_end) {
  std::uint8_t best_delimiter = ',';
  double best_score = -1.0; // below any score: the first candidate tried takes it
  // Without a line break the sample is one record whatever the delimiter, and
  // a single record scores 0 for every candidate: the first one tried wins,
  // and a long single line is not read once per candidate.
  const bool one_record =
      sample.find('\n') == std::string_view::npos && sample.find('\r') == std::string_view::npos;
  if (one_record && reached_end != nullptr) {
    *reached_end = true;
  }
  for (std::uint8_t candidate : CANDIDATE_DELIMITERS) {
    if (candidate == quote_char) {
      continue;
    }
    if (one_record) {
      return candidate;
    }
    const std::optional<std::vector<std::size_t>> field_counts = head_field_counts(
        sample, candidate, quote_char, SNIFF_RECORD_LIMIT, stop, kind, reached_end);
    if (!field_counts) {
      return std::nullopt;
    }
    double candidate_score = score(*field_counts);
    if (candidate_score > best_score) {
      best_delimiter = candidate;
      best_score = candidate_score;
    }
  }
  return best_delimiter;
}

} // namespace tidewrack
