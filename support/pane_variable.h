// The variable that names the pane a program runs in: set by the application
// (and by tesselo-host) in every pane, read by the hook relay.
#pragma once

namespace tesselo {

inline constexpr const char* paneIdVariable = "TESSELO_PANE_ID";

}  // namespace tesselo
