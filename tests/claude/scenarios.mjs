// Every way a Claude Code turn can end, and the long phases that must not
// look like an end, as data: what the stand-in answers, what the test presses
// and when, and which moment counts as the end of the turn.
//
// plan: one entry per conversation request of the turn, in order:
//   { answer, silentFor, holdFor, streamFor }
//                                   text; no response at all for silentFor,
//                                   then message_start, the first token after
//                                   holdFor, the text spread over streamFor
//   { bash: holdFor }               a Bash call that runs for holdFor
//   { write: true }                 a Write call of a new file, which asks for permission
//   { error: status }               that HTTP error for every request
// Durations are names: 'hold' lasts long enough for any action to land inside
// it, 'long' is the long phase (--long-seconds).
// actions: { after: condition, waitMs, keys, as }; `as: 'ending'` makes the key
//   press the end of the turn.
// ending: 'action', 'answer-done' (the stand-in finished the final answer) or
//   'last-error' (the last error it sent, once the screen shows it).
// phase: a span, between two conditions, during which the pane must stay working.
// permission: the turn meets a permission dialog, which must show as blocked,
//   and the state it must turn to after the action named in `answeredBy`.
//
// Conditions: 'request', 'first-token', 'answer-done', 'tool-started',
// 'tool-finished' (the Bash call's marker files), 'screen:<marker>' (a
// recorder screen marker).

// State-tracking limits the host must meet.
export const endToIdleLimitMs = 2000;
export const promptToBlockedLimitMs = 2000;
export const answerToStateLimitMs = 2000;

// How long an interruptible phase lasts: the action lands well inside it.
export const holdMs = 30_000;
// What a turn gets beyond its planned durations before the driver gives up on it.
export const turnSlackMs = 45_000;
// How long the pane is watched after the ending.
export const afterEndingMs = 5000;
// A dialog is answered only after the blocked limit has passed, so the check
// sees the state the host shows while nobody has answered yet.
export const dialogAnswerMs = promptToBlockedLimitMs + 1000;
// Claude Code's permission_prompt notification comes about 6 s after the
// dialog; one scenario waits it out, so the record shows what it brings.
export const dialogNotificationMs = 9000;
// How long Claude Code gets to draw its input box.
export const startUpLimitMs = 30_000;
export const defaultLongSeconds = 60;

const longAnswer = 'The stand-in streams this answer slowly, a few characters at a time, so that the '
  + 'turn is still running when the test acts on it. '.repeat(3);

export const scenarios = [
  {
    name: 'answer',
    what: 'the answer ends the turn',
    prompt: 'Say hello.',
    plan: [{ answer: 'Hello from the stand-in.' }],
    ending: 'answer-done',
  },
  {
    name: 'escape-streaming',
    what: 'Escape while the answer streams',
    prompt: 'Tell me a long story.',
    plan: [{ answer: longAnswer, streamFor: 'hold' }],
    actions: [{ after: 'first-token', waitMs: 2000, keys: ['Escape'], as: 'ending' }],
    ending: 'action',
  },
  {
    name: 'escape-tool',
    what: 'Escape while a Bash call runs',
    prompt: 'Run the slow command.',
    plan: [{ bash: 'hold' }, { answer: 'The command finished.' }],
    actions: [{ after: 'tool-started', waitMs: 2000, keys: ['Escape'], as: 'ending' }],
    ending: 'action',
  },
  {
    name: 'escape-permission',
    what: 'Escape at the permission prompt of a Write',
    prompt: 'Write the note.',
    plan: [{ write: true }, { answer: 'The note is written.' }],
    actions: [{ after: 'screen:permissionDialog', waitMs: dialogAnswerMs, keys: ['Escape'], as: 'ending' }],
    ending: 'action',
    permission: { answeredBy: 'ending', then: 'idle' },
  },
  {
    name: 'escape-before-first-token',
    what: 'Escape before the first token (message_start received, no content yet)',
    prompt: 'Think hard first.',
    plan: [{ answer: 'Too late.', holdFor: 'hold' }],
    actions: [{ after: 'request', waitMs: 2000, keys: ['Escape'], as: 'ending' }],
    ending: 'action',
  },
  {
    name: 'escape-before-response',
    what: 'Escape before the API has answered at all (no message_start yet)',
    prompt: 'Take your time to answer.',
    plan: [{ answer: 'Too late.', silentFor: 'hold' }],
    actions: [{ after: 'request', waitMs: 2000, keys: ['Escape'], as: 'ending' }],
    ending: 'action',
  },
  {
    name: 'api-error',
    what: 'HTTP 400 from the API (retried, then StopFailure)',
    prompt: 'Say something the API refuses.',
    plan: [{ error: 400 }],
    ending: 'last-error',
  },
  {
    name: 'permission-granted',
    what: 'a permission prompt granted, then the answer',
    prompt: 'Write the note.',
    plan: [{ write: true }, { answer: 'The note is written.' }],
    actions: [{ after: 'screen:permissionDialog', waitMs: dialogAnswerMs, keys: ['1'], as: 'grant' }],
    ending: 'answer-done',
    permission: { answeredBy: 'grant', then: 'working' },
  },
  {
    name: 'permission-refused',
    what: 'a permission prompt refused ("3. No") after its notification',
    prompt: 'Write the note.',
    plan: [{ write: true }, { answer: 'Not written.' }],
    actions: [{ after: 'screen:permissionDialog', waitMs: dialogNotificationMs, keys: ['3'], as: 'ending' }],
    ending: 'action',
    permission: { answeredBy: 'ending', then: 'idle' },
  },
  {
    name: 'long-thinking',
    what: 'the model thinks a long phase before its first token',
    prompt: 'Think for a long time.',
    plan: [{ answer: 'Thought it through.', holdFor: 'long' }],
    ending: 'answer-done',
    phase: { from: 'request', to: 'first-token' },
  },
  {
    name: 'long-streaming',
    what: 'an answer streams for a long phase',
    prompt: 'Tell me a long story slowly.',
    plan: [{ answer: longAnswer, streamFor: 'long' }],
    ending: 'answer-done',
    phase: { from: 'first-token', to: 'answer-done' },
  },
  {
    name: 'long-tool',
    what: 'a Bash call runs for a long phase',
    prompt: 'Run the long command.',
    plan: [{ bash: 'long' }, { answer: 'The long command finished.' }],
    ending: 'answer-done',
    phase: { from: 'tool-started', to: 'tool-finished' },
  },
];
