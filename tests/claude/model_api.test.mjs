// The stand-in model API on its own: the shapes Claude Code parses, plans
// followed in order, and a client that hangs up mid-answer.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { defaultAnswerText, sideAnswerText, startModelApi } from './model_api.mjs';

let api;
before(async () => { api = await startModelApi(); });
after(() => api.close());

const conversation = (extra = {}) => ({
  model: 'm', max_tokens: 10, stream: true, tools: [{ name: 'Bash', input_schema: {} }],
  messages: [{ role: 'user', content: 'hi' }], ...extra,
});

function post(path, body, signal) {
  return fetch(`${api.url}${path}`, {
    method: 'POST', headers: { 'content-type': 'application/json' }, body: JSON.stringify(body), signal,
  });
}

// The events of a streamed answer, each { event, data }.
async function streamEvents(response) {
  const text = await response.text();
  return text.split('\n\n').filter(Boolean).map((chunk) => {
    const [eventLine, dataLine] = chunk.split('\n');
    return { event: eventLine.slice('event: '.length), data: JSON.parse(dataLine.slice('data: '.length)) };
  });
}

const names = (events) => events.map((e) => e.event).filter((e) => e !== 'content_block_delta' && e !== 'ping');
const deltas = (events) => events.filter((e) => e.event === 'content_block_delta').map((e) => e.data.delta);
const streamOrder = ['message_start', 'content_block_start', 'content_block_stop', 'message_delta', 'message_stop'];

test('a planned answer streams in the order the API uses, slowly when asked', async () => {
  api.setPlan([{ text: 'one two three four', streamMs: 300 }]);
  const began = Date.now();
  const events = await streamEvents(await post('/v1/messages?beta=true', conversation()));
  assert.ok(Date.now() - began >= 250);
  assert.deepEqual(names(events), streamOrder);
  assert.ok(deltas(events).length > 1);
  assert.equal(deltas(events).map((d) => d.text).join(''), 'one two three four');
  assert.equal(events.find((e) => e.event === 'message_delta').data.delta.stop_reason, 'end_turn');
});

test('a tool step answers one tool_use block with its whole input', async () => {
  const input = { command: 'echo "quoted" && true', description: 'd' };
  api.setPlan([{ tool: { name: 'Bash', input } }, { text: 'after the tool' }]);
  const events = await streamEvents(await post('/v1/messages', conversation()));
  assert.deepEqual(names(events), streamOrder);
  assert.equal(events[1].data.content_block.type, 'tool_use');
  assert.equal(events[1].data.content_block.name, 'Bash');
  assert.deepEqual(JSON.parse(deltas(events).map((d) => d.partial_json).join('')), input);
  assert.equal(events.find((e) => e.event === 'message_delta').data.delta.stop_reason, 'tool_use');
  const next = await streamEvents(await post('/v1/messages', conversation()));
  assert.equal(deltas(next).map((d) => d.text).join(''), 'after the tool');
});

test('side requests are answered at once and leave the plan alone', async () => {
  api.setPlan([{ text: 'for the conversation' }]);
  const side = await post('/v1/messages', { model: 'm', max_tokens: 10, messages: [{ role: 'user', content: 'title?' }] });
  assert.equal((await side.json()).content[0].text, sideAnswerText);
  assert.equal(api.planLeft(), 1);
  const events = await streamEvents(await post('/v1/messages', conversation()));
  assert.equal(deltas(events).map((d) => d.text).join(''), 'for the conversation');
  const unplanned = await streamEvents(await post('/v1/messages', conversation()));
  assert.equal(deltas(unplanned).map((d) => d.text).join(''), defaultAnswerText);
});

test('a sticky error answers every retry until the next plan', async () => {
  api.setPlan([{ status: 400, sticky: true, message: 'refused' }]);
  for (let i = 0; i < 3; i++) {
    const response = await post('/v1/messages', conversation());
    assert.equal(response.status, 400);
    assert.deepEqual(await response.json(), { type: 'error', error: { type: 'invalid_request_error', message: 'refused' } });
  }
  api.setPlan([]);
  assert.equal((await post('/v1/messages', conversation())).status, 200);
});

test('a silent step sends not even headers until its time', async () => {
  api.setPlan([{ text: 'late', silentMs: 300 }]);
  const began = Date.now();
  const response = await post('/v1/messages', conversation());
  assert.ok(Date.now() - began >= 250);
  assert.equal(deltas(await streamEvents(response)).map((d) => d.text).join(''), 'late');
});

// Escape in Claude Code: the connection closes while the stand-in holds.
for (const [where, step, untilHeaders] of [
  ['before any response', { text: 'never sent', silentMs: 10_000 }, false],
  ['after message_start', { text: 'never sent', holdMs: 10_000 }, true],
]) {
  test(`a client hanging up ${where} is recorded and the server goes on`, async () => {
    api.setPlan([step]);
    const from = api.log.length;
    const abort = new AbortController();
    const closed = new Promise((resolve) => api.events.once('client-closed', resolve));
    const request = post('/v1/messages', conversation(), abort.signal);
    if (untilHeaders) await request;
    else await new Promise((resolve) => api.events.once('request', resolve));
    abort.abort();
    await request.then((r) => r.text()).catch(() => {});
    await Promise.race([closed, new Promise((resolve) => setTimeout(resolve, 2000))]);
    const kinds = api.log.slice(from).map((r) => r.kind);
    assert.ok(kinds.includes('client-closed'));
    assert.ok(!kinds.includes('first-token'));
    const events = await streamEvents(await post('/v1/messages', conversation()));
    assert.deepEqual(names(events), streamOrder);
  });
}

test('count_tokens answers a count; other paths a 404 the log keeps', async () => {
  const count = await post('/v1/messages/count_tokens', { messages: [] });
  assert.equal(typeof (await count.json()).input_tokens, 'number');
  const unknown = await fetch(`${api.url}/v1/elsewhere`);
  assert.equal(unknown.status, 404);
  assert.equal(api.log[api.log.length - 1].path, '/v1/elsewhere');
});
