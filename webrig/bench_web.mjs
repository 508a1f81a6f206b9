// make bench-web: a 64 KiB and a 2 KiB update through the page (headless Chromium, the rig's
// serial port on a paced quarv-sim) against the line's model time, beside quarv-flash in the same
// run; the same in a hidden tab; the page's own simulated device; the sizes of the module and the
// page; the time from navigation to the page being ready. The rig's port crosses a WebSocket on
// the page's origin. The browser keeps its own defaults, its throttling of hidden tabs too, and
// is driven over its DevTools pipe alone: an automation library's own instruments (each
// WebSocket frame reported to it, its scripts in every page) cost the page several per cent.
// Usage: node webrig/bench_web.mjs --page DIR --sim EXE --flash EXE --image FILE --work DIR
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, statSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { launchPlainBrowser } from './cdp_browser.mjs';
import { serve } from './serve.mjs';
import { serialBridge } from './serial_bridge.mjs';

const { values: args } = parseArgs({ options: { page: { type: 'string' }, sim: { type: 'string' },
  flash: { type: 'string' }, image: { type: 'string' }, work: { type: 'string' } } });
const BYTE_S = 11 / 115200;
const REQUEST_BYTES = { crc: 13, reset: 5 };
const REPLY_BYTES = { crc: 15, write: 10 };
const READY_LOADS = 9;

// First probe to reset request in the device's log, and the frames between at 11 bits a byte.
function updateTimes(requests) {
  const first = requests[0];
  const reset = requests.find((r) => r.command === 'reset');
  let bytes = 0;
  for (const r of requests.filter((q) => q.time_ms >= first.time_ms && q.time_ms <= reset.time_ms)) {
    if (r !== first) bytes += REQUEST_BYTES[r.command] ?? r.length + 11;
    if (r !== reset) bytes += REPLY_BYTES[r.command];
  }
  return [(reset.time_ms - first.time_ms) / 1000, bytes * BYTE_S];
}

async function withSim(name, run) {
  const link = join(args.work, name);
  const log = `${link}.log`;
  rmSync(log, { force: true });
  const sim = spawn(args.sim, ['--link', link, '--log', log], { stdio: 'ignore' });
  const ended = new Promise((done) => sim.on('exit', done));
  while (!existsSync(link)) await new Promise((done) => setTimeout(done, 10));
  try {
    await run(link);
  } finally {
    sim.kill('SIGTERM');
    await ended;
  }
  return updateTimes(readFileSync(log, 'utf8').trim().split('\n').map(JSON.parse)
    .filter((r) => r.command));
}

const bridge = serialBridge();
const served = await serve(args.page, 0, bridge);
const browser = await launchPlainBrowser();
const ready = [];
const asked = []; // when the browser, the page's markup in, asked for its other files
const roundTrips = [];
// The rig's serial port carries every frame and reply across this; median of 50, in ms.
const ROUND_TRIP = `(async () => { const times = [];
  for (let i = 0; i < 50; i++) { const t = performance.now(); await quarvSerialCall('ping', null);
    times.push(performance.now() - t); }
  return times.sort((a, b) => a - b)[25]; })()`;
const small = join(args.work, 'image-2k.bin');
writeFileSync(small, readFileSync(args.image).subarray(0, 2048));
const rows = [];
const smallRows = [];
const transits = new Map(); // link -> the rig's transit in that update

// Each write's wait since the read answered before it, as the rig saw it and as the page did:
// the difference is the time the bytes spent crossing the rig's socket both ways.
function gapsBeforeWrites(events, isRead, isWrite) {
  const gaps = [];
  let lastRead = null;
  for (const [kind, at, what] of events) {
    if (isRead(kind, what)) lastRead = at;
    else if (isWrite(kind, what)) {
      gaps.push(lastRead === null ? null : at - lastRead);
      lastRead = null;
    }
  }
  return gaps;
}

