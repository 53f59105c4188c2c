// Where Claude Code's user settings file lies, and reading and replacing it
// so that it is always either the old or the complete new file, and never
// readable by anyone but its owner.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesselo {

inline constexpr std::string_view settingsRelativePath = ".claude/settings.json";
inline constexpr std::string_view backupExtension = "tesselo-backup";
inline constexpr std::string_view notRegularFileReason = "not a regular file";

// HOME made absolute against the current directory; the password database's
// home when HOME is unset or empty.
std::string homeDirectory();

// The absolute path of the settings file under homeDirectory().
std::string settingsFilePath();

// settings.json.tesselo-backup beside the settings file.
std::string backupPathFor(const std::string& settingsPath);

struct SettingsRead {
  enum class Status { absent, read, unreadable };
  Status status = Status::absent;
  std::string bytes;   // the whole file (read)
  std::string reason;  // the platform's description of the error (unreadable)
};

// Absent only when nothing is there to read (a dangling link counts as
// absent); anything else that stops a whole read is unreadable.
SettingsRead readSettingsFile(const std::string& path);

// Writes the backup unless anything at all stands at its path. A backup that
// cannot be written is no reason to stop, so failures are silent.
void writeBackupOnce(const std::string& backupPath, std::string_view bytes);

// Creates the file's directory and its missing parents; failures are left for
// the write to report.
void createParentDirectories(const std::string& path);

// Replaces the file atomically with mode 0600: a temporary file beside the
// final target (a symbolic link stays and its target is replaced), synced,
// then renamed over it. On failure the old file is untouched, the temporary
// file removed, and the platform's description of the error returned.
std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes);

}  // namespace tesselo
