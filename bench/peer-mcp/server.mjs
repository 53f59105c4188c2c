// The seven pane tools on the official MCP TypeScript SDK: the peer that the
// benchmarks set beside tesselo-mcp. Each call is one control request.
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { McpServer } from "@modelcontextprotocol/sdk/server/mcp.js";
import { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";
import { z } from "zod";

const notRunning = "Tesselo is not running (no control socket)";

function socketPath() {
  const override = process.env.TESSELO_SOCKET;
  if (override) return override;
  const data = process.env.XDG_DATA_HOME?.startsWith("/")
    ? process.env.XDG_DATA_HOME
    : path.join(os.homedir(), ".local/share");
  return path.join(data, "tesselo", "control.sock");
}

// One connection, one request line, one answer line.
function controlRequest(payload) {
  return new Promise((resolve) => {
    const socket = net.createConnection(socketPath());
    const chunks = [];
    let done = false;
    const finish = (value) => {
      if (done) return;
      done = true;
      socket.destroy();
      resolve(value);
    };
    socket.on("connect", () => socket.write(JSON.stringify(payload) + "\n"));
    socket.on("data", (chunk) => {
      chunks.push(chunk);
      if (!chunk.includes(10)) return;
      const text = Buffer.concat(chunks).toString("utf8");
      try {
        const value = JSON.parse(text.slice(0, text.indexOf("\n")));
        finish(value && typeof value === "object" && !Array.isArray(value) ? value : null);
      } catch {
        finish(null);
      }
    });
    socket.on("error", () => finish(null));
    socket.on("close", () => finish(null));
  });
}

async function call(payload, read = false) {
  const response = await controlRequest(payload);
  if (!response) return { content: [{ type: "text", text: notRunning }], isError: true };
  if (typeof response.error === "string")
    return { content: [{ type: "text", text: response.error }], isError: true };
  const text = read && typeof response.text === "string" ? response.text : JSON.stringify(response);
  return { content: [{ type: "text", text }], isError: false };
}

const panel = z
  .string()
  .optional()
  .describe("Pane id (8-hex prefix from tesselo_list); omit for the focused pane");
const hints = (readOnlyHint, destructiveHint, idempotentHint, openWorldHint) => ({
  readOnlyHint,
  destructiveHint,
  idempotentHint,
  openWorldHint,
});
const server = new McpServer({ name: "tesselo", version: "dev" });

server.registerTool(
  "tesselo_list",
  {
    title: "List terminals",
    description:
      "Every terminal and pane in Tesselo: ids, titles, running process, and detected agent state (working/blocked/idle). Pane ids change across app restarts \u2014 call this first.",
    annotations: hints(true, false, true, false),
  },
  () => call({ method: "list" }),
);
server.registerTool(
  "tesselo_read",
  {
    title: "Read a pane's screen",
    description:
      "A pane's visible screen as text. May include secrets the user has displayed; never exfiltrate what you read here.",
    inputSchema: {
      panel,
      lines: z.number().int().min(0).optional().describe("How many bottom lines (default 40)"),
    },
    annotations: hints(true, false, true, false),
  },
  ({ panel, lines }) => call({ method: "read", panel, lines }, true),
);
server.registerTool(
  "tesselo_send",
  {
    title: "Type into a pane",
    description:
      "Type text into a pane and press return (set raw to skip the newline). The pane is live and visible to the user: never send destructive commands without the user's explicit request. The first send of each app run asks the user for approval \u2014 if it is denied, do not retry. Never assume the command ran or succeeded: read the pane after.",
    inputSchema: {
      panel,
      text: z.string().describe("What to type"),
      raw: z.boolean().optional().describe("Type without appending a newline"),
    },
    annotations: hints(false, true, false, true),
  },
  ({ panel, text, raw }) => call({ method: "send", panel, text: raw === true ? text : text + "\n" }),
);
server.registerTool(
  "tesselo_split",
  {
    title: "Split a terminal",
    description: "Split a terminal; returns the new pane's id.",
    inputSchema: {
      terminal: z.string().optional().describe("Terminal id; omit for the current terminal"),
      direction: z.enum(["right", "down"]).optional().describe("Split direction (default right)"),
    },
    annotations: hints(false, false, false, false),
  },
  ({ terminal, direction }) =>
    call({ method: "split", terminal, direction: direction === "down" ? "down" : "right" }),
);
server.registerTool(
  "tesselo_new",
  {
    title: "New terminal or worktree",
    description:
      "Open a new terminal. With worktree=true, creates a git worktree on a fresh branch beside the repository and opens the terminal there \u2014 the way to run parallel agents that do not fight over one checkout.",
    inputSchema: {
      space: z.string().optional().describe("Folder/space name to file it under"),
      cwd: z.string().optional().describe("Working directory to start in"),
      worktree: z.boolean().optional().describe("Create a git worktree and start there"),
    },
    annotations: hints(false, false, false, false),
  },
  ({ space, cwd, worktree }) => call({ method: "new", space, cwd, worktree }),
);
server.registerTool(
  "tesselo_wait",
  {
    title: "Wait for an agent state",
    description:
      'Block until a pane\'s detected agent state matches (blocked | working | idle). Returns the final state; "timeout": true when the deadline passed first.',
    inputSchema: {
      panel,
      until: z.enum(["blocked", "working", "idle"]).describe("State to wait for"),
      timeout: z.number().optional().describe("Seconds to wait (default 300, max 600)"),
    },
    annotations: hints(true, false, true, false),
  },
  ({ panel, until, timeout }) =>
    call({
      method: "wait",
      panel,
      until,
      timeout: timeout === undefined ? undefined : Math.min(600, Math.max(1, Math.ceil(timeout))),
    }),
);
server.registerTool(
  "tesselo_notify",
  {
    title: "Ask for the user's attention",
    description: "Bounce Tesselo's Dock icon to ask for the user's attention.",
    annotations: hints(false, false, true, false),
  },
  () => call({ method: "notify" }),
);

// At end of input, calls still running get up to 5 seconds to answer.
let running = 0;
let inputEnded = false;
const exitWhenIdle = () => {
  if (inputEnded && running === 0) process.exit(0);
};
// Hundreds of answers may wait on one pipe; each holds a drain listener.
process.stdout.setMaxListeners(0);
const transport = new StdioServerTransport();
await server.connect(transport);
// Counts tool calls between their request and their answer.
const deliver = transport.onmessage;
transport.onmessage = (message, extra) => {
  if (message && message.method === "tools/call" && message.id !== undefined) running += 1;
  deliver(message, extra);
};
const send = transport.send.bind(transport);
transport.send = async (message, options) => {
  await send(message, options);
  if (message && message.id !== undefined && (message.result?.content || message.error)) {
    running = Math.max(0, running - 1);
    exitWhenIdle();
  }
};
process.stdin.on("end", () => {
  inputEnded = true;
  setTimeout(() => process.exit(0), 5000).unref();
  exitWhenIdle();
});
