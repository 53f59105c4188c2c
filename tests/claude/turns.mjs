// Drives the real Claude Code through every way a turn ends, and three long
// phases that must not look like an end, in panes under tesselo-host, and
// checks the agent state the host shows for each.
//   node turns.mjs <build folder> [--long-seconds N] [--only a,b] [--out DIR]
// --out writes each scenario's timeline (seconds from the end of the turn)
// and last screen to DIR/<name>.txt. Exits 1 when a check failed, 2 when the
// run could not be made.
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { startModelApi } from './model_api.mjs';
import { claudeProgram, cli, dropWorld, hostCpuMs, makeWorld, openClaudePane, sleep, startWorld, tmux } from './world.mjs';

// How soon the host must follow: the end of a turn to idle, a permission
// dialog to blocked, an answer to the dialog to the state after it.
const endToIdleLimitMs = 2000;
const dialogToBlockedLimitMs = 2000;
const answerToStateLimitMs = 2000;
// An interruptible phase lasts this long, so a key press lands well inside it.
const holdMs = 30_000;
const escapeAfterMs = 2000;
// A dialog is answered once the blocked limit has passed, so the check sees
// the state while nobody has answered; the refusal waits out Claude Code's
// permission notification too (it comes about 6 s after the dialog).
const dialogAnswerMs = dialogToBlockedLimitMs + 1000;
const dialogNotificationMs = 9000;
// Claude Code's time to draw its input box, and a turn's beyond its longest phase.
const startUpLimitMs = 30_000;
const turnSlackMs = 45_000;
// How long the pane is watched after the ending, and how often.
const afterEndingMs = 5000;
const pollMs = 150;
// Lets the typed prompt land before Enter, and a closed Claude Code's last
// hooks before the next one starts.
const typingPauseMs = 200;
const closePauseMs = 1500;
// English texts of the pinned version's screen, kept with the time first seen.
const screenMarks = {
  ready: /for shortcuts|manual mode on/,
  dialog: /Do you want to (create|make this edit|proceed)/,
  apiError: /API Error/,
};

const { values: options, positionals } = parseArgs({
  allowPositionals: true,
  options: { 'long-seconds': { type: 'string', default: '60' }, only: { type: 'string' }, out: { type: 'string' } },
});
const longMs = Number(options['long-seconds']) * 1000;
const turnLimitMs = Math.max(holdMs, longMs) + turnSlackMs;

// plan: the stand-in's answers to the turn's requests, in order ({ bash: ms }
// and { write: true } become those tool calls). action: keys pressed waitMs
// after a condition (see `when`); when it `ends` the turn its key press
// is the end, otherwise the stand-in's final answer or its last error is.
// dialog: the state due once the permission dialog is answered. phase: two
// conditions between which the pane must stay working.
const longText = 'The stand-in streams this answer slowly, a few characters at a time. '.repeat(6);
const escapeAt = (after) => ({ after, waitMs: escapeAfterMs, keys: 'Escape', ends: true });
const atDialog = (waitMs, keys, ends) => ({ after: 'dialog', waitMs, keys, ends });
const writeNote = [{ write: true }, { text: 'The note is written.' }];
const scenarios = [
  { name: 'answer', plan: [{ text: 'Hello from the stand-in.' }] },
  { name: 'escape-streaming', plan: [{ text: longText, streamMs: holdMs }], action: escapeAt('first-token') },
  { name: 'escape-tool', plan: [{ bash: holdMs }, { text: 'Done.' }], action: escapeAt('tool-started') },
  { name: 'escape-permission', plan: writeNote, action: atDialog(dialogAnswerMs, 'Escape', true), dialog: 'idle' },
  // message_start has come, no content yet
  { name: 'escape-before-first-token', plan: [{ text: 'Too late.', holdMs }], action: escapeAt('request') },
  // no response at all yet, not even headers
  { name: 'escape-before-response', plan: [{ text: 'Too late.', silentMs: holdMs }], action: escapeAt('request') },
  // Claude Code retries, then gives up with StopFailure
  { name: 'api-error', plan: [{ status: 400 }] },
  { name: 'permission-granted', plan: writeNote, action: atDialog(dialogAnswerMs, '1', false), dialog: 'working' },
  // "3. No", after the permission notification
  { name: 'permission-refused', plan: writeNote, action: atDialog(dialogNotificationMs, '3', true), dialog: 'idle' },
  { name: 'long-thinking', plan: [{ text: 'Thought it through.', holdMs: longMs }], phase: ['request', 'first-token'] },
  { name: 'long-streaming', plan: [{ text: longText, streamMs: longMs }], phase: ['first-token', 'answer-done'] },
  { name: 'long-tool', plan: [{ bash: longMs }, { text: 'Done.' }], phase: ['tool-started', 'tool-finished'] },
];

