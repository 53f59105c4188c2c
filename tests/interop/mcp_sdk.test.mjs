// Drives tesselo-mcp with the official MCP TypeScript SDK client: initialize,
// ping, tools/list (the SDK validates every shape), every tool against a fake
// application and without one, an unknown tool, and 50 calls in flight at once.
// Usage: node mcp_sdk.test.mjs <path of tesselo-mcp> <expected server version>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const [mcpPath, expectedVersion] = process.argv.slice(2);
if (!mcpPath || !expectedVersion) {
  console.error('usage: node mcp_sdk.test.mjs <tesselo-mcp> <version>');
  process.exit(2);
}

// A hang anywhere (a call that never comes back) fails the run.
setTimeout(() => {
  console.error('FAIL: interop test did not finish within 45 s');
  process.exit(1);
}, 45_000).unref();

const notRunning = 'Tesselo is not running (no control socket)';
const toolNames = [
  'tesselo_list', 'tesselo_read', 'tesselo_send', 'tesselo_split',
  'tesselo_new', 'tesselo_wait', 'tesselo_notify',
];

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tesselo-interop-'));

// The application's side of the control socket: one request line, one
// response line per connection. `answer` may return a promise.
function startFakeApp(socketPath, answer) {
  const requests = [];
  const server = net.createServer((connection) => {
    let received = '';
    let answered = false;
    connection.setEncoding('utf8');
    connection.on('error', () => {});
    connection.on('data', (piece) => {
      received += piece;
      const end = received.indexOf('\n');
      if (end < 0 || answered) return;
      answered = true;
      const request = JSON.parse(received.slice(0, end));
      requests.push(request);
      Promise.resolve(answer(request)).then((response) => {
        connection.end(JSON.stringify(response) + '\n');
      });
    });
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(socketPath, () => resolve({ server, requests }));
  });
}

async function startSession(socketPath) {
  const transport = new StdioClientTransport({
    command: mcpPath,
    args: [],
    env: { TESSELO_SOCKET: socketPath, HOME: scratch },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr.on('data', (piece) => { stderr += piece; });
  const client = new Client({ name: 'tesselo-interop', version: '1.0.0' });
  await client.connect(transport);
  // The SDK keeps the child to itself; its exit status is part of the contract.
  const child = transport._process;
  assert.ok(child, 'the transport exposes no child process');
  const exited = new Promise((resolve) => {
    if (child.exitCode !== null) resolve({ code: child.exitCode, signal: child.signalCode });
    else child.once('exit', (code, signal) => resolve({ code, signal }));
  });
  return {
    client,
    async end() {
      await client.close();
      assert.deepEqual(await exited, { code: 0, signal: null }, 'exit status');
      assert.equal(stderr, '', 'nothing on standard error');
    },
  };
}

function text(result) {
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

async function withApplication() {
  const socketPath = path.join(scratch, 'control.sock');
  let releaseWaits;
  const waitsReleased = new Promise((resolve) => { releaseWaits = resolve; });
  let waitsSeen = 0;
  const responses = {
    list: { terminals: [{ id: 't1', panes: [] }] },
    read: { text: 'screen text\n$ ' },
    send: { error: 'send denied by the user' },
    split: { panel: 'abcd1234' },
    new: { terminal: 't2' },
    notify: {},
  };
  const app = await startFakeApp(socketPath, async (request) => {
    if (request.method !== 'wait') return responses[request.method];
    // Answered only once 50 waits are in the app together: a server that
    // ran calls one at a time would never get there.
    if (++waitsSeen === 50) releaseWaits();
    await waitsReleased;
    return { state: request.until, panel: request.panel };
  });

  const session = await startSession(socketPath);
  const { client } = session;
  assert.deepEqual(client.getServerVersion(), { name: 'tesselo', version: expectedVersion });
  assert.deepEqual(client.getServerCapabilities(), { tools: {} });
  assert.deepEqual(await client.ping(), {});

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((tool) => tool.name), toolNames);
  const send = tools[2];
  assert.deepEqual(send.inputSchema.required, ['text']);
  assert.equal(send.annotations.destructiveHint, true);
  assert.equal(send.annotations.openWorldHint, true);

  const calls = [
    ['tesselo_list', {}, { method: 'list' }, JSON.stringify(responses.list), false],
    ['tesselo_read', { panel: 'abcd1234', lines: 5 }, { method: 'read', panel: 'abcd1234', lines: 5 },
      'screen text\n$ ', false],
    ['tesselo_send', { text: 'make test' }, { method: 'send', text: 'make test\n' },
      'send denied by the user', true],
    ['tesselo_split', {}, { method: 'split', direction: 'right' }, '{"panel":"abcd1234"}', false],
    ['tesselo_new', { worktree: false }, { method: 'new', worktree: false }, '{"terminal":"t2"}', false],
    ['tesselo_notify', {}, { method: 'notify' }, '{}', false],
  ];
  for (const [name, args, payload, expectedText, isError] of calls) {
    const before = app.requests.length;
    const result = await client.callTool({ name, arguments: args });
    assert.equal(text(result), expectedText, name);
    assert.equal(result.isError, isError, name);
    assert.equal(app.requests.length, before + 1, name);
    assert.deepEqual(app.requests.at(-1), payload, name);
  }

  const missing = await client.callTool({ name: 'tesselo_wait', arguments: {} });
  assert.equal(text(missing), 'missing required argument');
  assert.equal(missing.isError, true);

  await assert.rejects(client.callTool({ name: 'tesselo_nope', arguments: {} }), (error) => {
    assert.equal(error.code, -32602);
    assert.match(error.message, /Unknown tool: tesselo_nope$/);
    return true;
  });

  const waits = Array.from({ length: 50 }, (_, i) =>
    client.callTool({ name: 'tesselo_wait', arguments: { until: 'idle', panel: `p${i}`, timeout: 30 } }));
  const results = await Promise.all(waits);
  results.forEach((result, i) => {
    assert.equal(result.isError, false);
    assert.equal(text(result), `{"panel":"p${i}","state":"idle"}`);
  });
  const waitRequests = app.requests.filter((request) => request.method === 'wait');
  assert.equal(waitRequests.length, 50);
  assert.ok(waitRequests.every((request) => request.timeout === 30));

  await session.end();
  app.server.close();
}

async function withoutApplication() {
  const session = await startSession(path.join(scratch, 'nobody-listens.sock'));
  assert.deepEqual(await session.client.ping(), {});
  const results = await Promise.all(toolNames.map((name) =>
    session.client.callTool({ name, arguments: { text: 'x', until: 'idle' } })));
  results.forEach((result, i) => {
    assert.equal(text(result), notRunning, toolNames[i]);
    assert.equal(result.isError, true, toolNames[i]);
  });
  await session.end();
}

// Ends at once either way: after a failure a server child or a socket may
// still hold the event loop open.
let status = 0;
try {
  await withApplication();
  await withoutApplication();
  console.log('ok: tesselo-mcp works with @modelcontextprotocol/sdk');
} catch (error) {
  console.error('FAIL:', error);
  status = 1;
}
fs.rmSync(scratch, { recursive: true, force: true });
process.exit(status);
