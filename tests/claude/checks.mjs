// What a recorded scenario must show for the host to track Claude Code
// correctly. Each check answers { kind, name, ok, detail }.
import { answerToStateLimitMs, endToIdleLimitMs, promptToBlockedLimitMs } from './scenarios.mjs';

const seconds = (ms) => `${(ms / 1000).toFixed(2)} s`;

function firstSampleFrom(samples, from, state) {
  return samples.find((s) => s.t >= from && s.state === state);
}

function noFalseIdle(rec) {
  const from = rec.workingAt ?? rec.promptAt;
  const early = rec.samples.find((s) => s.t > from && s.t < rec.endingAt && s.state === 'idle');
  return {
    kind: 'no-false-idle',
    name: 'never idle before the turn ends',
    ok: !early,
    detail: early ? `idle ${seconds(rec.endingAt - early.t)} before the ending` : '',
  };
}

function idleAfterEnding(rec) {
  const idle = firstSampleFrom(rec.samples, rec.endingAt, 'idle');
  const last = rec.samples[rec.samples.length - 1];
  const inTime = idle && idle.t - rec.endingAt <= endToIdleLimitMs;
  const stays = last && last.state === 'idle';
  let detail = '';
  if (!idle) detail = `never idle after the ending (last state: ${last ? last.state : 'none'})`;
  else if (!inTime) detail = `idle only ${seconds(idle.t - rec.endingAt)} after the ending`;
  else if (!stays) detail = `idle, then ${last.state}`;
  return { kind: 'idle-after-ending', name: `idle within ${seconds(endToIdleLimitMs)} of the ending`, ok: !!(inTime && stays), detail };
}

function parkedWaitEnds(rec) {
  const kind = 'parked-wait';
  const name = `parked wait ends with status 0 within ${seconds(endToIdleLimitMs)} of the ending`;
  const wait = rec.wait;
  if (!wait) return { kind, name, ok: false, detail: 'the pane never showed working, so no wait was parked' };
  if (wait.exitAt === undefined) return { kind, name, ok: false, detail: 'still waiting when the scenario ended' };
  const after = wait.exitAt - rec.endingAt;
  if (wait.status !== 0) return { kind, name, ok: false, detail: `status ${wait.status} ${wait.stderr.trim()}` };
  if (after < 0) return { kind, name, ok: false, detail: `ended ${seconds(-after)} before the turn did` };
  if (after > endToIdleLimitMs) return { kind, name, ok: false, detail: `ended ${seconds(after)} after the ending` };
  return { kind, name, ok: true, detail: '' };
}

function staysWorking(rec, scenario) {
  const { from, to } = scenario.phase;
  const start = rec.conditions[from];
  const end = rec.conditions[to];
  const kind = 'phase';
  const name = `working through the phase ${from} → ${to}`;
  if (start === undefined || end === undefined) return { kind, name, ok: false, detail: 'the phase was not seen whole' };
  const inside = rec.samples.filter((s) => s.t >= start && s.t <= end);
  const wrong = inside.find((s) => s.state !== 'working');
  let detail = '';
  if (!inside.length) detail = 'no sample inside the phase';
  else if (wrong) detail = `${wrong.state} ${seconds(wrong.t - start)} into a phase of ${seconds(end - start)}`;
  return { kind, name, ok: inside.length > 0 && !wrong, detail };
}

function blockedAtPrompt(rec) {
  const shown = rec.conditions['screen:permissionDialog'];
  const kind = 'blocked';
  const name = `blocked within ${seconds(promptToBlockedLimitMs)} of the permission dialog`;
  if (shown === undefined) return { kind, name, ok: false, detail: 'the dialog never showed' };
  const blocked = firstSampleFrom(rec.samples, shown, 'blocked');
  const ok = blocked && blocked.t - shown <= promptToBlockedLimitMs;
  return { kind, name, ok: !!ok, detail: blocked ? (ok ? '' : `blocked after ${seconds(blocked.t - shown)}`) : 'never blocked' };
}

function stateAfterAnswer(rec, scenario) {
  const { answeredBy, then } = scenario.permission;
  const action = rec.actions.find((a) => a.as === answeredBy);
  const kind = 'after-answer';
  const name = `${then} within ${seconds(answerToStateLimitMs)} of answering the dialog`;
  if (!action) return { kind, name, ok: false, detail: 'the dialog was never answered' };
  // A grant may end the turn before the tool's run could ever be seen: then
  // idle, once the turn has ended, is the state that follows the answer.
  const endedInTime = rec.endingAt - action.at <= answerToStateLimitMs;
  const reached = rec.samples.find(
    (s) => s.t >= action.at && (s.state === then || (endedInTime && s.t >= rec.endingAt && s.state === 'idle')),
  );
  const ok = reached && reached.t - action.at <= answerToStateLimitMs;
  return { kind, name, ok: !!ok, detail: reached ? (ok ? '' : `${then} after ${seconds(reached.t - action.at)}`) : `never ${then}` };
}

export function checkScenario(rec, scenario) {
  if (rec.failure) return [{ kind: 'ran', name: 'the scenario ran', ok: false, detail: rec.failure }];
  const checks = [noFalseIdle(rec), idleAfterEnding(rec), parkedWaitEnds(rec)];
  if (scenario.phase) checks.push(staysWorking(rec, scenario));
  if (scenario.permission) checks.push(blockedAtPrompt(rec), stateAfterAnswer(rec, scenario));
  return checks;
}
