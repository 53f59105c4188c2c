#include "cli/pane_rules.h"

#include <gtest/gtest.h>

namespace tesselo {
namespace {

TEST(IntegerValue, SignAndDigitsWithinInt64Only) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;
  } cases[] = {
      {"12", 12},
      {"+7", 7},
      {"-3", -3},
      {"0", 0},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"abc", std::nullopt},
      {"1e3", std::nullopt},
      {"12.0", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(integerValue(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberValue, WhatStrtodReadsWholeAndFinite) {
  struct Case {
    const char* text;
    std::optional<double> value;
  } cases[] = {
      {"2.5", 2.5},
      {"1e2", 100},
      {"-4", -4},
      {"0x10", 16},
      {".5", 0.5},
      {"5s", std::nullopt},
      {"", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"1e999", std::nullopt},
      {"-infinity", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(numberValue(c.text), c.value) << '"' << c.text << '"';
}

TEST(IdPrefix, EightCharactersWithoutCuttingOne) {
  EXPECT_EQ(idPrefix("3f9a01bc77aa"), "3f9a01bc");
  EXPECT_EQ(idPrefix("abc"), "abc");
  EXPECT_EQ(idPrefix(""), "");
  EXPECT_EQ(idPrefix("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"),
            "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
}

TEST(ListText, LaysOutTerminalsAndPanes) {
  Json response = Json::parse(R"({"terminals":[
    {"id":"3f9a01bc99","title":"build","state":"idle","panels":[
      {"id":"77c2d410ff","process":"zsh"},
      {"id":"a1b2c3d4ee","process":"node","agent":"claude","state":"working"}]},
    {"id":"ab","panels":[{"id":"cd","agent":"codex"},{"id":"ef","process":"vim","state":"idle"}]},
    {"id":"12345678","title":"t","panels":"nope"}]})");
  EXPECT_EQ(listText(response),
            "3f9a01bc  build  [idle]\n"
            "  77c2d410  zsh\n"
            "  a1b2c3d4  node  claude [working]\n"
            "ab  \n"
            "  cd    codex\n"
            "  ef  vim [idle]\n"
            "12345678  t\n");
}

TEST(ListText, NothingWithoutAnArrayOfObjects) {
  for (const char* text :
       {R"({})", R"({"terminals":[]})", R"({"terminals":{}})", R"({"terminals":[{"id":"a"},1]})"})
    EXPECT_EQ(listText(Json::parse(text)), "") << text;
  // One non-object pane hides all of that terminal's panes, not the terminal.
  EXPECT_EQ(
      listText(Json::parse(R"({"terminals":[{"id":"a","title":"x","panels":[{"id":"b"},2]}]})")),
      "a  x\n");
}

}  // namespace
}  // namespace tesselo
