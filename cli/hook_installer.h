// The edit that install-hooks makes to Claude Code's settings document, in
// memory only: take this program's hook items out, and when installing put
// one fresh group per event back. No file is touched here.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "support/json.h"
#include "support/pane_variable.h"

namespace tesselo {

// The events we hook, in the order they are processed and reported.
inline constexpr std::array<std::string_view, 5> hookEvents = {
    "SessionStart", "UserPromptSubmit", "Stop", "Notification", "SessionEnd"};
inline constexpr std::string_view notificationEvent = "Notification";
inline constexpr std::string_view notificationMatcher =
    "permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed";
inline constexpr int hookTimeoutSeconds = 5;

// A hook item is ours when its command names both our executable's file name
// and the relay's command word.
inline constexpr std::string_view executableFileName = "tesselo-cli";

inline constexpr std::string_view notValidJsonMessage = "<path> is not valid JSON — fix it first";
inline constexpr std::string_view hooksShapeMessage = "hooks in <path> has an unexpected shape";
inline constexpr std::string_view eventShapeMessage =
    "hooks.<event> in <path> has an unexpected shape";

enum class HookMode { install, uninstall };

// Why a settings document was refused; each kind has its own message.
struct HookFailure {
  enum class Kind { notValidJson, hooksShape, eventShape };
  Kind kind;
  std::string event;  // the event whose value was refused (eventShape only)
};

// The new settings document, or why there is none.
using HookMerge = std::variant<Json, HookFailure>;

// The command Claude Code runs for each event: the quoted executable path
// followed by the relay's command word.
std::string hookCommand(std::string_view executablePath);

// Whether a hook item was written by this program (its ownership marker).
bool isOwnHookItem(const Json& item);

// The settings object held by a file's bytes; nothing when they do not parse
// as JSON or their top level is not an object.
std::optional<Json> parseSettings(std::string_view bytes);

// Strips our hook items from the five events (dropping groups left empty)
// and, installing, appends one fresh group per event. Everything else is
// carried through unchanged. The events are checked in their fixed order and
// the first refused one is reported.
HookMerge mergeHooks(Json settings, std::string_view command, HookMode mode);

// The failure's message, naming the settings file by its path.
std::string failureMessage(const HookFailure& failure, std::string_view path);

// Fills the "<name>" placeholders of a message template in one pass, so a
// value that itself contains a placeholder is never expanded.
std::string fillTemplate(
    std::string_view pattern,
    std::initializer_list<std::pair<std::string_view, std::string_view>> values);

}  // namespace tesselo