// When a condition first held in the turn: a note of the stand-in, a screen
// mark, or a marker file of the Bash call ('tool-started', 'tool-finished').
function when(turn, name) {
  const file = `${turn.files}.${name}`;
  const noted = turn.notes().find((note) => note.kind === name)?.t;
  return turn.marks[name] ?? noted ?? (fs.existsSync(file) ? fs.statSync(file).mtimeMs : undefined);
}

function standInStep(entry, turn) {
  // Marker files around a wait that is not a standalone sleep, which Claude Code refuses.
  const wait = `${process.execPath} -e "setTimeout(() => {}, ${entry.bash})"`;
  const command = `touch ${turn.files}.tool-started && ${wait} && touch ${turn.files}.tool-finished`;
  if (entry.bash) return { tool: { name: 'Bash', input: { command, description: 'Run the slow command' } } };
  // A file of its own: Write refuses to replace a file it has not read.
  if (entry.write) return { tool: { name: 'Write', input: { file_path: `${turn.files}.txt`, content: 'A note.\n' } } };
  return entry;
}

async function until(turn, what, probe, deadline) {
  while (probe() === undefined) {
    if (Date.now() > deadline) throw new Error(`${turn.name}: timed out waiting for ${what}`);
    await sleep(50);
  }
  return probe();
}

// One look at the pane: the state `tesselo list` shows, the status line (the
// last line under the last rule), the host's CPU time so far. The first look
// at working after the prompt parks a wait for idle, as a user of the host would.
async function look(turn, world) {
  const t = Date.now();
  const asking = [cli(world, 'list'), tmux(world, 'capture-pane', '-p', '-t', turn.pane.target)];
  const [list, screen] = await Promise.all(asking.map((answer) => answer.then((done) => done.stdout, () => '')));
  const row = list.split('\n').find((line) => line.trim().startsWith(turn.pane.shortId));
  const lines = screen.split('\n').slice(screen.split('\n').findLastIndex((line) => line.includes('────')) + 1);
  const sample = { t, state: row?.match(/\[(\w+)\]$/)?.[1] ?? 'none', cpuMs: hostCpuMs(world) };
  sample.status = lines.map((line) => line.trim()).filter(Boolean).pop() ?? '';
  turn.samples.push(sample);
  turn.screen = screen;
  for (const [name, pattern] of Object.entries(screenMarks)) if (pattern.test(screen)) turn.marks[name] ??= t;
  if (sample.state !== 'working' || !turn.promptAt || turn.wait) return;
  const wait = { parkedAt: Date.now() };
  const args = ['wait', '--panel', turn.pane.shortId, '--until', 'idle', '--timeout', String(turnLimitMs / 1000)];
  wait.child = execFile(world.cli, args, { env: world.env }, (error, stdout, stderr) => {
    if (!turn.over) Object.assign(wait, { exitAt: Date.now(), status: error?.code ?? error?.signal ?? 0 });
    wait.said = `${stdout}${stderr}`.trim();
  });
  turn.wait = wait;
}

// Plays one scenario against a fresh Claude Code in a fresh pane, filling `turn`.
async function play(scenario, turn, world, api) {
  const fromNote = api.log.length;
  Object.assign(turn, { samples: [], marks: {}, notes: () => api.log.slice(fromNote) });
  turn.files = path.join(world.project, scenario.name);
  api.plan = scenario.plan.map((entry) => standInStep(entry, turn));
  turn.startedAt = Date.now();
  turn.pane = await openClaudePane(world);
  const looking = (async () => {
    while (!turn.over) await Promise.all([look(turn, world), sleep(pollMs)]);
  })();
  const keys = (...args) => tmux(world, 'send-keys', '-t', turn.pane.target, ...args);
  try {
    const ready = () => turn.marks.ready;
    turn.readyAt = await until(turn, 'Claude Code to draw its input box', ready, turn.startedAt + startUpLimitMs);
    await keys('-l', `Play the ${scenario.name} scenario.`);
    await sleep(typingPauseMs);
    turn.promptAt = Date.now();
    await keys('Enter');
    const deadline = turn.promptAt + turnLimitMs;
    const { action } = scenario;
    if (action) {
      await until(turn, action.after, () => when(turn, action.after), deadline);
      await sleep(action.waitMs);
      turn.actedAt = Date.now();
      await keys(action.keys);
    }
    if (action?.ends) {
      turn.endingAt = turn.actedAt;
    } else if (scenario.plan[0].status) {
      await until(turn, 'the API error on the screen', () => turn.marks.apiError, deadline);
      turn.endingAt = turn.notes().findLast((note) => note.kind === 'error-sent').t;
    } else {
      turn.endingAt = await until(turn, 'the final answer', () => when(turn, 'answer-done'), deadline);
    }
    await sleep(turn.endingAt + afterEndingMs - Date.now());
  } finally {
    turn.over = true;
    await looking;
    const notes = turn.notes();
    turn.notes = () => notes;
    if (turn.wait?.exitAt === undefined) turn.wait?.child.kill();
    await tmux(world, 'kill-pane', '-t', turn.pane.target).catch(() => {});
    await sleep(closePauseMs);
  }
}

