// Bind mounts inside `unshare -m --propagation private`: they vanish with the
// namespace and are never seen by the rest of the machine.
#include "tests/cli/mount_sandbox.h"

#include <unistd.h>

#include <filesystem>

#include "cli/self_path.h"

namespace tesselo::test {

namespace fs = std::filesystem;

const std::string& MountSandbox::unavailableReason() {
  static const std::string reason = [] {
    if (geteuid() != 0) return std::string("needs root for a private mount namespace");
    if (access("/usr/bin/unshare", X_OK) != 0) return std::string("unshare(1) is not installed");
    MountSandbox probe;
    fs::create_directory(probe.dir_.file("probe"));
    auto covered = probe.cover(probe.dir_.file("probe"));
    writeFile(*covered + "/seen", "");
    ProcessResult result = probe.run("/bin/test", {"-e", probe.dir_.file("probe/seen")});
    return result.status == 0 ? std::string() : "mount --bind fails here: " + result.err;
  }();
  return reason;
}

std::optional<std::string> MountSandbox::cover(const std::string& location, bool readOnly) {
  fs::path point = fs::path(location).lexically_normal(), rest;
  while (!fs::is_directory(point)) {
    rest = point.filename() / rest;
    point = point.parent_path();
  }
  // Covering a folder hides everything below it.
  for (std::string keep : {dir_.path(), buildDir(), std::string("/tmp"), std::string("/usr/bin"),
                           std::string("/usr/lib"), std::string("/etc"), std::string("/proc")})
    if ((fs::canonical(keep).string() + "/").starts_with(point.string() + "/") || point == "/")
      return std::nullopt;
  std::string source = dir_.file("cover" + std::to_string(mounts_.size()));
  fs::create_directories(fs::path(source) / rest);
  std::string bind = "mount --bind " + shellQuoted(source) + " " + shellQuoted(point.string());
  mounts_.push_back(
      bind + (readOnly ? " && mount -o remount,bind,ro " + shellQuoted(point.string()) : ""));
  return (fs::path(source) / rest).lexically_normal().string();
}

ProcessResult MountSandbox::run(const std::string& program, const std::vector<std::string>& args,
                                const ProcessOptions& options) const {
  std::string script = "set -e\n";
  for (const std::string& mount : mounts_) script += mount + "\n";
  script += "exec " + shellQuoted(program);
  for (const std::string& arg : args) script += " " + shellQuoted(arg);
  return runProcess("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/sh", "-c", script},
                    options);
}

}  // namespace tesselo::test
