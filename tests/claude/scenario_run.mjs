// Plays one scenario against a fresh Claude Code in a fresh pane and returns
// what was recorded; the checks judge it afterwards.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { Recorder } from './recorder.mjs';
import { closePane, openClaudePane, tmux } from './sandbox.mjs';
import { afterEndingMs, holdMs, startUpLimitMs, turnSlackMs } from './scenarios.mjs';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Lets the keys of a typed prompt land before Enter submits it.
const typingPauseMs = 200;
// Lets a closed Claude Code's last hooks finish before the next scenario.
const closePauseMs = 1500;

class ScenarioFailure extends Error {}

function duration(name, longMs) {
  if (!name) return 0;
  if (name === 'hold') return holdMs;
  if (name === 'long') return longMs;
  throw new Error(`unknown duration ${name}`);
}

function markerFiles(sandbox, scenario) {
  const dir = path.join(sandbox.root, 'markers');
  fs.mkdirSync(dir, { recursive: true });
  return {
    started: path.join(dir, `${scenario.name}.started`),
    finished: path.join(dir, `${scenario.name}.finished`),
  };
}

// The stand-in's steps for the scenario's plan.
export function planSteps(scenario, { sandbox, longMs, markers }) {
  return scenario.plan.map((entry) => {
    if (entry.answer !== undefined)
      return {
        text: entry.answer,
        silentMs: duration(entry.silentFor, longMs),
        holdMs: duration(entry.holdFor, longMs),
        streamMs: duration(entry.streamFor, longMs),
      };
    if (entry.bash !== undefined) {
      // Not a standalone sleep, which Claude Code refuses to run.
      const wait = `${JSON.stringify(process.execPath)} -e "setTimeout(() => {}, ${duration(entry.bash, longMs)})"`;
      return {
        tool: {
          name: 'Bash',
          input: {
            command: `touch '${markers.started}' && ${wait} && touch '${markers.finished}'`,
            description: 'Run the slow command',
          },
        },
      };
    }
    if (entry.write !== undefined)
      return {
        // A file of its own: Write refuses to replace a file it has not read.
        tool: { name: 'Write', input: { file_path: path.join(sandbox.project, `${scenario.name}.txt`), content: 'A note.\n' } },
      };
    if (entry.error !== undefined)
      return { status: entry.error, sticky: true, message: 'harness: this request is refused on purpose' };
    throw new Error(`unknown plan entry ${JSON.stringify(entry)}`);
  });
}

// A scenario's budget: its planned durations plus slack.
function turnBudgetMs(scenario, longMs) {
  let total = turnSlackMs;
  for (const entry of scenario.plan)
    total += duration(entry.silentFor, longMs) + duration(entry.holdFor, longMs) + duration(entry.streamFor, longMs)
      + (typeof entry.bash === 'string' ? duration(entry.bash, longMs) : 0);
  return total;
}

function fileTime(file) {
  try {
    return Math.round(fs.statSync(file).mtimeMs);
  } catch {
    return undefined;
  }
}

// When a named condition first held since the prompt, or undefined.
function conditionTime(name, { api, apiFrom, rec, markers }) {
  const records = api.log.slice(apiFrom);
  if (name === 'request') return records.find((r) => r.kind === 'request' && r.conversation)?.t;
  if (name === 'first-token') return records.find((r) => r.kind === 'first-token')?.t;
  if (name === 'answer-done') return records.find((r) => r.kind === 'answer-done' && r.stopReason === 'end_turn')?.t;
  if (name === 'tool-started') return fileTime(markers.started);
  if (name === 'tool-finished') return fileTime(markers.finished);
  if (name.startsWith('screen:')) return rec.marks[name.slice('screen:'.length)];
  throw new Error(`unknown condition ${name}`);
}