const seconds = (ms) => (Number.isFinite(ms) ? `${(ms / 1000).toFixed(2)} s` : 'never');
const perSecond = (cpuMs, ms) => (cpuMs / (ms / 1000)).toFixed(1);

// What the host must have shown, as failures; the figures go to `turn.figures`.
function judge(scenario, turn) {
  const failures = [];
  const figures = { 'start-up': turn.readyAt - turn.startedAt, 'prompt→end': turn.endingAt - turn.promptAt };
  const firstFrom = (from, wanted) => turn.samples.find((sample) => sample.t >= from && wanted(sample));
  // The time from `from` to the first look that passes `wanted`, held to `limitMs`.
  const within = (label, from, limitMs, wanted) => {
    const sample = firstFrom(from, wanted);
    figures[label] = sample?.t - from;
    if (!(figures[label] <= limitMs)) failures.push(`${label} ${seconds(figures[label])}, limit ${seconds(limitMs)}`);
    return sample;
  };
  const working = firstFrom(turn.promptAt, (sample) => sample.state === 'working');
  const early = firstFrom(working?.t ?? turn.promptAt, (sample) => sample.state === 'idle' && sample.t < turn.endingAt);
  if (early) failures.push(`idle ${seconds(turn.endingAt - early.t)} before the turn ended`);
  const idle = within('end→idle', turn.endingAt, endToIdleLimitMs, (sample) => sample.state === 'idle');
  const relapse = idle && firstFrom(idle.t, (sample) => sample.state !== 'idle');
  if (relapse) failures.push(`${relapse.state} again ${seconds(relapse.t - turn.endingAt)} after the ending`);
  const rest = turn.samples.filter((sample) => idle && sample.t >= idle.t);
  Object.assign(turn, { restMs: rest.at(-1)?.t - idle?.t, restCpuMs: rest.at(-1)?.cpuMs - idle?.cpuMs });

  const { wait } = turn;
  const waitMs = (figures['wait ended'] = wait?.exitAt - turn.endingAt);
  if (!wait) failures.push('the pane never showed working, so no wait was parked');
  else if (!(wait.status === 0 && waitMs >= 0 && waitMs <= endToIdleLimitMs))
    failures.push(`wait ended ${seconds(waitMs)} after the ending (limit 0 to ${seconds(endToIdleLimitMs)}), status ${wait.status}`);

  if (scenario.dialog) {
    within('dialog→blocked', turn.marks.dialog, dialogToBlockedLimitMs, (sample) => sample.state === 'blocked');
    // A grant may end the turn before the tool's run could be seen: then idle,
    // once the turn has ended, is the state that follows the answer.
    const endedSoon = turn.endingAt - turn.actedAt <= answerToStateLimitMs;
    within(`answer→${scenario.dialog}`, turn.actedAt, answerToStateLimitMs, (sample) => sample.state === scenario.dialog
      || (endedSoon && sample.t >= turn.endingAt && sample.state === 'idle'));
  }
  if (scenario.phase) {
    const [from, to] = scenario.phase.map((name) => when(turn, name));
    const inside = turn.samples.filter((sample) => sample.t >= from && sample.t <= to);
    const wrong = inside.find((sample) => sample.state !== 'working');
    const phase = `the ${scenario.phase.join(' → ')} phase of ${seconds(to - from)}`;
    if (!inside.length) failures.push(`no look inside ${phase}`);
    if (wrong) failures.push(`${wrong.state} ${seconds(wrong.t - from)} into ${phase}`);
    Object.assign(turn, { phaseMs: inside.at(-1)?.t - inside[0]?.t, phaseCpuMs: inside.at(-1)?.cpuMs - inside[0]?.cpuMs });
  }
  const parts = Object.entries(figures).map(([label, ms]) => `${label} ${seconds(ms)}`);
  if (scenario.phase) parts.push(`host CPU ${perSecond(turn.phaseCpuMs, turn.phaseMs)} ms/s`);
  turn.figures = `${scenario.name.padEnd(26)} ${parts.join(', ')}${failures.length ? ', FAILED' : ''}`;
  return failures;
}

