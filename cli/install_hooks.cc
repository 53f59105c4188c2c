// install-hooks [--uninstall]: puts this program's hooks into Claude Code's
// user settings file, or takes them out, keeping everything else.
#include <string>
#include <variant>

#include "cli/commands.h"
#include "cli/frame.h"
#include "cli/hook_installer.h"
#include "cli/self_path.h"
#include "cli/settings_file.h"

namespace tesselo {

namespace {

inline constexpr std::string_view cannotReadMessage = "cannot read <path>: <reason>";
inline constexpr std::string_view cannotEncodeMessage = "cannot encode settings";
inline constexpr std::string_view cannotWriteMessage = "cannot write <path>: <reason>";
inline constexpr std::string_view nothingToUninstallLine = "nothing to uninstall";
inline constexpr std::string_view installedLine = "installed tesselo hooks (<events>) in <path>";
inline constexpr std::string_view restartLine = "restart running claude sessions to pick them up";
inline constexpr std::string_view removedLine = "removed tesselo hooks from <path>";
inline constexpr std::string_view eventSeparator = ", ";

std::string eventList() {
  std::string list;
  for (std::string_view event : hookEvents) {
    if (!list.empty()) list += eventSeparator;
    list += event;
  }
  return list;
}

}  // namespace

int runInstallHooks() {
  HookMode mode = boolFlag("--uninstall", arguments) ? HookMode::uninstall : HookMode::install;
  std::string command = hookCommand(selfExecutablePath());
  std::string path = settingsFilePath();

  // A file that is there but cannot be read must never be replaced by one
  // built from nothing: that would throw away every setting in it.
  SettingsRead existing = readSettingsFile(path);
  if (existing.status == SettingsRead::Status::unreadable)
    fail(fillTemplate(cannotReadMessage, {{"<path>", path}, {"<reason>", existing.reason}}));
  bool existed = existing.status == SettingsRead::Status::read;

  Json settings = Json::object();
  if (existed) {
    std::optional<Json> parsed = parseSettings(existing.bytes);
    if (!parsed) fail(failureMessage({HookFailure::Kind::notValidJson, {}}, path));
    settings = std::move(*parsed);
    writeBackupOnce(backupPathFor(path), existing.bytes);
  }
  if (mode == HookMode::uninstall && !existed) {
    print(std::string(nothingToUninstallLine) + "\n");
    return 0;
  }

  HookMerge merged = mergeHooks(std::move(settings), command, mode);
  if (const HookFailure* failure = std::get_if<HookFailure>(&merged))
    fail(failureMessage(*failure, path));
  std::optional<std::string> text = settingsJson(std::get<Json>(merged));
  if (!text) fail(cannotEncodeMessage);

  createParentDirectories(path);
  if (std::optional<std::string> reason = replaceFile(path, *text))
    fail(fillTemplate(cannotWriteMessage, {{"<path>", path}, {"<reason>", *reason}}));

  if (mode == HookMode::install)
    print(fillTemplate(installedLine, {{"<events>", eventList()}, {"<path>", path}}) + "\n" +
          std::string(restartLine) + "\n");
  else
    print(fillTemplate(removedLine, {{"<path>", path}}) + "\n");
  return 0;
}

}  // namespace tesselo
