// Runs the real Claude Code through every scenario of scenarios.mjs against
// the stand-in model API, in a private tmux server under tesselo-host, and
// checks that the host's agent state follows each turn to its end.
//
// Usage: node drive.mjs --build DIR [--long-seconds N] [--only NAME,...]
//                       [--witness] [--out DIR] [--keep]
// --witness  adds a hook on every event name Claude Code accepts, to see which fire
// --out      writes each scenario's timeline and raw recording there
// --keep     leaves the throw-away folder (home, sockets, markers) in place
// Exits 1 when a check fails, 2 on wrong usage or when the world fails.
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';

import { checkScenario } from './checks.mjs';
import { startModelApi } from './model_api.mjs';
import { screenAtRest, timeline, timingTable } from './report.mjs';
import { claudeProgram, makeSandbox, startWorld, stopWorld } from './sandbox.mjs';
import { runScenario } from './scenario_run.mjs';
import { defaultLongSeconds, scenarios } from './scenarios.mjs';

function usageError(message) {
  console.error(`drive: ${message}`);
  process.exit(2);
}

const { values } = parseArgs({
  options: {
    build: { type: 'string' },
    'long-seconds': { type: 'string', default: String(defaultLongSeconds) },
    only: { type: 'string' },
    witness: { type: 'boolean', default: false },
    out: { type: 'string' },
    keep: { type: 'boolean', default: false },
  },
});
if (!values.build) usageError('--build DIR (the folder holding tesselo-cli and tesselo-host) is required');
const buildDir = path.resolve(values.build);
for (const program of ['tesselo-cli', 'tesselo-host'])
  if (!fs.existsSync(path.join(buildDir, program))) usageError(`no ${program} in ${buildDir}`);
if (!fs.existsSync(claudeProgram)) usageError(`Claude Code is not installed at ${claudeProgram} (npm ci in ${path.dirname(new URL(import.meta.url).pathname)})`);
const longSeconds = Number(values['long-seconds']);
if (!(longSeconds > 0)) usageError('--long-seconds must be a positive number');

let chosen = scenarios;
if (values.only) {
  const names = values.only.split(',');
  for (const name of names)
    if (!scenarios.some((s) => s.name === name)) usageError(`no scenario ${name} (${scenarios.map((s) => s.name).join(', ')})`);
  chosen = scenarios.filter((s) => names.includes(s.name));
}
if (values.out) fs.mkdirSync(values.out, { recursive: true });

const api = await startModelApi();
const rows = [];
let sandbox;
try {
  sandbox = await makeSandbox({ buildDir, witnessAll: values.witness });
  await startWorld(sandbox, api.url);
  for (const scenario of chosen) {
    console.log(`--- ${scenario.name}: ${scenario.what}`);
    const rec = await runScenario({ scenario, sandbox, api, longMs: longSeconds * 1000 });
    rec.finishedAt = Date.now();
    const checks = checkScenario(rec, scenario);
    rows.push({ rec, checks });
    for (const check of checks) console.log(`  ${check.ok ? 'ok  ' : 'FAIL'} ${check.name}${check.detail ? `: ${check.detail}` : ''}`);
    if (values.out) {
      const text = `${scenario.name}: ${scenario.what}\n\n${timeline(rec)}\n\nscreen at the end:\n${screenAtRest(rec)}\n`;
      fs.writeFileSync(path.join(values.out, `${scenario.name}.txt`), text);
      fs.writeFileSync(path.join(values.out, `${scenario.name}.json`), JSON.stringify(rec, null, 1));
    }
  }
} catch (error) {
  // The world itself failed (tmux, the host, install-hooks), not a check.
  console.error(`drive: ${error.message}`);
  process.exitCode = 2;
} finally {
  if (sandbox) await stopWorld(sandbox, { keep: values.keep });
  await api.close();
}
if (process.exitCode === 2) process.exit(2);
if (values.keep) console.log(`\nkept ${sandbox.root}`);

console.log(`\n${timingTable(rows)}`);
const failures = rows.flatMap(({ rec, checks }) => checks.filter((c) => !c.ok).map((c) => `${rec.name}: ${c.name}${c.detail ? ` (${c.detail})` : ''}`));
if (failures.length) {
  console.error(`\n${failures.length} check(s) failed:\n${failures.map((f) => `  ${f}`).join('\n')}`);
  process.exit(1);
}
console.log('\nall checks passed');
