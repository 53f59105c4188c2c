// Bind mounts inside `unshare -m --propagation private`: they vanish with the
// namespace and are never seen by the rest of the machine.
#include "tests/cli/mount_sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cli/self_path.h"

namespace tesselo::test {

namespace {

namespace fs = std::filesystem;

std::string unshareProgram() {
  for (const char* path : {"/usr/bin/unshare", "/bin/unshare"})
    if (access(path, X_OK) == 0) return path;
  return {};
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when covering `outer` would hide `inner`.
bool hides(const std::string& outer, const std::string& inner) {
  return inner == outer || inner.starts_with(outer + "/") || outer == "/";
}

std::string script(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += shellQuoted(word) + " ";
  return line;
}

}  // namespace

const std::string& MountSandbox::unavailableReason() {
  static const std::string reason = [] {
    if (geteuid() != 0) return std::string("needs root for a private mount namespace");
    if (unshareProgram().empty()) return std::string("unshare(1) is not installed");
    MountSandbox probe;
    std::string point = probe.dir_.file("probe");
    fs::create_directory(point);
    auto covered = probe.cover(point);
    if (!covered) return std::string("cannot cover a test folder");
    writeFile(*covered + "/seen", "");
    ProcessResult result = probe.run("/bin/sh", {"-c", "test -e " + point + "/seen"});
    if (result.status != 0)
      return "unshare -m / mount --bind failed here: " + result.err + result.out;
    return std::string();
  }();
  return reason;
}

std::optional<std::string> MountSandbox::cover(const std::string& location, bool readOnly) {
  fs::path point = fs::path(location).lexically_normal();
  fs::path rest;
  while (!isDirectory(point.string())) {
    if (!point.has_relative_path()) return std::nullopt;
    rest = point.filename() / rest;
    point = point.parent_path();
  }
  const std::string pointText = point.string();
  std::vector<std::string> mustStayVisible = {dir_.path(), buildDir(), "/bin",      "/usr/bin",
                                              "/lib",      "/usr/lib", "/etc",      "/proc",
                                              "/dev",      "/tmp",     "/usr/sbin", "/sbin"};
  for (const std::string& keep : mustStayVisible)
    if (hides(pointText, fs::weakly_canonical(keep).string()) || hides(pointText, keep))
      return std::nullopt;
  std::string source;
  for (const Mount& mount : mounts_) {
    if (mount.point == pointText)
      source = mount.source;
    else if (hides(mount.point, pointText) || hides(pointText, mount.point))
      return std::nullopt;
  }
  if (source.empty()) {
    source = dir_.file("cover" + std::to_string(mounts_.size()));
    fs::create_directory(source);
    mounts_.push_back({source, pointText, readOnly});
  }
  fs::path inside = fs::path(source) / rest;
  fs::create_directories(inside);
  return inside.lexically_normal().string();
}

ProcessResult MountSandbox::run(const std::string& program, const std::vector<std::string>& args,
                                const ProcessOptions& options) const {
  std::string commands = "set -e\n";
  for (const Mount& mount : mounts_) {
    commands += script({"mount", "--bind", mount.source, mount.point}) + "\n";
    if (mount.readOnly) commands += script({"mount", "-o", "remount,bind,ro", mount.point}) + "\n";
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  commands += "exec " + script(words) + "\n";
  return runProcess(unshareProgram(), {"-m", "--propagation", "private", "/bin/sh", "-c", commands},
                    options);
}

}  // namespace tesselo::test
