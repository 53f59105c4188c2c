#include "mcp/catalogue.h"

#include <gtest/gtest.h>

#include "tests/mcp/expected_catalogue.h"

namespace tesselo {
namespace {

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    panelProperty = makePanelProperty();
    tools = makeTools();
  }
};

TEST_F(Catalogue, DefinitionsMatchTheTextsInOrder) {
  Json expected = *parseJson(test::expectedToolDefinitions);
  ASSERT_EQ(tools.size(), expected.size());
  for (size_t i = 0; i < tools.size(); ++i)
    EXPECT_EQ(tools[i].definition(), expected[i]) << tools[i].name;
}

// Json equality takes 0.0 for 0; the schema must say integer.
TEST_F(Catalogue, LinesMinimumIsAnInteger) {
  Json minimum = tools.at(1).definition()["inputSchema"]["properties"]["lines"]["minimum"];
  EXPECT_TRUE(minimum.is_number_integer());
  EXPECT_EQ(*compactJson(minimum), "0");
}

TEST_F(Catalogue, FindsToolsByExactName) {
  ASSERT_NE(findTool("tesselo_wait"), nullptr);
  EXPECT_EQ(findTool("tesselo_wait")->name, "tesselo_wait");
  for (const char* name : {"", "tesselo", "TESSELO_LIST", "tesselo_list ", " tesselo_list", "list"})
    EXPECT_EQ(findTool(name), nullptr) << name;
}

}  // namespace
}  // namespace tesselo
