// The seven tools offered to agents: their texts, input schemas and hints,
// and the MCP definition each is listed with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/json.h"

namespace tesselo {

inline constexpr std::string_view listToolName = "tesselo_list";
inline constexpr std::string_view readToolName = "tesselo_read";
inline constexpr std::string_view sendToolName = "tesselo_send";
inline constexpr std::string_view splitToolName = "tesselo_split";
inline constexpr std::string_view newToolName = "tesselo_new";
inline constexpr std::string_view waitToolName = "tesselo_wait";
inline constexpr std::string_view notifyToolName = "tesselo_notify";

struct Tool {
  std::string name;
  std::string title;
  std::string description;
  Json properties;  // the input schema's properties, one per argument
  std::vector<std::string> required;
  bool readOnly = false;
  bool destructive = false;
  bool idempotent = false;
  bool openWorld = false;

  // The tool as tools/list shows it: name, description, input schema and
  // annotations (the title lives only among the annotations).
  Json definition() const;
};

// The schema of a plain string argument.
Json property(std::string_view description);

// Process-wide, built once at start-up (panelProperty first: the tools share
// it) and never changed afterwards.
extern Json panelProperty;
extern std::vector<Tool> tools;

Json makePanelProperty();
std::vector<Tool> makeTools();

// The first tool of `tools` with exactly this name, or null.
const Tool* findTool(std::string_view name);

}  // namespace tesselo
