// Runs a built program in a private mount namespace in which chosen fixed
// locations (/usr/local/bin, the home directory...) are covered by folders of
// the test's own, so a test can put files there without touching the real
// ones. Needs root and unshare(1); tests skip where that is not possible.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo::test {

class MountSandbox {
 public:
  // Empty when sandboxes work here, else why they do not.
  static const std::string& unavailableReason();

  // Covers location (which need not exist): the nearest existing directory on
  // its way is covered by a fresh folder. Returns the folder that stands for
  // location; nothing when the cover would hide the test's or the system's
  // own files.
  std::optional<std::string> cover(const std::string& location, bool readOnly = false);

  ProcessResult run(const std::string& program, const std::vector<std::string>& args,
                    const ProcessOptions& options = {}) const;

 private:
  TempDir dir_;
  std::vector<std::string> mounts_;  // shell lines that set the covers up
};

}  // namespace tesselo::test
