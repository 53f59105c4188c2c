// The settings merge of install-hooks over documents in memory.
#include "cli/hook_installer.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace tesselo {
namespace {

const std::string ownCommand = "'/opt/my tools/tesselo-cli' claude-hook";

// Fragments written out here rather than taken from the code, so a typo in
// a fixed value shows.
std::string expand(std::string text) {
  const std::vector<std::pair<std::string, std::string>> tokens = {
      {"@ownNotification",
       R"({"hooks":[@own],"matcher":"permission_prompt|elicitation_dialog|elicitation_url_dialog|agent_needs_input|agent_completed"})"},
      {"@ownGroup", R"({"hooks":[@own]})"},
      {"@own",
       R"({"type":"command","command":"'/opt/my tools/tesselo-cli' claude-hook","timeout":5})"},
      {"@old",
       R"({"type":"command","command":"'/old place/tesselo-cli' claude-hook","timeout":5})"},
      {"@foreign", R"({"type":"command","command":"afplay /System/Sounds/Glass.aiff"})"},
  };
  for (const auto& [token, value] : tokens) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
      text.replace(at, token.size(), value);
  }
  return text;
}

Json doc(const std::string& text) {
  std::optional<Json> parsed = parseJson(expand(text));
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(Json());
}

// The document with our group appended at the end of each event's array.
Json withOwnGroups(Json settings) {
  for (const char* event : {"SessionStart", "UserPromptSubmit", "Stop", "SessionEnd"})
    settings["hooks"][event].push_back(doc("@ownGroup"));
  settings["hooks"]["Notification"].push_back(doc("@ownNotification"));
  return settings;
}

Json merged(const Json& settings, HookMode mode, const std::string& command = ownCommand) {
  HookMerge result = mergeHooks(settings, command, mode);
  if (const HookFailure* failure = std::get_if<HookFailure>(&result)) {
    ADD_FAILURE() << "refused: " << failureMessage(*failure, "P");
    return Json();
  }
  return std::get<Json>(result);
}

const char* const settingsWithEverything = R"json({"permissions":{"allow":["Bash(ls:*)"],"deny":[]},
    "env":{"API_KEY":"sk-/x"},"model":"opus","ratio":1.5,"big":12345678901234,"neg":-3,
    "nil":null,"flag":false,"unicode":"é\u0000☃"})json";

struct MergeCase {
  const char* name;
  const char* input;
  const char* expected;  // for install: before our groups are appended
};

const MergeCase installCases[] = {
    {"empty settings", "{}", "{}"},
    {"other path with tesselo-cli is replaced",
     R"({"hooks":{"Stop":[{"hooks":[@old]}],"Notification":[{"hooks":[@old],"matcher":"x"}]}})",
     "{}"},
    {"own group before a foreign one moves to the end",
     R"({"hooks":{"Stop":[{"hooks":[@own]},{"hooks":[@foreign]}]}})",
     R"({"hooks":{"Stop":[{"hooks":[@foreign]}]}})"},
    {"mixed group keeps foreign items in order and its matcher",
     R"({"hooks":{"Notification":[{"matcher":"idle_prompt","hooks":[@foreign,@old,{"command":"echo 2"}]}]}})",
     R"({"hooks":{"Notification":[{"matcher":"idle_prompt","hooks":[@foreign,{"command":"echo 2"}]}]}})"},
    {"empty hooks array and group without hooks stay",
     R"({"hooks":{"Stop":[{"hooks":[]},{"matcher":"x","extra":[1,2]}]}})",
     R"({"hooks":{"Stop":[{"hooks":[]},{"matcher":"x","extra":[1,2]}]}})"},
    {"own items under other events stay",
     R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}]}})",
     R"({"hooks":{"PreToolUse":[{"hooks":[@own]}],"stop":[{"hooks":[@own]}]}})"},
    {"other settings carried through", settingsWithEverything, settingsWithEverything},
    {"group whose items are not all objects stays",
     R"({"hooks":{"Stop":[{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}}]}})",
     R"({"hooks":{"Stop":[{"hooks":[1,@own]},{"hooks":"x"},{"hooks":{"a":@own}}]}})"},
    {"marker needs both words, case-sensitive, in any order",
     R"({"hooks":{"Stop":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},
         {"command":5},{"type":"command"},{"command":"Tesselo-CLI claude-hook"},
         {"command":"claude-hook; /x/tesselo-cli-2"}]}]}})",
     R"({"hooks":{"Stop":[{"hooks":[{"command":"tesselo-cli x"},{"command":"x claude-hook"},
         {"command":5},{"type":"command"},{"command":"Tesselo-CLI claude-hook"}]}]}})"},
    {"empty hooks object and empty event arrays", R"({"hooks":{"Stop":[],"SessionEnd":[]}})", "{}"},
};