// The turn as it went, for --out: what the test did, what the stand-in
// noted, and every change of state or status line.
function timeline(turn) {
  const wait = turn.wait ?? {};
  const moments = { 'tesselo new': turn.startedAt, 'input box': turn.readyAt, Enter: turn.promptAt, keys: turn.actedAt,
    '=== the turn ends ===': turn.endingAt, 'wait parked': wait.parkedAt, [`wait ended: ${wait.said}`]: wait.exitAt };
  const rows = Object.entries(moments).filter(([, t]) => t !== undefined).map(([text, t]) => ({ t, text }));
  rows.push(...turn.notes().map((note) => ({ t: note.t, text: `stand-in: ${note.kind}` })));
  turn.samples.forEach((sample, i) => {
    const before = turn.samples[i - 1];
    if (sample.state !== before?.state || sample.status !== before?.status)
      rows.push({ t: sample.t, text: `[${sample.state}] ${sample.status}` });
  });
  const zero = turn.endingAt ?? turn.startedAt;
  const lines = rows.sort((a, b) => a.t - b.t)
    .map((row) => `${((row.t - zero) / 1000).toFixed(2).padStart(8)}  ${row.text}`);
  return `${lines.join('\n')}\n\nthe screen at the end:\n${turn.screen?.trimEnd()}\n`;
}

const played = [];
let api;
let world;
try {
  const names = options.only?.split(',') ?? scenarios.map((scenario) => scenario.name);
  const chosen = scenarios.filter((scenario) => names.includes(scenario.name));
  if (positionals.length !== 1) throw new Error('usage: run <build folder> [--long-seconds N] [--only a,b] [--out DIR]');
  if (!(longMs > 0)) throw new Error('--long-seconds takes a positive number');
  if (chosen.length !== names.length) throw new Error(`--only takes names from ${scenarios.map((s) => s.name).join(', ')}`);
  if (!fs.existsSync(claudeProgram)) throw new Error(`Claude Code is not installed: no ${claudeProgram}`);
  api = await startModelApi();
  world = makeWorld(path.resolve(positionals[0]), api.url);
  await startWorld(world, path.resolve(positionals[0]));
  for (const scenario of chosen) {
    const turn = { name: scenario.name };
    played.push(turn);
    await play(scenario, turn, world, api);
    turn.failures = judge(scenario, turn);
    console.log(`${scenario.name}: ${turn.failures.length ? 'FAILED' : 'ok'}`);
    for (const failure of turn.failures) console.log(`  ${failure}`);
  }
} catch (error) {
  console.error(`claude turns: the run could not be made: ${error.message}`);
  process.exitCode = 2;
} finally {
  if (options.out) fs.mkdirSync(options.out, { recursive: true });
  for (const turn of options.out ? played : []) fs.writeFileSync(path.join(options.out, `${turn.name}.txt`), timeline(turn));
  if (world) await dropWorld(world);
  api?.close();
}

const judged = played.filter((turn) => turn.failures);
for (const [i, turn] of judged.entries()) console.log(`${i ? '' : '\n'}${turn.figures}`);
const total = (key) => judged.reduce((sum, turn) => sum + (turn[key] || 0), 0);
if (total('phaseMs') > 0) {
  console.log(`host CPU: ${perSecond(total('phaseCpuMs'), total('phaseMs'))} ms per second of a running turn,`
    + ` ${perSecond(total('restCpuMs'), total('restMs'))} ms/s with the pane at rest, both polled as above`);
}
const failed = judged.flatMap((turn) => turn.failures.map((failure) => `${turn.name}: ${failure}`));
if (failed.length) console.error(`\n${failed.length} check(s) failed:\n  ${failed.join('\n  ')}`);
process.exit(process.exitCode ?? (failed.length ? 1 : 0));
