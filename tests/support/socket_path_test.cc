#include "support/socket_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "tests/common/scoped_env.h"

namespace tesselo {
namespace {

using test::ScopedEnv;

TEST(SocketPath, OverrideIsReturnedUnchanged) {
  for (std::string value : {"/tmp/x.sock", "relative/x.sock", "~/x.sock", " spaced "}) {
    ScopedEnv socket("TESSELO_SOCKET", value);
    EXPECT_EQ(socketPath(), value);
  }
}

TEST(SocketPath, EmptyOverrideMeansDefault) {
  ScopedEnv home("HOME", "/home/someone");
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv empty("TESSELO_SOCKET", "");
  EXPECT_EQ(socketPath(), "/home/someone/.local/share/tesselo/control.sock");
}

TEST(SocketPath, DefaultFollowsXdgDataHomeOnlyWhenAbsolute) {
  ScopedEnv socket("TESSELO_SOCKET", std::nullopt);
  ScopedEnv home("HOME", "/h");
  {
    ScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(socketPath(), "/data/tesselo/control.sock");
  }
  {
    ScopedEnv data("XDG_DATA_HOME", "relative");
    EXPECT_EQ(socketPath(), "/h/.local/share/tesselo/control.sock");
  }
}

TEST(SocketPath, WithoutHomeUsesThePasswordDatabase) {
  ScopedEnv socket("TESSELO_SOCKET", std::nullopt);
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv home("HOME", std::nullopt);
  std::string expected = passwordHomeDirectory() + "/.local/share/tesselo/control.sock";
  ASSERT_FALSE(passwordHomeDirectory().empty());
  EXPECT_EQ(socketPath(), expected);
}

}  // namespace
}  // namespace tesselo
