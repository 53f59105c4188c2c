// The signs of how a coding agent's turn stands that Claude Code shows
// outside its hook events: the status line under its input box, and the
// lines it appends to the transcript of the session. Everything that knows
// Claude Code's texts and line shapes is here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesselo::host {

enum class ScreenStatus {
  running,  // "esc to interrupt": a turn runs
  dialog,   // a permission dialog waits for the user
  rest,     // the input box waits for a prompt
  unknown,  // no status line that says either
};

struct StatusReading {
  ScreenStatus status = ScreenStatus::unknown;
  // The permission mode shown in front of "esc to interrupt" or "? for
  // shortcuts": alone (the prompt put back in the input box) it means rest.
  std::string mode;
};

// Reads the lines under the last horizontal rule at the bottom of a screen;
// text above it (answers, the user's own prompt) is never looked at.
StatusReading readStatusLine(std::string_view screen, std::string_view knownMode);

enum class TranscriptSignal { none, interrupted, apiError };

// What one transcript line says about the turn, counting only lines written
// at or after `notBeforeMillis` (milliseconds since the epoch): an earlier
// turn's interruption must not end this one.
TranscriptSignal transcriptSignal(std::string_view line, int64_t notBeforeMillis);

// A session id as Claude Code makes them; anything else never reaches a path.
bool isSessionId(std::string_view session);

// <config>/projects/<cwd, every character but letters and digits made "-">/
// <session>.jsonl; empty when the cwd is not absolute or the session id is
// not one.
std::string transcriptPath(const std::string& configFolder, std::string_view cwd,
                           std::string_view session);

// Follows a transcript from where it ended when the turn began: each call
// returns the whole lines appended since the last. A file replaced under the
// same name is followed from its start (the timestamps keep old lines out);
// lines longer than the cap, and more than the cap per call, are skipped.
class TranscriptFollower {
 public:
  explicit TranscriptFollower(std::string path = {}, size_t cap = size_t{1} << 20);
  ~TranscriptFollower();
  TranscriptFollower(const TranscriptFollower&) = delete;
  TranscriptFollower& operator=(const TranscriptFollower&) = delete;

  std::vector<std::string> newLines();

 private:
  bool open(bool fromEnd);

  std::string path_;
  size_t cap_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t offset_ = 0;
  std::string partial_;
  bool skipping_ = false;  // inside a line longer than the cap
};

}  // namespace tesselo::host
