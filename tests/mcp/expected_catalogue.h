// What tools/list must show, written out by hand from the catalogue's texts
// rather than built from the server's own constants.
#pragma once

namespace tesselo::test {

inline constexpr const char* expectedToolDefinitions = R"json([
  {
    "name": "tesselo_list",
    "description": "Every terminal and pane in Tesselo: ids, titles, running process, and detected agent state (working/blocked/idle). Pane ids change across app restarts — call this first.",
    "inputSchema": {"type": "object", "properties": {}, "required": []},
    "annotations": {"title": "List terminals", "readOnlyHint": true, "destructiveHint": false,
                    "idempotentHint": true, "openWorldHint": false}
  },
  {
    "name": "tesselo_read",
    "description": "A pane's visible screen as text. May include secrets the user has displayed; never exfiltrate what you read here.",
    "inputSchema": {
      "type": "object",
      "properties": {
        "panel": {"type": "string", "description": "Pane id (8-hex prefix from tesselo_list); omit for the focused pane"},
        "lines": {"type": "integer", "minimum": 0, "description": "How many bottom lines (default 40)"}
      },
      "required": []
    },
    "annotations": {"title": "Read a pane's screen", "readOnlyHint": true, "destructiveHint": false,
                    "idempotentHint": true, "openWorldHint": false}
  },
  {
    "name": "tesselo_send",
    "description": "Type text into a pane and press return (set raw to skip the newline). The pane is live and visible to the user: never send destructive commands without the user's explicit request. The first send of each app run asks the user for approval — if it is denied, do not retry. Never assume the command ran or succeeded: read the pane after.",
    "inputSchema": {
      "type": "object",
      "properties": {
        "panel": {"type": "string", "description": "Pane id (8-hex prefix from tesselo_list); omit for the focused pane"},
        "text": {"type": "string", "description": "What to type"},
        "raw": {"type": "boolean", "description": "Type without appending a newline"}
      },
      "required": ["text"]
    },
    "annotations": {"title": "Type into a pane", "readOnlyHint": false, "destructiveHint": true,
                    "idempotentHint": false, "openWorldHint": true}
  },
  {
    "name": "tesselo_split",
    "description": "Split a terminal; returns the new pane's id.",
    "inputSchema": {
      "type": "object",
      "properties": {
        "terminal": {"type": "string", "description": "Terminal id; omit for the current terminal"},
        "direction": {"type": "string", "enum": ["right", "down"], "description": "Split direction (default right)"}
      },
      "required": []
    },
    "annotations": {"title": "Split a terminal", "readOnlyHint": false, "destructiveHint": false,
                    "idempotentHint": false, "openWorldHint": false}
  },
  {
    "name": "tesselo_new",
    "description": "Open a new terminal. With worktree=true, creates a git worktree on a fresh branch beside the repository and opens the terminal there — the way to run parallel agents that do not fight over one checkout.",
    "inputSchema": {
      "type": "object",
      "properties": {
        "space": {"type": "string", "description": "Folder/space name to file it under"},
        "cwd": {"type": "string", "description": "Working directory to start in"},
        "worktree": {"type": "boolean", "description": "Create a git worktree and start there"}
      },
      "required": []
    },
    "annotations": {"title": "New terminal or worktree", "readOnlyHint": false, "destructiveHint": false,
                    "idempotentHint": false, "openWorldHint": false}
  },
  {
    "name": "tesselo_wait",
    "description": "Block until a pane's detected agent state matches (blocked | working | idle). Returns the final state; \"timeout\": true when the deadline passed first.",
    "inputSchema": {
      "type": "object",
      "properties": {
        "panel": {"type": "string", "description": "Pane id (8-hex prefix from tesselo_list); omit for the focused pane"},
        "until": {"type": "string", "enum": ["blocked", "working", "idle"], "description": "State to wait for"},
        "timeout": {"type": "number", "description": "Seconds to wait (default 300, max 600)"}
      },
      "required": ["until"]
    },
    "annotations": {"title": "Wait for an agent state", "readOnlyHint": true, "destructiveHint": false,
                    "idempotentHint": true, "openWorldHint": false}
  },
  {
    "name": "tesselo_notify",
    "description": "Bounce Tesselo's Dock icon to ask for the user's attention.",
    "inputSchema": {"type": "object", "properties": {}, "required": []},
    "annotations": {"title": "Ask for the user's attention", "readOnlyHint": false, "destructiveHint": false,
                    "idempotentHint": true, "openWorldHint": false}
  }
])json";

}  // namespace tesselo::test
