#include "listed_salvage.h"

#include "salvage/salvage_slice.h"

namespace test_support {

namespace {

class ListingSink : public tidewrack::SliceSink {
public:
  using SliceSink::SliceSink;
  bool logging() const { return true; }
  void log(const tidewrack::RepairEvent &event) { outcome_.repairs.push_back(event); }
};

} // namespace

tidewrack::SalvageOutcome salvage_listing_repairs(std::string_view input,
                                                  const tidewrack::SalvageOptions &options) {
  tidewrack::SalvageOutcome outcome;
  ListingSink sink(outcome);
  outcome.counts = tidewrack::salvage_into(input, options, {}, sink).value();
  return outcome;
}

} // namespace test_support
