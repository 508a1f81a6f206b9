// The WebAssembly engine in Node: the recorded trace of a typical run replayed through the
// module on the simulated line, the asynchronous byte channel the page uses, and the loader.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { loadEngine, State, Channel } from '../../web/engine.js';
import { lineRead, lineWrite } from '../../web/serial.js';
import { after } from '../../web/clock.js';

const MODULE = readFileSync(process.env.QUARV_WEB_MODULE);
// The dialog's typical run, with the page's link set-up (quarv-flash's) in place of its three
// paced probes: one probe, its reply read whole, then the first block.
const DIALOG = readFileSync(`${process.env.QUARV_TEST_DATA}/typical_run_trace.txt`, 'latin1');
const REPLY = 'RX: 04 2b f6 08 00 00 00 00 00 00 04 b0 01 00 ab\n';
const LINKED = 'REMOTE DEVICE LINK ESTABLISHED\n';
const GOLDEN = `CONTACTING...\n${REPLY}${LINKED}` + DIALOG.slice(DIALOG.indexOf(LINKED) + LINKED.length);

// The job harness's test image: splitmix64 bytes from a seed.
function testImage(length, seed) {
  let state = BigInt(seed);
  const mask = (1n << 64n) - 1n;
  const bytes = new Uint8Array(length);
  for (let i = 0; i < length; i++) {
    state = (state + 0x9E3779B97F4A7C15n) & mask;
    let z = state;
    z = ((z ^ (z >> 30n)) * 0xBF58476D1CE4E5B9n) & mask;
    z = ((z ^ (z >> 27n)) * 0x94D049BB133111EBn) & mask;
    bytes[i] = Number((z ^ (z >> 31n)) & 0xFFn);
  }
  return bytes;
}

function crc16(bytes) {
  let crc = 0xFFFF;
  for (const b of bytes) {
    crc ^= b;
    for (let i = 0; i < 8; i++) crc = crc & 1 ? (crc >>> 1) ^ 0xA001 : crc >>> 1;
  }
  return crc;
}

async function engineWith(host = {}) {
  const seen = { trace: '', statuses: [] };
  const engine = await loadEngine(MODULE, {
    trace: (piece) => { seen.trace += piece; },
    status: (text) => seen.statuses.push(text),
    ...host,
  });
  return { engine, seen };
}

// As the dialog's timer: one step, then 10 ms, until the job ends or the limit passes.
async function runOnSimLine(engine, limitMs = 120000) {
  while (engine.sim.nowUs() < limitMs * 1000) {
    const state = await engine.step();
    if (state === State.Done || state === State.Failed) return state;
    engine.sim.advance(10000);
  }
  return engine.state();
}

test('the module replays the typical run: trace, statuses and flash', async (t) => {
  const cases = [
    { what: 'typical run', flip: 0, end: State.Done },
    { what: 'a flipped bit in block 2', flip: 2, end: State.Failed },
  ];
  for (const c of cases) {
    await t.test(c.what, async () => {
      const { engine, seen } = await engineWith();
      const image = testImage(2012, 7);
      const loaded = engine.loadImage('image.bin', image);
      assert.equal(loaded.ok, true, loaded.error);
      assert.equal(seen.trace, '\nFlash Image Base 0x8000000\nFlash Image Size 0x800 bytes\n');
      seen.trace = '';
      engine.sim.start(c.flip);
      assert.equal(engine.start(Channel.SimLine), true);
      assert.equal(await runOnSimLine(engine), c.end);
      if (c.end === State.Done) {
        assert.equal(seen.trace, GOLDEN);
        assert.deepEqual(seen.statuses, ['Establishing Link...', 'programming 0x8000000',
          'programming 0x8000400', 'Verifying...', 'Program Verified OK',
          'Resetting target...', 'Programming Completed OK']);
      } else {
        assert.match(seen.trace, /CRC FAIL\n$/);
        assert.ok(!seen.statuses.includes('Program Verified OK'));
        assert.equal(seen.statuses.at(-1), 'FAILED');
      }
      assert.equal(engine.sim.crc(loaded.size) === loaded.crc, c.end === State.Done);
      assert.equal(engine.regionCrc(), engine.sim.crc(loaded.size));
    });
  }
});

