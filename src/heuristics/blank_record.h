#pragma once

#include "parser/record.h"

namespace tidewrack {

// A record with no fields, or with one field that is empty once Unicode white
// space is trimmed from both ends. Two or more fields are never blank.
bool is_blank_record(const Record &record);

} // namespace tidewrack
