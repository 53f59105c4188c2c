// A stand-in for the model API that Claude Code talks to, owned by the test:
// every answer of the conversation comes from a plan the test sets, so a turn
// can be made to last, stream, call a tool or fail exactly when the test wants.
// Standard library only. Run alone it prints its port and takes plans on
// POST /control/plan (a JSON array of steps) and shows its log on GET /control/log.
//
// A step answers one conversation request (one that declares tools):
//   { text, silentMs, holdMs, streamMs }
//                                  an answer; silentMs before anything is
//                                  sent (not even headers), holdMs after
//                                  message_start before the first token, the
//                                  text spread over streamMs
//   { tool: { name, input }, holdMs }
//                                  a tool_use block (Bash, Write, ...)
//   { status, message, sticky }    an HTTP error; a sticky step answers every
//                                  request (Claude Code retries) until the next plan
// Requests without a plan step get a short answer at once, as do side
// requests (titles and the like), which declare no tools.
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

export const defaultAnswerText = 'Done.';
export const sideAnswerText = 'Harness session';
const model = 'claude-harness-model';
// The real API sends pings while a stream waits; clients may time out a silent one.
const pingIntervalMs = 5000;
// How many pieces a slow answer is streamed in, at most.
const maxStreamPieces = 60;

let counter = 0;
const nextId = (prefix) => `${prefix}_harness${String(++counter).padStart(6, '0')}`;

function sse(res, event, data) {
  if (res.writableEnded || res.destroyed) return false;
  res.write(`event: ${event}\ndata: ${JSON.stringify(data)}\n\n`);
  return true;
}

function usage(outputTokens) {
  return {
    input_tokens: 12,
    output_tokens: outputTokens,
    cache_creation_input_tokens: 0,
    cache_read_input_tokens: 0,
  };
}

// Splits text into at most `count` pieces, keeping every character.
function pieces(text, count) {
  const chars = Array.from(text);
  const n = Math.max(1, Math.min(count, chars.length));
  const out = [];
  for (let i = 0; i < n; i++)
    out.push(chars.slice(Math.floor((i * chars.length) / n), Math.floor(((i + 1) * chars.length) / n)).join(''));
  return out;
}

// A cancellable pause: resolves false when the client went away first.
function pause(ms, gone) {
  return new Promise((resolve) => {
    if (gone.closed) return resolve(false);
    const timer = setTimeout(() => {
      gone.off('close', onClose);
      resolve(true);
    }, ms);
    const onClose = () => {
      clearTimeout(timer);
      resolve(false);
    };
    gone.once('close', onClose);
  });
}

function lastUserContent(body) {
  const messages = Array.isArray(body.messages) ? body.messages : [];
  for (let i = messages.length - 1; i >= 0; i--) if (messages[i].role === 'user') return messages[i].content;
  return null;
}

function describeLastUser(body) {
  const content = lastUserContent(body);
  if (typeof content === 'string') return content.slice(0, 120);
  if (!Array.isArray(content)) return '';
  return content
    .map((block) => (block.type === 'text' ? block.text.slice(0, 120) : block.type))
    .join(' | ');
}

