#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arrow/arrow_abi.h"

// What the C++ tests and the fuzzers read exported Arrow batches with.
namespace test_support {

// The fields of `row` of a struct batch of string children, read from their
// buffers as a consumer would: utf8 children (three buffers) or utf8_view
// children (four: validity, views, the data buffer, its size), as `views`
// says. A child of the other layout, or a view an Arrow reader would misread
// (its prefix not its text's, bytes after an inline text not zero, its text
// outside the data buffer), throws std::logic_error naming the fault.
std::vector<std::string> batch_row(const ArrowArray &batch, std::int64_t row, bool views);

} // namespace test_support
