// A quick reader for the commonest JSON text the programs receive: a flat
// object whose values are strings, true, false or null (a screen read is
// one long string). Only parseJson calls it.
#pragma once

#include <optional>
#include <string_view>

#include "support/json.h"

namespace tesselo {

// The object when the whole text is such a flat object and is valid JSON;
// nothing for anything else, valid or not, which the full parser then
// decides. It never accepts what the full parser would refuse.
std::optional<Json> parseFlatObject(std::string_view text);

}  // namespace tesselo
