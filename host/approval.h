// The user's approval of the first send of a host run, asked through a tmux
// prompt on the client the user touched last.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/handlers.h"

namespace tesselo::host {

inline constexpr std::string_view approvalPrompt = "Allow Tesselo to type into your panes? (y/n) ";
inline constexpr std::string_view noClientToAskMessage =
    "typing into panes needs the user's approval, but no tmux client is attached to ask it; "
    "attach to tmux, or start tesselo-host with --allow-send";
inline constexpr std::string_view sendRefusedMessage = "the user did not allow typing into panes";

// Nothing when sending may go ahead; the reason it may not otherwise. Asks at
// most one question at a time; once granted, never asks again.
std::optional<std::string> approveSend(HostContext& host);

// Whether a prompt answer grants the approval.
bool approvalGranted(std::string_view answer);

}  // namespace tesselo::host
