// A stand-in for the model API Claude Code talks to. Each request of the
// conversation (one that declares tools) takes the next step of a plan the
// test sets, so a turn lasts, streams, calls a tool or fails when the test
// wants:
//   { text, silentMs, holdMs, streamMs }  an answer: nothing at all (not even
//       headers) for silentMs, then message_start, the first token after
//       holdMs, the text spread over streamMs
//   { tool: { name, input } }             a tool_use block
//   { status }                            that HTTP error, for every request
//       until the next plan (Claude Code retries before it gives up)
// Without a step a request gets a short answer at once, as do side requests
// (titles and the like). `log` notes, with the time, each conversation
// 'request', 'first-token', 'tool-called', 'answer-done' and 'error-sent'.
import http from 'node:http';

const usage = { input_tokens: 12, output_tokens: 20, cache_creation_input_tokens: 0, cache_read_input_tokens: 0 };
// The real API pings a stream that waits; a silent stream may be given up on.
const pingMs = 5000;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function startModelApi() {
  const api = { log: [], plan: [] };
  const note = (kind) => api.log.push({ t: Date.now(), kind });
  let ids = 0;
  const message = (content, stopReason) => ({ id: `msg_${++ids}`, type: 'message', role: 'assistant', model: 'stand-in',
    content, stop_reason: stopReason, usage });
  const failure = (type, message) => ({ type: 'error', error: { type, message } });
  const reply = (res, status, body) =>
    res.writeHead(status, { 'content-type': 'application/json' }).end(JSON.stringify(body));

  // `gone` tells whether the client hung up, which is what Escape looks like here.
  async function stream(res, step, gone) {
    const send = (type, data) => gone() || res.write(`event: ${type}\ndata: ${JSON.stringify({ type, ...data })}\n\n`);
    await sleep(step.silentMs ?? 0);
    if (gone()) return;
    res.writeHead(200, { 'content-type': 'text/event-stream' });
    send('message_start', { message: message([], null) });
    for (let left = step.holdMs ?? 0; left > 0 && !gone(); left -= pingMs) {
      await sleep(Math.min(left, pingMs));
      send('ping');
    }
    const { text, tool } = step;
    const block = tool ? { type: 'tool_use', id: `toolu_${++ids}`, name: tool.name, input: {} }
      : { type: 'text', text: '' };
    // A slow answer comes word by word.
    const deltas = tool ? [{ type: 'input_json_delta', partial_json: JSON.stringify(tool.input) }]
      : (step.streamMs ? text.split(/(?<= )/) : [text]).map((piece) => ({ type: 'text_delta', text: piece }));
    send('content_block_start', { index: 0, content_block: block });
    for (const [i, delta] of deltas.entries()) {
      if (i > 0) await sleep(step.streamMs / deltas.length);
      if (gone()) return;
      send('content_block_delta', { index: 0, delta });
      if (i === 0) note('first-token');
    }
    const stopReason = tool ? 'tool_use' : 'end_turn';
    send('content_block_stop', { index: 0 });
    send('message_delta', { delta: { stop_reason: stopReason, stop_sequence: null }, usage });
    send('message_stop');
    res.end();
    note(tool ? 'tool-called' : 'answer-done');
  }

  const server = http.createServer(async (req, res) => {
    let gone = false;
    res.on('close', () => { gone = true; });
    try {
      let body = '';
      for await (const chunk of req) body += chunk;
      if (req.url.startsWith('/v1/messages/count_tokens')) return reply(res, 200, { input_tokens: 100 });
      if (!req.url.startsWith('/v1/messages')) return reply(res, 404, failure('not_found_error', req.url));
      const request = JSON.parse(body);
      const conversation = request.tools?.length > 0;
      if (conversation) note('request');
      const planned = conversation && (api.plan[0]?.status ? api.plan[0] : api.plan.shift());
      const step = planned || { text: conversation ? 'Done.' : 'Stand-in session' };
      if (step.status) {
        reply(res, step.status, failure('invalid_request_error', 'refused on purpose'));
        return note('error-sent');
      }
      if (!request.stream) return reply(res, 200, message([{ type: 'text', text: step.text }], 'end_turn'));
      await stream(res, step, () => gone);
    } catch {
      // A client that hung up halfway, or a body that is not JSON: only this request ends.
      res.destroy();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  // It serves until the process ends.
  api.url = `http://127.0.0.1:${server.address().port}`;
  return api;
}
