// Turns a recorded scenario into a timeline relative to the end of its turn,
// and all scenarios into one timing table.
const rel = (t, zero) => {
  const s = (t - zero) / 1000;
  return `${s >= 0 ? '+' : ''}${s.toFixed(2)}`.padStart(8);
};
const secs = (ms) => (ms === undefined || Number.isNaN(ms) ? '-' : (ms / 1000).toFixed(2));

function hookDetail(event) {
  const parts = [];
  for (const key of ['notification_type', 'source', 'reason', 'tool_name', 'error', 'stop_hook_active'])
    if (event[key] !== undefined) parts.push(`${key}=${JSON.stringify(event[key])}`);
  if (event.last_assistant_message !== undefined)
    parts.push(`last_assistant_message=${JSON.stringify(String(event.last_assistant_message).slice(0, 60))}`);
  if (event.message !== undefined) parts.push(`message=${JSON.stringify(String(event.message).slice(0, 60))}`);
  return parts.join(' ');
}

function transcriptDetail(shape) {
  const content = (shape.content || []).map((block) => {
    if (block.type === 'text') return `text ${JSON.stringify(block.text)}`;
    if (block.type === 'tool_use') return `tool_use ${block.name}`;
    if (block.type === 'tool_result') return `tool_result${block.is_error ? ' (error)' : ''} ${JSON.stringify(block.text)}`;
    return block.type;
  });
  const flags = [shape.subtype && `subtype=${shape.subtype}`, shape.isApiErrorMessage && 'isApiErrorMessage'].filter(Boolean);
  return [shape.type, ...flags, ...content].join(' ');
}

function apiDetail(r) {
  if (r.kind === 'request') return `request ${r.path}${r.conversation ? ` (${r.tools} tools)` : ' (side)'} last user: ${JSON.stringify(r.lastUser.slice(-60))}`;
  if (r.kind === 'first-token') return `first token${r.tool ? ` (tool_use ${r.tool})` : ''}`;
  if (r.kind === 'answer-done') return `answer done (${r.stopReason})`;
  if (r.kind === 'error-sent') return `HTTP ${r.status} sent`;
  if (r.kind === 'client-closed') return 'client closed the connection';
  return `${r.kind} ${r.path || ''}`;
}

export function timeline(rec) {
  const zero = rec.endingAt ?? rec.promptAt ?? rec.startedAt;
  const rows = [];
  const add = (t, source, text) => { if (t !== undefined) rows.push({ t, source, text }); };
  add(rec.startedAt, 'driver', 'tesselo new (Claude Code starts)');
  add(rec.readyAt, 'driver', 'input box drawn');
  add(rec.promptAt, 'driver', 'prompt typed, Enter');
  for (const a of rec.actions) add(a.at, 'driver', `keys ${a.keys.join(' ')} (${a.as})`);
  add(rec.endingAt, 'driver', '=== the turn ends ===');
  if (rec.wait) {
    add(rec.wait.parkedAt, 'wait', 'tesselo wait --until idle parked');
    add(rec.wait.exitAt, 'wait', `ended: status ${rec.wait.status} ${rec.wait.stdout.trim()} ${rec.wait.stderr.trim()}`.trim());
  }
  for (const [name, t] of Object.entries(rec.conditions))
    if (name.startsWith('screen:')) add(t, 'screen', `${name.slice('screen:'.length)} first seen`);
  for (const r of rec.api) add(r.t, 'api', apiDetail(r));
  for (const h of rec.hooks) add(h.t, 'hook', `${h.name} ${hookDetail(h.event)}`.trim());
  for (const l of rec.transcript) add(l.t, 'transcript', transcriptDetail(l.shape));
  let lastState;
  let lastStatus;
  for (const s of rec.samples) {
    if (s.state !== lastState) add(s.t, 'state', s.state);
    if (s.status !== lastStatus) add(s.t, 'status', JSON.stringify(s.status));
    lastState = s.state;
    lastStatus = s.status;
  }
  rows.sort((a, b) => a.t - b.t);
  // Runs of the same bookkeeping line at one moment read better as one.
  const merged = [];
  for (const row of rows) {
    const last = merged[merged.length - 1];
    if (last && last.t === row.t && last.source === row.source && last.text === row.text) last.count++;
    else merged.push({ ...row, count: 1 });
  }
  return merged.map((r) => `${rel(r.t, zero)}  ${r.source.padEnd(10)} ${r.text}${r.count > 1 ? ` ×${r.count}` : ''}`).join('\n');
}

export function screenAtRest(rec) {
  return rec.finalScreen.split('\n').filter((line) => line.trim()).slice(-12).join('\n');
}

export function timingTable(rows) {
  const head = ['scenario', 'start-up s', 'prompt→end s', 'end→idle s', 'wait ended s', 'scenario s', 'checks'];
  const body = rows.map(({ rec, checks }) => {
    const idle = rec.samples.find((s) => rec.endingAt !== undefined && s.t >= rec.endingAt && s.state === 'idle');
    const wait = rec.wait && rec.wait.exitAt !== undefined
      ? `${secs(rec.wait.exitAt - rec.endingAt)} (${rec.wait.status})` : 'never';
    const failed = checks.filter((c) => !c.ok).length;
    return [
      rec.name,
      secs(rec.readyAt - rec.startedAt),
      secs(rec.endingAt - rec.promptAt),
      idle ? secs(idle.t - rec.endingAt) : 'never',
      wait,
      secs(rec.finishedAt - rec.startedAt),
      failed ? `${failed} failed` : 'ok',
    ];
  });
  const widths = head.map((h, i) => Math.max(h.length, ...body.map((r) => String(r[i]).length)));
  const line = (cells) => cells.map((c, i) => String(c).padEnd(widths[i])).join('  ').trimEnd();
  return [line(head), line(widths.map((w) => '-'.repeat(w))), ...body.map(line)].join('\n');
}