TEST(MergeHooks, InstallStripsOursAndAppendsOneGroupPerEvent) {
  for (const MergeCase& c : installCases) {
    SCOPED_TRACE(c.name);
    Json once = merged(doc(c.input), HookMode::install);
    EXPECT_EQ(once, withOwnGroups(doc(c.expected)));
    // Installing again changes nothing.
    EXPECT_EQ(merged(once, HookMode::install), once);
    // Uninstalling afterwards gives what uninstalling alone gives: every
    // foreign value survives the round trip.
    EXPECT_EQ(merged(once, HookMode::uninstall), merged(doc(c.input), HookMode::uninstall));
  }
}

const MergeCase uninstallCases[] = {
    {"everything ours goes, hooks key included",
     R"({"model":"opus","hooks":{"Stop":[{"hooks":[@own]}],"SessionStart":[{"hooks":[@old]}],
         "Notification":[@ownNotification]}})",
     R"({"model":"opus"})"},
    {"mixed group keeps its foreign items",
     R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@own,@foreign]},@ownNotification]}})",
     R"({"hooks":{"Notification":[{"matcher":"m","hooks":[@foreign]}]}})"},
    {"last group of one event removes only that event",
     R"({"hooks":{"Stop":[{"hooks":[@own]}],"SessionStart":[{"hooks":[@foreign]}]}})",
     R"({"hooks":{"SessionStart":[{"hooks":[@foreign]}]}})"},
    {"empty hooks object goes", R"({"hooks":{}})", "{}"},
    {"empty array goes for our events only", R"({"hooks":{"Stop":[],"PreToolUse":[]}})",
     R"({"hooks":{"PreToolUse":[]}})"},
    {"own items under other events stay", R"({"hooks":{"PostToolUse":[{"hooks":[@own]}]}})",
     R"({"hooks":{"PostToolUse":[{"hooks":[@own]}]}})"},
    {"nothing of ours", R"({"a":{"b":[1,{"c":null}]}})", R"({"a":{"b":[1,{"c":null}]}})"},
};

TEST(MergeHooks, UninstallStripsOursAndDropsWhatIsLeftEmpty) {
  for (const MergeCase& c : uninstallCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(merged(doc(c.input), HookMode::uninstall), doc(c.expected));
  }
}

struct ShapeCase {
  const char* input;
  HookFailure::Kind kind;
  const char* event;
};

TEST(MergeHooks, RefusesUnexpectedShapesNamingTheFirstEventInOrder) {
  const ShapeCase cases[] = {
      {R"({"hooks":null})", HookFailure::Kind::hooksShape, ""},
      {R"({"hooks":[]})", HookFailure::Kind::hooksShape, ""},
      {R"({"hooks":"x"})", HookFailure::Kind::hooksShape, ""},
      {R"({"hooks":1})", HookFailure::Kind::hooksShape, ""},
      {R"({"hooks":{"Stop":{}}})", HookFailure::Kind::eventShape, "Stop"},
      {R"({"hooks":{"Stop":null}})", HookFailure::Kind::eventShape, "Stop"},
      {R"({"hooks":{"Stop":[{},1]}})", HookFailure::Kind::eventShape, "Stop"},
      {R"({"hooks":{"Stop":"x","SessionEnd":5}})", HookFailure::Kind::eventShape, "Stop"},
      {R"({"hooks":{"SessionEnd":5,"Notification":[[]]}})", HookFailure::Kind::eventShape,
       "Notification"},
      {R"({"hooks":{"Stop":[{}],"UserPromptSubmit":[null],"SessionStart":[@ownGroup]}})",
       HookFailure::Kind::eventShape, "UserPromptSubmit"},
      {"[]", HookFailure::Kind::notValidJson, ""},
  };
  for (const ShapeCase& c : cases) {
    for (HookMode mode : {HookMode::install, HookMode::uninstall}) {
      SCOPED_TRACE(c.input);
      HookMerge result = mergeHooks(doc(c.input), ownCommand, mode);
      const HookFailure* failure = std::get_if<HookFailure>(&result);
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->kind, c.kind);
      EXPECT_EQ(failure->event, c.event);
    }
  }
  // Events we do not interpret are carried through whatever their shape.
  EXPECT_EQ(merged(doc(R"({"hooks":{"PreToolUse":"x"}})"), HookMode::uninstall),
            doc(R"({"hooks":{"PreToolUse":"x"}})"));
}

}  // namespace
}  // namespace tesselo