// `deadline` is a time, or a function giving one (it may move while waiting).
async function until(what, probe, deadline) {
  for (;;) {
    const value = probe();
    if (value !== undefined) return value;
    if (Date.now() > (typeof deadline === 'function' ? deadline() : deadline))
      throw new ScenarioFailure(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

function parkWait(sandbox, pane, timeoutSeconds) {
  const wait = { parkedAt: Date.now(), stdout: '', stderr: '' };
  const child = spawn(sandbox.cli, ['wait', '--panel', pane.shortId, '--until', 'idle', '--timeout', String(timeoutSeconds)],
    { env: sandbox.env, stdio: ['ignore', 'pipe', 'pipe'] });
  child.stdout.on('data', (c) => { wait.stdout += c; });
  child.stderr.on('data', (c) => { wait.stderr += c; });
  wait.done = new Promise((resolve) => child.on('exit', (code, signal) => {
    if (!wait.killed) {
      wait.exitAt = Date.now();
      wait.status = code ?? signal;
    }
    resolve();
  }));
  wait.child = child;
  return wait;
}

export async function runScenario({ scenario, sandbox, api, longMs }) {
  const markers = markerFiles(sandbox, scenario);
  const rec = new Recorder(sandbox, null);
  rec.prime();
  const apiFrom = api.log.length;
  const ctx = { api, apiFrom, rec, markers };
  api.setPlan(planSteps(scenario, { sandbox, longMs, markers }));
  const result = { name: scenario.name, actions: [], conditions: {} };
  const budget = turnBudgetMs(scenario, longMs);
  let wait = null;
  let pane = null;
  try {
    result.startedAt = Date.now();
    pane = await openClaudePane(sandbox);
    rec.pane = pane;
    rec.start();
    result.readyAt = await until('Claude Code to draw its input box', () => rec.marks.ready,
      result.startedAt + startUpLimitMs);
    result.stateAtReady = rec.state;

    await tmux(sandbox, ['send-keys', '-t', pane.tmuxPane, '-l', scenario.prompt]);
    await sleep(typingPauseMs);
    result.promptAt = Date.now();
    await tmux(sandbox, ['send-keys', '-t', pane.tmuxPane, 'Enter']);
    const deadline = result.promptAt + budget;

    // The wait is parked as a user of the host would: once the pane shows working.
    // A pane that never shows working gives up on parking once the ending is
    // known and watched, not at the end of the whole budget.
    const parking = (async () => {
      result.workingAt = await until('the pane to show working', () =>
        rec.state === 'working' ? Date.now() : undefined,
      () => (result.endingAt === undefined ? deadline : result.endingAt + afterEndingMs)).catch(() => undefined);
      if (result.workingAt !== undefined) wait = parkWait(sandbox, pane, Math.ceil(budget / 1000));
    })();

    for (const action of scenario.actions || []) {
      await until(action.after, () => conditionTime(action.after, ctx), deadline);
      await sleep(action.waitMs);
      const at = Date.now();
      for (const key of action.keys) await tmux(sandbox, ['send-keys', '-t', pane.tmuxPane, key]);
      result.actions.push({ as: action.as, keys: action.keys, at });
    }

    if (scenario.ending === 'action') {
      result.endingAt = result.actions.find((a) => a.as === 'ending').at;
    } else if (scenario.ending === 'answer-done') {
      result.endingAt = await until('the final answer', () => conditionTime('answer-done', ctx), deadline);
    } else if (scenario.ending === 'last-error') {
      await until('the API error on screen', () => rec.marks.apiError, deadline);
      result.endingAt = api.log.slice(apiFrom).filter((r) => r.kind === 'error-sent').pop()?.t;
      if (result.endingAt === undefined) throw new ScenarioFailure('the screen shows an API error the stand-in never sent');
    }
    await parking;
    await sleep(Math.max(0, result.endingAt + afterEndingMs - Date.now()));
  } catch (error) {
    if (!(error instanceof ScenarioFailure)) throw error;
    result.failure = error.message;
  } finally {
    if (rec.running) await rec.stop();
    if (wait) {
      if (wait.exitAt === undefined) {
        wait.killed = true;
        wait.child.kill('SIGTERM');
      }
      await wait.done;
      delete wait.child;
      delete wait.done;
    }
    if (pane) await closePane(sandbox, pane);
    await sleep(closePauseMs);
  }
  for (const name of ['request', 'first-token', 'answer-done', 'tool-started', 'tool-finished',
    'screen:permissionDialog', 'screen:interrupted', 'screen:apiError', 'screen:rejected'])
    if (conditionTime(name, ctx) !== undefined) result.conditions[name] = conditionTime(name, ctx);
  return Object.assign(result, {
    pane,
    wait,
    finalScreen: rec.screen,
    samples: rec.samples,
    screens: rec.screens,
    transcript: rec.transcript,
    hooks: rec.hooks,
    api: api.log.slice(apiFrom),
  });
}