function rigTransit(rigTimes, pageTimes) {
  const atRig = gapsBeforeWrites(rigTimes, (k) => k === 'read', (k) => k === 'write');
  const atPage = gapsBeforeWrites(pageTimes, (k, n) => k === 'answer' && n > 0,
    (k, op) => k === 'send' && op === 'write');
  const each = atRig.map((gap, i) => (gap === null || atPage[i] == null ? null : gap - atPage[i]))
    .filter((t) => t !== null);
  return { total: each.reduce((sum, t) => sum + t, 0) / 1000,
    median: each.sort((a, b) => a - b)[each.length >> 1] || 0 };
}

// One update in a tab: the image picked, the port connected (the simulated device without a
// link), Update pressed and, hidden, another tab put in front of this one at once.
async function pageUpdate(image, link, { hidden = false } = {}) {
  const page = await browser.open(served.url);
  await page.setUp(image, { bridge, link });
  bridge.times = [];
  await page.evaluate('globalThis.quarvSerialTimes = []; 0');
  const began = performance.now();
  await page.press('#update');
  if (hidden) await page.hide();
  if (await page.evaluate('document.visibilityState') !== (hidden ? 'hidden' : 'visible'))
    throw new Error('the tab was not as asked');
  await page.until("!document.querySelector('#result').hidden", 600000);
  const took = (performance.now() - began) / 1000;
  if (await page.text('#verdict') !== 'OK') throw new Error('the page did not verify');
  if (link && !hidden)
    transits.set(link, rigTransit(bridge.times, await page.evaluate('quarvSerialTimes')));
  bridge.times = null;
  await page.close();
  return took;
}

const flash = (image) => async (link) => {
  const run = spawnSync(args.flash, ['--image', image, link], { stdio: 'ignore' });
  if (run.status !== 0) throw new Error(`quarv-flash exited ${run.status}`);
};

// What the page's simulated device paces itself by: its own clock from start to Done, stepped as
// the page steps it (10 ms a step), in the page's module run here without waiting.
async function simulatedModel(image) {
  const { loadEngine, State, Channel } = await import('../web/engine.js');
  const engine = await loadEngine(readFileSync(join(args.page, 'quarv-web.wasm')),
    { trace: () => {}, status: () => {} });
  if (!engine.loadImage('image.bin', readFileSync(image)).ok) throw new Error('image refused');
  engine.sim.start(0, 0, 0);
  const start = engine.sim.nowUs();
  engine.start(Channel.SimLine);
  for (;;) {
    const state = await engine.step();
    if (state === State.Done) return (engine.sim.nowUs() - start) / 1e6;
    if (state === State.Failed) throw new Error('the simulated update failed');
    engine.sim.advance(10000);
  }
}

const simulatedModelS = await simulatedModel(args.image);
const simulated = [];
let hiddenRow;
try {
  {
    const page = await browser.open(served.url);
    await page.waitFor('document.body?.dataset.ready !== undefined');
    roundTrips.push(await page.evaluate(ROUND_TRIP));
    await page.close();
  }
  rows.push(['page', await withSim('bench-web', (link) => pageUpdate(args.image, link))]);
  rows.push(['quarv-flash', await withSim('bench-flash', flash(args.image))]);
  smallRows.push(['page', await withSim('bench-web-2k', (link) => pageUpdate(small, link))]);
  smallRows.push(['quarv-flash', await withSim('bench-flash-2k', flash(small))]);
  hiddenRow = await withSim('bench-hidden', (link) => pageUpdate(args.image, link, { hidden: true }));
  for (const hidden of [false, true])
    simulated.push(await pageUpdate(args.image, null, { hidden }));
  // The page alone, without the rig's serial port, nothing of the bench's looking into it until
  // its load event and a moment after: the time is the page's own, from navigation to ready.
  // Last, the browser long started, as a user's is; one load to warm it is left out.
  for (let i = 0; i <= READY_LOADS; i++) {
    const page = await browser.open(served.url, { serial: false });
    await new Promise((done) => setTimeout(done, 500));
    await page.waitFor('document.body?.dataset.ready !== undefined');
    if (i > 0) {
      ready.push(Number(await page.evaluate('document.body.dataset.ready')));
      asked.push(await page.evaluate(`Math.round(Math.min(...performance
        .getEntriesByType('resource').map((e) => e.startTime)))`));
    }
    await page.close();
  }
} finally {
  await browser.close();
  await served.close();
}

