#include "support/password_file.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/socket_path.h"
#include "tests/common/process_runner.h"
#include "tests/common/temp_dir.h"

namespace tesselo {
namespace {

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
    "last:x:1005:1005::/home/last:/bin/sh";

TEST(PasswordFile, FindsTheFirstWellFormedEntryByUid) {
  struct Case {
    uid_t uid;
    std::optional<std::string> home;
  } cases[] = {
      {0, "/root"},         {1000, "/home/ann"},  {1001, std::nullopt},
      {1002, std::nullopt}, {1003, std::nullopt}, {1004, ""},
      {1005, "/home/last"}, {12, std::nullopt},   {4242, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(homeInPasswordText(sampleFile, c.uid), c.home) << c.uid;
}

TEST(PasswordFile, FindsEntriesByExactName) {
  struct Case {
    const char* user;
    std::optional<std::string> home;
  } cases[] = {
      {"root", "/root"},          {"ann", "/home/ann"},    {"twin", "/home/twin"},
      {"an", std::nullopt},       {"anna", std::nullopt},  {"blocked", std::nullopt},
      {"-blocked", std::nullopt}, {"short", std::nullopt}, {"badid", std::nullopt},
      {"", std::nullopt},         {"last", "/home/last"},
  };
  for (const auto& c : cases) EXPECT_EQ(homeInPasswordText(sampleFile, c.user), c.home) << c.user;
}

TEST(PasswordFile, ReadsAFileAndReportsAMissingOne) {
  test::TempDir dir;
  test::writeFile(dir.file("passwd"), sampleFile);
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), uid_t{1000}), "/home/ann");
  EXPECT_EQ(homeInPasswordFile(dir.file("passwd"), std::string_view("last")), "/home/last");
  EXPECT_EQ(homeInPasswordFile(dir.file("missing"), uid_t{0}), std::nullopt);
}

std::string databaseHome(uid_t uid) {
  passwd* entry = getpwuid(uid);
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(PasswordHome, AgreesWithThePasswordDatabase) {
  std::string expected = databaseHome(getuid());
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(passwordHomeDirectory(), expected);
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(passwordHomeDirectory(self->pw_name), expected);
  EXPECT_EQ(passwordHomeDirectory("no-such-user-tesselo"), "");
  EXPECT_EQ(passwordHomeDirectory(""), "");
}

// The probe is linked like the shipped programs (statically on Linux release
// builds), where the password database works without its shared modules.
TEST(PasswordHome, AProgramLinkedLikeTheShippedOnesFindsTheSameHomes) {
  passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  std::string name = self->pw_name;
  auto result = test::runProcess(PASSWORD_PROBE, {name, "no-such-user-tesselo"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, databaseHome(getuid()) + "\n" + self->pw_dir + "\n\n");
}

}  // namespace
}  // namespace tesselo