export async function startModelApi({ port = 0, host = '127.0.0.1', dumpDir = null } = {}) {
  const events = new EventEmitter();
  const log = [];
  let plan = [];

  const record = (entry) => {
    const full = { t: Date.now(), ...entry };
    log.push(full);
    events.emit('record', full);
    events.emit(full.kind, full);
    return full;
  };

  async function streamMessage(res, step, exchange) {
    if (step.silentMs && !(await pause(step.silentMs, exchange))) return;
    res.writeHead(200, {
      'content-type': 'text/event-stream',
      'cache-control': 'no-cache',
      'request-id': nextId('req'),
    });
    const messageId = nextId('msg');
    sse(res, 'message_start', {
      type: 'message_start',
      message: {
        id: messageId, type: 'message', role: 'assistant', model, content: [],
        stop_reason: null, stop_sequence: null, usage: usage(1),
      },
    });
    let held = 0;
    while (held < (step.holdMs || 0)) {
      const slice = Math.min(pingIntervalMs, step.holdMs - held);
      if (!(await pause(slice, exchange))) return;
      held += slice;
      if (held < step.holdMs) sse(res, 'ping', { type: 'ping' });
    }
    let stopReason = 'end_turn';
    if (step.tool) {
      stopReason = 'tool_use';
      const toolId = nextId('toolu');
      sse(res, 'content_block_start', {
        type: 'content_block_start', index: 0,
        content_block: { type: 'tool_use', id: toolId, name: step.tool.name, input: {} },
      });
      record({ kind: 'first-token', exchange: exchange.id, tool: step.tool.name, toolId });
      sse(res, 'content_block_delta', {
        type: 'content_block_delta', index: 0,
        delta: { type: 'input_json_delta', partial_json: JSON.stringify(step.tool.input) },
      });
    } else {
      const text = step.text ?? defaultAnswerText;
      sse(res, 'content_block_start', {
        type: 'content_block_start', index: 0, content_block: { type: 'text', text: '' },
      });
      const parts = step.streamMs ? pieces(text, maxStreamPieces) : [text];
      const gap = step.streamMs ? step.streamMs / parts.length : 0;
      for (const [i, part] of parts.entries()) {
        if (i > 0 && !(await pause(gap, exchange))) return;
        if (!sse(res, 'content_block_delta', {
          type: 'content_block_delta', index: 0, delta: { type: 'text_delta', text: part },
        })) return;
        if (i === 0) record({ kind: 'first-token', exchange: exchange.id });
      }
    }
    sse(res, 'content_block_stop', { type: 'content_block_stop', index: 0 });
    sse(res, 'message_delta', {
      type: 'message_delta', delta: { stop_reason: stopReason, stop_sequence: null }, usage: usage(20),
    });
    sse(res, 'message_stop', { type: 'message_stop' });
    res.end();
    record({ kind: 'answer-done', exchange: exchange.id, stopReason });
  }

  function wholeMessage(res, text) {
    res.writeHead(200, { 'content-type': 'application/json', 'request-id': nextId('req') });
    res.end(JSON.stringify({
      id: nextId('msg'), type: 'message', role: 'assistant', model,
      content: [{ type: 'text', text }], stop_reason: 'end_turn', stop_sequence: null, usage: usage(5),
    }));
  }

  function errorAnswer(res, status, type, message) {
    res.writeHead(status, { 'content-type': 'application/json', 'request-id': nextId('req') });
    res.end(JSON.stringify({ type: 'error', error: { type, message } }));
  }

  async function answerMessages(req, res, body, exchange) {
    const conversation = Array.isArray(body.tools) && body.tools.length > 0;
    const entry = record({
      kind: 'request', path: '/v1/messages', exchange: exchange.id, conversation,
      stream: !!body.stream, tools: Array.isArray(body.tools) ? body.tools.length : 0,
      lastUser: describeLastUser(body),
    });
    if (!conversation) {
      if (body.stream) return streamMessage(res, { text: sideAnswerText }, exchange);
      return wholeMessage(res, sideAnswerText);
    }
    const step = plan.length ? plan[0] : { text: defaultAnswerText };
    if (plan.length && !plan[0].sticky) plan.shift();
    entry.step = step;
    if (step.status) {
      errorAnswer(res, step.status, step.errorType || 'invalid_request_error',
        step.message || 'harness: planned error');
      record({ kind: 'error-sent', exchange: exchange.id, status: step.status });
      return;
    }
    if (!body.stream) return wholeMessage(res, step.text ?? defaultAnswerText);
    return streamMessage(res, step, exchange);
  }

  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', async () => {
      const exchange = new EventEmitter();
      exchange.id = ++counter;
      exchange.closed = false;
      // 'close' on the response before it finished means the client hung up:
      // that is what Escape looks like from here.
      res.on('close', () => {
        exchange.closed = true;
        if (!res.writableFinished) record({ kind: 'client-closed', exchange: exchange.id });
        exchange.emit('close');
      });
      const url = new URL(req.url, 'http://stand-in');
      if (dumpDir)
        fs.writeFileSync(path.join(dumpDir, `${String(exchange.id).padStart(4, '0')}.json`),
          JSON.stringify({ method: req.method, url: req.url, headers: req.headers,
            body: Buffer.concat(chunks).toString('utf8') }));
      let body = {};
      try {
        if (chunks.length) body = JSON.parse(Buffer.concat(chunks).toString('utf8'));
      } catch {
        return errorAnswer(res, 400, 'invalid_request_error', 'body is not JSON');
      }
      try {
        if (req.method === 'POST' && url.pathname === '/v1/messages') {
          await answerMessages(req, res, body, exchange);
        } else if (req.method === 'POST' && url.pathname === '/v1/messages/count_tokens') {
          record({ kind: 'request', path: url.pathname, exchange: exchange.id });
          res.writeHead(200, { 'content-type': 'application/json' });
          res.end(JSON.stringify({ input_tokens: 100 }));
        } else if (req.method === 'POST' && url.pathname === '/control/plan') {
          plan = Array.isArray(body) ? body : [];
          res.writeHead(200, { 'content-type': 'application/json' });
          res.end(JSON.stringify({ steps: plan.length }));
        } else if (req.method === 'GET' && url.pathname === '/control/log') {
          res.writeHead(200, { 'content-type': 'application/json' });
          res.end(JSON.stringify(log));
        } else {
          record({ kind: 'unknown', method: req.method, path: url.pathname, exchange: exchange.id });
          errorAnswer(res, 404, 'not_found_error', `harness: no ${req.method} ${url.pathname}`);
        }
      } catch (error) {
        // A write racing the client's hang-up must not take the server down.
        record({ kind: 'server-error', exchange: exchange.id, message: String(error) });
        if (!res.headersSent) errorAnswer(res, 500, 'api_error', 'harness failure');
        else res.destroy();
      }
    });
  });
  server.on('clientError', (_error, socket) => socket.destroy());
  await new Promise((resolve) => server.listen(port, host, resolve));

  return {
    port: server.address().port,
    url: `http://${host}:${server.address().port}`,
    log,
    events,
    setPlan(steps) {
      plan = [...steps];
    },
    planLeft: () => plan.length,
    close: () =>
      new Promise((resolve) => {
        server.closeAllConnections();
        server.close(() => resolve());
      }),
  };
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
  const api = await startModelApi({ port: Number(process.argv[2] || 0), dumpDir: process.argv[3] || null });
  console.log(JSON.stringify({ port: api.port }));
  api.events.on('record', (entry) => console.log(JSON.stringify(entry)));
}