console.log('64 KiB image, first probe to reset request, programming 0 ms:');
console.log(`  ${''.padEnd(12)} ${'measured'.padStart(10)} ${'model'.padStart(10)} ${'ratio'.padStart(7)}`);
for (const [label, [measured, model]] of rows) {
  console.log(`  ${label.padEnd(12)} ${measured.toFixed(3).padStart(8)} s ${model.toFixed(3)
    .padStart(8)} s ${(measured / model).toFixed(3).padStart(7)}`);
}
// The page with the time its bytes spent crossing the rig's socket taken out, as measured in
// the same update; the rig stands in for the browser's own serial path, which has its own.
const rigOut = (link, [measured, model]) => {
  const transit = transits.get(join(args.work, link));
  console.log(`  ${'less the rig'.padEnd(12)} ${(measured - transit.total).toFixed(3).padStart(8)} s ` +
    `${model.toFixed(3).padStart(8)} s ${((measured - transit.total) / model).toFixed(3).padStart(7)}` +
    `   (the rig's socket, both ways: ${transit.median.toFixed(2)} ms a write, median; ` +
    `${transit.total.toFixed(3)} s in all)`);
};
rigOut('bench-web', rows[0][1]);
console.log(`  ${'page, hidden'.padEnd(12)} ${hiddenRow[0].toFixed(3).padStart(8)} s ` +
  `${hiddenRow[1].toFixed(3).padStart(8)} s ${(hiddenRow[0] / hiddenRow[1]).toFixed(3).padStart(7)}` +
  `   (another tab in front from Update on: against the page in front ` +
  `${(hiddenRow[0] / rows[0][1][0]).toFixed(3)})`);
console.log('2 KiB image, the same:');
for (const [label, [measured, model]] of smallRows) {
  console.log(`  ${label.padEnd(12)} ${measured.toFixed(3).padStart(8)} s ${model.toFixed(3)
    .padStart(8)} s ${(measured / model).toFixed(3).padStart(7)}`);
}
rigOut('bench-web-2k', smallRows[0][1]);
console.log(`  page minus quarv-flash: ${((smallRows[0][1][0] - smallRows[1][1][0]) * 1000).toFixed(0)} ms`);
console.log(`The page's own simulated device, 64 KiB, Update to verdict, against its own clock ` +
  `${simulatedModelS.toFixed(3)} s:`);
for (const [label, took] of [['front tab', simulated[0]], ['hidden tab', simulated[1]]])
  console.log(`  ${label.padEnd(12)} ${took.toFixed(3).padStart(8)} s ${(took / simulatedModelS)
    .toFixed(3).padStart(7)}`);
console.log(`rig's serial round trip over its WebSocket: median ${roundTrips[0].toFixed(2)} ms`);
const files = readdirSync(args.page).filter((f) => !['firmware.json'].includes(f));
const size = (f) => statSync(join(args.page, f)).size;
const total = files.reduce((sum, f) => sum + size(f), 0);
const firstFive = ready.slice(0, 5).sort((a, b) => a - b)[2];
ready.sort((a, b) => a - b);
console.log(`module quarv-web.wasm: ${size('quarv-web.wasm')} bytes (limit 65,536)`);
console.log(`page (${files.length} files, no firmware): ${total} bytes (limit 153,600)`);
console.log(`ready after navigation, ${READY_LOADS} loads: median ${ready[READY_LOADS >> 1]} ms, ` +
  `fastest ${ready[0]} ms, slowest ${ready.at(-1)} ms, median of the first 5 ${firstFive} ms ` +
  `(goal 150 ms, median of 5); its files ` +
  `asked for after ${asked.sort((a, b) => a - b)[READY_LOADS >> 1]} ms (median)`);
