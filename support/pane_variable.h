// Names the programs share: the variable that names the pane a program runs
// in (set by the application, and by tesselo-host, in every pane; read by the
// hook relay), and the relay's command word.
#pragma once

#include <string_view>

namespace tesselo {

inline constexpr const char* paneIdVariable = "TESSELO_PANE_ID";

// The command word of the hook relay: Claude Code runs it for every hook
// event, and the host tells the relay and the shell running it apart from the
// agent by it.
inline constexpr std::string_view relayCommandWord = "claude-hook";

}  // namespace tesselo
