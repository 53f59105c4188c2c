// Where the programs look for the control socket, and the home directories
// behind it: from the environment, the password database or the passwd file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "support/password_file.h"
#include "support/socket_path.h"
#include "tests/common/process_runner.h"
#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using std::nullopt;

TEST(SocketPath, FromTheOverrideXdgDataHomeOrHome) {
  std::string home = passwordHomeDirectory();
  ASSERT_FALSE(home.empty());
  struct Case {
    std::optional<std::string> socket, home, data;
    std::string path;
  } cases[] = {
      {"/tmp/x.sock", "/h", "/d", "/tmp/x.sock"},
      {"relative/~ x.sock", "/h", "/d", "relative/~ x.sock"},
      {"", "/h", "/d", "/d/tesselo/control.sock"},
      {nullopt, "/h", "relative", "/h/.local/share/tesselo/control.sock"},
      {nullopt, "/h", "", "/h/.local/share/tesselo/control.sock"},
      {nullopt, nullopt, nullopt, home + "/.local/share/tesselo/control.sock"},
      {nullopt, "", "/d", "/d/tesselo/control.sock"},
      {nullopt, "", nullopt, home + "/.local/share/tesselo/control.sock"},
  };
  for (const Case& c : cases) {
    test::ScopedEnv socket("TESSELO_SOCKET", c.socket), home("HOME", c.home),
        data("XDG_DATA_HOME", c.data);
    EXPECT_EQ(socketPath(), c.path);
  }
}

constexpr const char* sampleFile =
    "# local accounts\n"
    "root:x:0:0:root:/root:/bin/bash\n"
    "+nis::::::\n"
    "-blocked:x:1001:1001::/home/blocked:/bin/sh\n"
    "short:x:1002:1002:/home/short\n"
    "long:x:1003:1003:a:/home/long:/bin/sh:extra\n"
    "badid:x:12a:12::/home/badid:/bin/sh\n"
    "ann:x:1000:1000:Ann,,,:/home/ann:/bin/zsh\n"
    "twin:x:1000:1000::/home/twin:/bin/sh\n"
    "nohome:x:1004:1004:::/bin/sh\n"
    "\n"
    "last:x:4294967295:1005::/home/last:/bin/sh";

TEST(PasswordFile, TheFirstWellFormedEntryByUidOrExactName) {
  struct Case {
    uid_t uid;
    const char* user;
    std::optional<std::string> home;  // the same by uid and by name
  } cases[] = {
      {0, "root", "/root"},
      {1000, "ann", "/home/ann"},
      {1001, "blocked", nullopt},
      {1002, "short", nullopt},
      {1003, "long", nullopt},
      {1004, "nohome", ""},
      {4294967295u, "last", "/home/last"},
      {12, "badid", nullopt},
      {4242, "an", nullopt},
      {4243, "-blocked", nullopt},
      {4244, "", nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(homeInPasswordText(sampleFile, c.uid), c.home) << c.uid;
    EXPECT_EQ(homeInPasswordText(sampleFile, std::string_view(c.user)), c.home) << c.user;
  }
  EXPECT_EQ(homeInPasswordText(sampleFile, std::string_view("twin")), "/home/twin");
  test::TempDir dir;
  test::writeFile(dir.file("passwd"), sampleFile);
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), uid_t{1000}), "/home/ann");
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), std::string_view("last")), "/home/last");
  EXPECT_EQ(homeInPasswordFile(dir.file("missing"), uid_t{0}), nullopt);
  EXPECT_EQ(homeInPasswordFile(dir.file("missing"), std::string_view("root")), nullopt);
}

// The probe is linked like the shipped programs (statically on Linux release
// builds), where the password database must work without its shared modules.
TEST(PasswordHome, AgreesWithThePasswordDatabaseHereAndInAShippedLikeProgram) {
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  std::string name = self->pw_name, home = self->pw_dir;
  EXPECT_EQ(passwordHomeDirectory(), home);
  EXPECT_EQ(passwordHomeDirectory(name), home);
  EXPECT_EQ(passwordHomeDirectory("no-such-user-tesselo"), "");
  EXPECT_EQ(passwordHomeDirectory(""), "");
  test::ProcessResult result = test::runProcess(PASSWORD_PROBE, {name, "no-such-user-tesselo"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, home + "\n" + home + "\n\n");
}

}  // namespace
}  // namespace tesselo
