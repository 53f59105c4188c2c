// Small checks on what a command leaves on disk, shared by the settings and
// install tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace tesselo::test {

// The permission bits of path itself, never of what a link points at.
inline mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

inline std::set<std::string> entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.insert(entry.path().filename().string());
  return names;
}

// HOME set (or unset) for one scope of an in-process test.
class ScopedHome {
 public:
  explicit ScopedHome(std::optional<std::string> value) {
    if (const char* old = getenv("HOME")) old_ = old;
    set(value);
  }
  ~ScopedHome() { set(old_); }

 private:
  static void set(const std::optional<std::string>& value) {
    if (value)
      setenv("HOME", value->c_str(), 1);
    else
      unsetenv("HOME");
  }
  std::optional<std::string> old_;
};

}  // namespace tesselo::test
