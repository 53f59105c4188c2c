// A quick compact writer for compactJson: the same bytes nlohmann's dump
// writes, for every value whose strings are valid UTF-8. Only json.cc calls
// it.
#pragma once

#include <string>

#include "support/json.h"

namespace tesselo {

// Appends the compact text of a value with finite numbers to out. False,
// with out in an unspecified state, when a string is not valid UTF-8 (or a
// value is binary): nlohmann's dump then decides, replacing bad bytes.
bool writeQuickly(const Json& value, std::string& out);

}  // namespace tesselo