// A device in JavaScript behind the page's channel, answering after a real wait, so every read
// and sleep suspends the step and resumes it.
function jsDevice() {
  const flash = new Uint8Array(4096);
  let clock = 5000;
  let inbox = [];
  const sent = [];
  const seal = (bytes) => { const c = crc16(bytes); return [...bytes, c & 0xFF, c >> 8]; };
  const answer = (frame) => {
    const word = (at) => ((frame[at] << 24) | (frame[at + 1] << 16) | (frame[at + 2] << 8) |
      frame[at + 3]) >>> 0;
    if (frame[2] === 0xF5) {
      const length = (frame[7] << 8) | frame[8];
      flash.set(frame.subarray(9, 9 + length), word(3) - 0x08000000);
      return seal([4, 0x2B, 0xF5, ...frame.subarray(3, 7), 0]);
    }
    if (frame[2] === 0xF6) {
      const crc = crc16(flash.subarray(0, word(7)));
      return seal([4, 0x2B, 0xF6, ...frame.subarray(3, 11), crc >> 8, crc & 0xFF]);
    }
    return seal([4, 0x2B, 0xF7, 0]);
  };
  return {
    flash, sent,
    host: {
      write: (bytes) => { sent.push(bytes[2]); inbox.push(...answer(bytes)); return bytes.length; },
      read: (count) => new Promise((done) => setTimeout(() => {
        const got = inbox.splice(0, count);
        done(Uint8Array.from(got));
      }, 1)),
      purge: () => { inbox = []; },
      error: () => 0,
      nowMs: () => clock,
      sleep: (ms) => new Promise((done) => setTimeout(() => { clock += ms; done(); }, 1)),
    },
    tick: () => { clock += 10; },
  };
}

test('the page channel: every wait suspends the step, and the update completes', async () => {
  const device = jsDevice();
  const { engine, seen } = await engineWith(device.host);
  const image = testImage(3000, 3);
  assert.equal(engine.loadImage('fw.bin', image).ok, true);
  assert.equal(engine.start(Channel.Page), true);
  let state;
  for (let i = 0; i < 200 && state !== State.Done; i++) {
    state = await engine.step();
    device.tick();
  }
  assert.equal(state, State.Done);
  assert.deepEqual(device.flash.subarray(0, 3072), Uint8Array.from([...image, ...new Uint8Array(72)]));
  // One probe, its reply read before another could go, three blocks, the query and the reset.
  assert.deepEqual(device.sent, [0xF6, 0xF5, 0xF5, 0xF5, 0xF6, 0xF7]);
  assert.match(seen.trace, /CRCs match\n/);
});

// A worker that fails once made, as one whose file the host does not serve: every timer then
// runs on the page's own.
let failWorker;
globalThis.Worker = class {
  constructor() { failWorker = () => this.onerror?.({}); }
  postMessage() {}
};

test('timers held by a worker that fails keep their time, and their cancel', async () => {
  const fired = [];
  const began = performance.now();
  after(60, () => fired.push(['kept', performance.now() - began]));
  const cancel = after(30, () => fired.push(['cancelled']));
  cancel();
  after(0, () => fired.push(['at once']));
  const cancelLater = after(40, () => fired.push(['cancelled once moved']));
  failWorker();
  cancelLater();
  after(10, () => fired.push(['after the failure']));
  await new Promise((done) => setTimeout(done, 120));
  assert.deepEqual(fired.map(([name]) => name), ['at once', 'after the failure', 'kept']);
  assert.ok(fired[2][1] >= 55, `kept fired after ${fired[2][1]} ms`);
});

// The page's reads on a line, held up as a busy page holds up their timers: each case is where
// bytes land and what the read must give back, and leave for the next one.
test('a read whose timer comes late leaves later bytes to the next read', async () => {
  const isReply = (bytes) => bytes.length >= 10;
  const hold = (ms) => { const until = performance.now() + ms; while (performance.now() < until); };
  const cases = [
    { name: 'a reply in pieces after the total time', early: [], lateMs: 130, late: [1, 2, 3], got: 0, left: 3 },
    { name: 'a piece after the interval', early: [9, 9], lateMs: 60, late: [1, 2, 3], got: 2, left: 3 },
    { name: 'a whole reply in time', early: [], lateMs: 0, late: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10], got: 10, left: 0 },
  ];
  for (const c of cases) {
    const line = { rx: [], wakers: new Set(), lost: null, closed: false };
    const wake = () => [...line.wakers].forEach((w) => w());
    const reading = lineRead(line, 1040, isReply);
    line.rx.push(...c.early);
    wake();
    hold(c.lateMs);
    line.rx.push(...c.late);
    wake();
    assert.equal((await reading).length, c.got, c.name);
    assert.equal(line.rx.length, c.left, c.name);
  }
});

