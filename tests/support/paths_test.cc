// The home directories behind the control socket's and the settings' paths:
// from the password database or the passwd file. Where the socket goes is the
// CLI runner's part.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "support/password_file.h"
#include "support/socket_path.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

using std::nullopt;

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

TEST(PasswordFile, TheFirstWellFormedEntryByUidOrExactNameAsTheDatabaseHasIt) {
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
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), std::string_view("last")), "/home/last");
  EXPECT_EQ(homeInPasswordFile(dir.file("missing"), uid_t{0}), nullopt);
  // Under TESSELO_STATIC the file is all the library reads: its answer must
  // be the database's.
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(passwordHomeDirectory(), self->pw_dir);
  EXPECT_EQ(passwordHomeDirectory(self->pw_name), self->pw_dir);
  EXPECT_EQ(passwordHomeDirectory("no-such-user-tesselo"), "");
  EXPECT_EQ(passwordHomeDirectory(""), "");
}

}  // namespace
}  // namespace tesselo
