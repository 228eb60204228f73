#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "output/csv_format.h"
#include "output/row_store.h"
#include "parser/record.h"

// What the C++ tests and the fuzzers build records and rows with.
namespace test_support {

// A record of these fields, held in its own text, as the parser yields a
// field it had to put together.
tidewrack::Record record_of(const std::vector<std::string> &fields);

// The fields of a stored row.
std::vector<std::string> fields_of(const tidewrack::RowView &row);

// Appends the clean line of `record`, LF included, to `line`, as file salvage
// writes it. Throws std::length_error when no line can hold it.
void append_row(tidewrack::CleanRowRenderer &renderer, std::string &line,
                const tidewrack::Record &record, const tidewrack::RowShape &shape,
                std::string_view merge_separator);

// The same for a stored row, with no fields merged or added.
void append_row(tidewrack::CleanRowRenderer &renderer, std::string &line,
                const tidewrack::RowView &row);

} // namespace test_support
