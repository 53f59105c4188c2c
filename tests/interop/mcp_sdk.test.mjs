// Drives tesselo-mcp with the official MCP TypeScript SDK client, which checks
// every message's shape: our framing, initialize, tools/list, a tool call, 50
// calls at once answered out of order, and the end of a session. Every other
// byte is pinned by the MCP table, running calls side by side by the stress
// test, standard error by both.
// Usage: node mcp_sdk.test.mjs <path of tesselo-mcp> <expected server version>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const [mcpPath, expectedVersion] = process.argv.slice(2);
// A call that never comes back fails the run.
setTimeout(() => { console.error('FAIL: not finished within 45 s'); process.exit(1); }, 45_000).unref();
// A failure ends the run at once, though a child or a socket may still hold
// the event loop open.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tesselo-interop-'));
process.on('exit', () => fs.rmSync(scratch, { recursive: true, force: true }));

// The application's side of the control socket: one request line, one
// response line per connection; a wait comes back after a pause that makes
// the 50 calls' answers leave in another order than they came in.
const answer = (request) => request.method !== 'wait' ? { text: 'screen text\n$ ' }
  : new Promise((resolve) => setTimeout(resolve, 50 - Number(request.panel.slice(1)),
    { state: request.until, panel: request.panel }));
const server = net.createServer((connection) => {
  let received = '';
  connection.on('error', () => {});
  connection.on('data', async (piece) => {
    const end = (received += piece).indexOf('\n');
    if (end < 0 || received === null) return;
    const request = JSON.parse(received.slice(0, end));
    received = null;
    connection.end(JSON.stringify(await answer(request)) + '\n');
  });
});
await new Promise((resolve) => server.listen(path.join(scratch, 'control.sock'), resolve));
const transport = new StdioClientTransport({
  command: mcpPath, args: [], env: { TESSELO_SOCKET: path.join(scratch, 'control.sock'), HOME: scratch },
});
const client = new Client({ name: 'tesselo-interop', version: '1.0.0' });
await client.connect(transport);
const exited = new Promise((resolve) => transport._process.once('exit', (code, signal) => resolve({ code, signal })));
assert.deepEqual(client.getServerVersion(), { name: 'tesselo', version: expectedVersion });
assert.deepEqual(client.getServerCapabilities(), { tools: {} });
const { tools } = await client.listTools();
assert.deepEqual(tools.map((tool) => tool.name), ['tesselo_list', 'tesselo_read', 'tesselo_send',
  'tesselo_split', 'tesselo_new', 'tesselo_wait', 'tesselo_notify']);

const read = await client.callTool({ name: 'tesselo_read', arguments: { panel: 'abcd1234', lines: 5 } });
assert.deepEqual(read, { content: [{ type: 'text', text: 'screen text\n$ ' }], isError: false });

const results = await Promise.all(Array.from({ length: 50 }, (_, i) =>
  client.callTool({ name: 'tesselo_wait', arguments: { until: 'idle', panel: `p${i}`, timeout: 30 } })));
assert.deepEqual(results.map((result) => result.content),
  results.map((_, i) => [{ type: 'text', text: `{"panel":"p${i}","state":"idle"}` }]));
await client.close();
// The SDK ends a session by closing our input, then by signals if we linger.
assert.deepEqual(await exited, { code: 0, signal: null }, 'exit status');
server.close();
console.log('ok: tesselo-mcp works with @modelcontextprotocol/sdk');
