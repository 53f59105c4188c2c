// Watches one pane while a scenario runs: the agent state `tesselo list`
// shows, the bottom of the screen, the transcript lines Claude Code appends,
// and the hook events the witness kept. Every observation carries the time
// it was made, in milliseconds since the epoch.
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { promisify } from 'node:util';

import { tmux } from './sandbox.mjs';

const run = promisify(execFile);

export const pollIntervalMs = 150;
// The status line is the last line under the last rule of the input box.
const ruleMark = '────';
const screenLinesKept = 14;

// Lines of the screen worth a place in the timeline when they appear.
export const screenMarkers = {
  interrupted: /Interrupted/,
  rejected: /Rejected /,
  apiError: /API Error/,
  permissionDialog: /Do you want to (create|make this edit|proceed)/,
  ready: /for shortcuts|manual mode on|auto mode on/,
};

export function statusLine(screen) {
  const lines = screen.split('\n');
  let rule = -1;
  lines.forEach((line, i) => { if (line.includes(ruleMark)) rule = i; });
  const below = lines.slice(rule + 1).map((line) => line.trim()).filter(Boolean);
  return below.length ? below[below.length - 1] : '';
}

export function paneState(listText, shortId) {
  for (const line of listText.split('\n')) {
    const trimmed = line.trim();
    if (!trimmed.startsWith(shortId)) continue;
    const match = trimmed.match(/\[(\w+)\]$/);
    return match ? match[1] : 'none';
  }
  return 'gone';
}

// The transcript parts a reader of the timeline needs: who wrote it, and the
// text markers or flags that tell how a turn ended.
export function transcriptShape(entry) {
  const shape = { type: entry.type };
  const message = entry.message;
  if (message && typeof message === 'object') {
    shape.role = message.role;
    const content = typeof message.content === 'string' ? [{ type: 'text', text: message.content }] : message.content;
    if (Array.isArray(content))
      shape.content = content.map((block) => {
        if (block.type === 'text') return { type: 'text', text: block.text.slice(0, 100) };
        if (block.type === 'tool_use') return { type: 'tool_use', name: block.name };
        if (block.type === 'tool_result') {
          const text = typeof block.content === 'string' ? block.content
            : Array.isArray(block.content) ? block.content.map((c) => c.text || '').join('') : '';
          return { type: 'tool_result', is_error: !!block.is_error, text: text.slice(0, 100) };
        }
        return { type: block.type };
      });
  }
  if (entry.isApiErrorMessage) shape.isApiErrorMessage = true;
  if (entry.subtype) shape.subtype = entry.subtype;
  if (entry.toolUseResult !== undefined) shape.toolUseResult = true;
  return shape;
}

export class Recorder {
  constructor(sandbox, pane) {
    this.sandbox = sandbox;
    this.pane = pane;
    this.samples = [];     // { t, state, status }
    this.screens = [];     // { t, status, lines } on change
    this.transcript = [];  // { t, file, shape }
    this.hooks = [];       // { t, name, event }
    this.marks = {};       // first time each screen marker was seen
    this.offsets = new Map();
    this.hooksSeen = new Set();
    this.lastScreenKey = null;
    this.screen = '';
    this.state = null;
    this.stopped = false;
  }

  async tick() {
    const t = Date.now();
    const [list, capture] = await Promise.all([
      run(this.sandbox.cli, ['list'], { env: this.sandbox.env }).then((r) => r.stdout, (e) => `error: ${e.message}`),
      tmux(this.sandbox, ['capture-pane', '-p', '-t', this.pane.tmuxPane]).then((r) => r.stdout, () => ''),
    ]);
    this.state = paneState(list, this.pane.shortId);
    this.screen = capture;
    const status = statusLine(capture);
    this.samples.push({ t, state: this.state, status });
    const lines = capture.split('\n').filter((line) => line.trim()).slice(-screenLinesKept);
    const key = lines.map((line) => line.replace(/[0-9]/g, '')).join('\n');
    if (key !== this.lastScreenKey) {
      this.lastScreenKey = key;
      this.screens.push({ t, status, lines });
    }
    for (const [name, pattern] of Object.entries(screenMarkers))
      if (!(name in this.marks) && pattern.test(capture)) this.marks[name] = t;
    this.readTranscripts(t);
    this.readHooks();
  }

  readTranscripts(t) {
    const projects = path.join(this.sandbox.home, '.claude', 'projects');
    let folders = [];
    try { folders = fs.readdirSync(projects); } catch { return; }
    for (const folder of folders) {
      let files = [];
      try { files = fs.readdirSync(path.join(projects, folder)).filter((f) => f.endsWith('.jsonl')); } catch { continue; }
      for (const file of files) {
        const full = path.join(projects, folder, file);
        const offset = this.offsets.get(full) || 0;
        const text = fs.readFileSync(full, 'utf8');
        // Only whole lines: one being written is taken at the next tick.
        const end = text.lastIndexOf('\n') + 1;
        if (end <= offset) continue;
        this.offsets.set(full, end);
        for (const line of text.slice(offset, end).split('\n').filter(Boolean)) {
          let entry;
          try { entry = JSON.parse(line); } catch { entry = { type: 'unparsed' }; }
          this.transcript.push({ t, file: path.join(folder, file), shape: transcriptShape(entry) });
        }
      }
    }
  }

  readHooks() {
    for (const name of fs.readdirSync(this.sandbox.hookLog)) {
      if (this.hooksSeen.has(name)) continue;
      let entry;
      try { entry = JSON.parse(fs.readFileSync(path.join(this.sandbox.hookLog, name), 'utf8')); } catch { continue; }
      this.hooksSeen.add(name);
      const event = entry.event || {};
      this.hooks.push({ t: entry.t, name: event.hook_event_name, event });
    }
    this.hooks.sort((a, b) => a.t - b.t);
  }

  // Takes every hook and transcript line already there as seen, so a
  // scenario records only its own.
  prime() {
    this.readTranscripts(0);
    this.readHooks();
    this.transcript = [];
    this.hooks = [];
  }

  start() {
    const loop = async () => {
      while (!this.stopped) {
        const began = Date.now();
        await this.tick();
        await new Promise((resolve) => setTimeout(resolve, Math.max(0, pollIntervalMs - (Date.now() - began))));
      }
    };
    this.running = loop();
  }

  async stop() {
    this.stopped = true;
    await this.running;
    await this.tick();
  }
}
