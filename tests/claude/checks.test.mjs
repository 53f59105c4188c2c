// The checks judged against made-up recordings: a host that tracks the turn
// must pass, and each way of getting it wrong must fail the check meant for it.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { checkScenario } from './checks.mjs';
import { endToIdleLimitMs } from './scenarios.mjs';

const promptAt = 1000;
const endingAt = 10_000;
const dialogAt = 4000;
const answerAt = 7000;
const sampleEveryMs = 150;
const watchAfterMs = 5000;

const plain = { name: 'plain' };
const phased = { name: 'phased', phase: { from: 'request', to: 'first-token' } };
const asking = { name: 'asking', permission: { answeredBy: 'grant', then: 'working' } };

// A recording whose state at time t is stateAt(t), sampled as the recorder does.
function recording({ stateAt, wait = { exitAt: endingAt + 300, status: 0, stderr: '' }, conditions = {}, actions = [] }) {
  const samples = [];
  for (let t = promptAt; t <= endingAt + watchAfterMs; t += sampleEveryMs) samples.push({ t, state: stateAt(t) });
  return { promptAt, workingAt: promptAt + 100, endingAt, wait, conditions, actions, samples };
}

const tracked = (t) => (t < promptAt + 100 ? 'idle' : t < endingAt + 300 ? 'working' : 'idle');
const phaseConditions = { request: 2000, 'first-token': 8000 };
const dialogConditions = { 'screen:permissionDialog': dialogAt };
const granted = [{ as: 'grant', at: answerAt }];
const trackedDialog = (t) => (t >= dialogAt + 500 && t < answerAt + 300 ? 'blocked' : tracked(t));

const cases = [
  { name: 'a host that follows the turn', scenario: plain, rec: { stateAt: tracked }, fails: [] },
  {
    name: 'idle only after the limit',
    scenario: plain,
    rec: { stateAt: (t) => (t < endingAt + endToIdleLimitMs + 400 ? tracked(Math.min(t, endingAt)) : 'idle') },
    fails: ['idle-after-ending'],
  },
  {
    name: 'stuck working after the ending',
    scenario: plain,
    rec: { stateAt: (t) => (t < promptAt + 100 ? 'idle' : 'working'), wait: { status: undefined } },
    fails: ['idle-after-ending', 'parked-wait'],
  },
  {
    name: 'idle, then working again',
    scenario: plain,
    rec: { stateAt: (t) => (t > endingAt + 3000 ? 'working' : tracked(t)) },
    fails: ['idle-after-ending'],
  },
  {
    name: 'a false idle in the middle of the turn',
    scenario: plain,
    rec: { stateAt: (t) => (t > 5000 && t < 5400 ? 'idle' : tracked(t)), wait: { exitAt: 5200, status: 0, stderr: '' } },
    fails: ['no-false-idle', 'parked-wait'],
  },
  {
    name: 'the wait timed out',
    scenario: plain,
    rec: { stateAt: tracked, wait: { exitAt: endingAt + 300, status: 2, stderr: 'timeout' } },
    fails: ['parked-wait'],
  },
  {
    name: 'the wait ended late',
    scenario: plain,
    rec: { stateAt: tracked, wait: { exitAt: endingAt + endToIdleLimitMs + 100, status: 0, stderr: '' } },
    fails: ['parked-wait'],
  },
  { name: 'no wait was parked', scenario: plain, rec: { stateAt: tracked, wait: null }, fails: ['parked-wait'] },
  {
    name: 'working through the long phase',
    scenario: phased,
    rec: { stateAt: tracked, conditions: phaseConditions },
    fails: [],
  },
  {
    name: 'a blink of another state inside the long phase',
    scenario: phased,
    rec: { stateAt: (t) => (t > 7000 && t < 7200 ? 'blocked' : tracked(t)), conditions: phaseConditions },
    fails: ['phase'],
  },
  { name: 'the long phase never seen', scenario: phased, rec: { stateAt: tracked }, fails: ['phase'] },
  {
    name: 'blocked at the dialog, working after the grant',
    scenario: asking,
    rec: { stateAt: trackedDialog, conditions: dialogConditions, actions: granted },
    fails: [],
  },
  {
    name: 'blocked too late',
    scenario: asking,
    rec: {
      stateAt: (t) => (t >= dialogAt + 2500 && t < answerAt + 300 ? 'blocked' : tracked(t)),
      conditions: dialogConditions,
      actions: granted,
    },
    fails: ['blocked'],
  },
  {
    name: 'never blocked',
    scenario: asking,
    rec: { stateAt: tracked, conditions: dialogConditions, actions: granted },
    fails: ['blocked'],
  },
  {
    name: 'still blocked after the grant',
    scenario: asking,
    rec: {
      stateAt: (t) => (t >= dialogAt + 500 && t < answerAt + 2500 ? 'blocked' : tracked(t)),
      conditions: dialogConditions,
      actions: granted,
    },
    fails: ['after-answer'],
  },
  {
    name: 'the dialog never answered',
    scenario: asking,
    rec: { stateAt: trackedDialog, conditions: dialogConditions },
    fails: ['after-answer'],
  },
];

for (const { name, scenario, rec, fails } of cases) {
  test(name, () => {
    const checks = checkScenario(recording(rec), scenario);
    const failed = checks.filter((c) => !c.ok).map((c) => c.kind).sort();
    assert.deepEqual(failed, [...fails].sort(), JSON.stringify(checks, null, 1));
  });
}

test('a scenario that could not run fails as one check', () => {
  const checks = checkScenario({ failure: 'timed out waiting for request' }, plain);
  assert.deepEqual(checks.map((c) => [c.kind, c.ok]), [['ran', false]]);
});