// A read's 100 ms count from when what was written before it has crossed the line: a block's
// reply, 99 ms of line behind it, is its first read's, and a probe's reads keep their pace.
test('a read after a write waits out the frame on the line first', async () => {
  const isReply = (bytes) => bytes.length >= 10;
  const cases = [
    { name: 'a block answered 105 ms after it went', written: 1035, replyMs: 105, got: 10 },
    { name: 'a block not answered', written: 1035, got: 0, atLeastMs: 198 },
    { name: 'a probe not answered', written: 13, got: 0, atLeastMs: 100, underMs: 180 },
  ];
  for (const c of cases) {
    const line = { rx: [], wakers: new Set(), lost: null, closed: false, sentBy: 0,
      writer: { write: () => Promise.resolve() } };
    const began = performance.now();
    lineWrite(line, new Uint8Array(c.written));
    const reading = lineRead(line, 1040, isReply);
    if (c.replyMs) setTimeout(() => {
      line.rx.push(...new Uint8Array(10).fill(7));
      [...line.wakers].forEach((wake) => wake());
    }, c.replyMs);
    const got = await reading;
    const took = performance.now() - began;
    assert.equal(got.length, c.got, c.name);
    if (c.atLeastMs) assert.ok(took >= c.atLeastMs, `${c.name}: ended after ${took} ms`);
    if (c.underMs) assert.ok(took < c.underMs, `${c.name}: ended after ${took} ms`);
  }
});

test('the loader: formats, refusals, and a refused file keeps the image shown', async () => {
  const { engine } = await engineWith();
  const hex = ':020000040800F2\n:0400000001020304F2\n:00000001FF\n';
  const cases = [
    { name: 'fw.hex', data: hex, format: 'Intel HEX', length: 4 },
    { name: 'README.txt', data: 'Just some words\nand more words\n', error: /README\.txt/ },
    { name: 'cut.hex', data: hex.slice(0, 40), error: /cut\.hex/ },
    { name: 'empty.bin', data: '', error: /empty/ },
  ];
  for (const c of cases) {
    const loaded = engine.loadImage(c.name, new TextEncoder().encode(c.data));
    if (c.error) {
      assert.equal(loaded.ok, false, c.name);
      assert.match(loaded.error, c.error);
    } else {
      assert.equal(loaded.ok, true, loaded.error);
      assert.equal(loaded.format, c.format);
      assert.equal(loaded.length, c.length);
      assert.equal(loaded.size, 1024);
    }
  }
  // Still the HEX file's image after three refusals.
  const again = engine.loadImage('fw.hex', new TextEncoder().encode(hex));
  assert.equal(again.crc, crc16([1, 2, 3, 4, ...new Uint8Array(1020)]));
  assert.equal(engine.formatOf(new TextEncoder().encode(':04')), 1);
  assert.equal(engine.limitOf(0), 16 << 20);
});

test('nothing starts without an image', async () => {
  const { engine } = await engineWith();
  assert.equal(engine.start(Channel.Page), false);
});

// A file over the loader's limit for its kind is refused from its size, never read whole.
test('picked files over the limit are refused before they are read', async () => {
  const { loadPicked } = await import('../../web/firmware.js');
  const { engine } = await engineWith();
  const cases = [
    { head: [0x12, 0x34, 0, 0], size: (16 << 20) + 1, refused: /16 MiB any raw firmware/ },
    { head: [...':02000004'].map((c) => c.charCodeAt(0)), size: (128 << 20) + 1,
      refused: /128 MiB any Intel HEX firmware/ },
    { head: [...':02000004'].map((c) => c.charCodeAt(0)), size: 16 << 20, refused: null },
  ];
  for (const c of cases) {
    let readWhole = false;
    const file = { name: 'big.bin', size: c.size,
      slice: () => new Blob([Uint8Array.from(c.head)]),
      arrayBuffer: async () => { readWhole = true; return new ArrayBuffer(0); } };
    const outcome = await loadPicked(engine, file).then(() => null, (error) => error.message);
    if (c.refused) {
      assert.match(outcome, c.refused);
      assert.equal(readWhole, false);
    } else {
      assert.equal(readWhole, true);
    }
  }
});
