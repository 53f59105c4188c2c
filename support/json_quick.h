// A quick reader for the JSON the programs exchange: objects, arrays,
// strings, integers, true, false and null, nested a little. Only parseJson
// calls it.
#pragma once

#include <optional>
#include <string_view>

#include "support/json.h"

namespace tesselo {

// Deeper nesting is left to the full parser (and its own limit).
inline constexpr int quickReaderDepth = 64;

// The value when the whole text is an object or array of the kinds above and
// is valid JSON; nothing for anything else, valid or not (a fraction or an
// exponent, deeper nesting, any fault), which the full parser then decides.
// What it accepts, the full parser accepts with the same value and types.
std::optional<Json> parseQuickly(std::string_view text);

}  // namespace tesselo
