#pragma once

#include <string_view>

#include "salvage/options.h"
#include "salvage/outcome.h"

namespace test_support {

// An in-memory salvage whose outcome also lists every change made, as a
// repair log would.
tidewrack::SalvageOutcome salvage_listing_repairs(std::string_view input,
                                                  const tidewrack::SalvageOptions &options);

} // namespace test_support
