// One update: a step as soon as the one before has ended, until the job ends; and what the user
// sees of it in words. On a line, each step waits on the port's own reads; the timers behind
// those reads, and the simulated device's pacing, are the worker's (clock.js), which a browser
// does not slow in a hidden tab as it slows the page's own.
import { after } from './clock.js';
import { State, Channel } from './engine.js';
import { lineRead, lineWrite, linePurge, lineSleep, lineCancel } from './serial.js';

const TICK_MS = 10; // the simulated device's clock moves on by this much a step

// What the engine's facts of the line say to the user; the engine goes on regardless.
export const LINE_NOTES = {
  quiet: 'No answer from the device for 10 s: check the adapter, the cable and the power.',
  echo: 'The line gives back what is sent: the adapter is looped back, or no device is on it.',
};
export function lineNotes(engine) {
  const notes = [];
  const quietMs = engine.quietMs();
  if (quietMs >= engine.noAnswerMs) notes.push({ text: LINE_NOTES.quiet, fields: { quiet_ms: quietMs } });
  const echoes = engine.echoes();
  if (echoes > 0) notes.push({ text: LINE_NOTES.echo, fields: { echoes } });
  return notes;
}

// The engine's status texts as the page says them.
export function stateWords(status) {
  if (status.startsWith('programming')) return 'Writing';
  return { 'Contacting Device...': 'Contacting the device',
    'Establishing Link...': 'Waiting for the device: power it now',
    'Verifying...': 'Verifying', 'Program Verified OK': 'Verified',
    'Resetting target...': 'Resetting', 'Programming Completed OK': 'Done',
    FAILED: 'Failed' }[status] || status;
}

export const PHASES = { [State.Start]: 'contacting', [State.Contact]: 'contacting',
  [State.AwaitLink]: 'contacting', [State.Writing]: 'writing', [State.Verifying]: 'verifying',
  [State.Resetting]: 'resetting' };

// The engine's channel on a Web Serial line.
export function lineHost(engine, line, report) {
  return { read: (count) => lineRead(line, count, engine.isReply),
    write: (bytes) => lineWrite(line, bytes), purge: () => linePurge(line),
    error: () => (line.lost ? 1 : 0), nowMs: () => Math.floor(performance.now()),
    sleep: (ms) => lineSleep(line, ms), ...report };
}

// A wait that cancel() cuts short.
function pause(run, ms) {
  return new Promise((done) => {
    const cancelTimer = after(Math.max(0, ms), done);
    run.wake = () => { cancelTimer(); done(); };
  });
}

// One turn of the event loop, so clicks and drawing go on between steps: a message is a task of
// its own, which no hidden tab holds back as it holds back timers.
const turns = globalThis.MessageChannel ? new MessageChannel() : null;
function nextTurn(run) {
  if (!turns) return pause(run, 0);
  return new Promise((done) => {
    run.wake = done;
    turns.port1.onmessage = () => done();
    turns.port2.postMessage(0);
  });
}

export function cancelUpdate(run) {
  run.cancelled = true;
  if (run.line) lineCancel(run.line, true);
  run.wake?.();
}

// target: { line } for a port, { simulated: true } for the device model in the module.
// onTick(state, offset) after each step. Resolves with { verdict, deviceCrc, detail }.
export async function runUpdate(engine, target, onTick) {
  const run = target.run;
  if (target.line) lineCancel(target.line, false);
  if (target.simulated) engine.sim.start(target.flipWrite || 0, 0, 0);
  engine.start(target.simulated ? Channel.SimLine : Channel.Page);
  const realStart = performance.now();
  const virtualStart = target.simulated ? engine.sim.nowUs() : 0;
  let previous = State.Start;
  let deviceCrc = -1;
  for (;;) {
    const state = await engine.step();
    if (previous === State.Verifying && state !== State.Verifying) deviceCrc = engine.regionCrc();
    previous = state;
    onTick(state, engine.offset());
    if (state === State.Done) return { verdict: 'OK', deviceCrc };
    if (state === State.Failed) return { verdict: 'FAILED', deviceCrc };
    if (target.line?.lost) {
      engine.cancel();
      return { verdict: 'PORT LOST', deviceCrc, detail: 'device lost', phase: PHASES[state] };
    }
    if (run.cancelled) {
      engine.cancel();
      return { verdict: 'INTERRUPTED', deviceCrc, detail: 'cancelled', phase: PHASES[state] };
    }
    if (target.simulated) {
      // The model's clock runs ahead; the page holds it to the real one, as the line would.
      engine.sim.advance(TICK_MS * 1000);
      const ahead = (engine.sim.nowUs() - virtualStart) / 1000 - (performance.now() - realStart);
      await pause(run, ahead);
    } else if (!engine.waited) {
      // A step that waited on the port has let clicks and drawing in already; another turn
      // here would only hold back the next frame to the device.
      await nextTurn(run);
    }
  }
}
