// make bench-web: a 64 KiB update through the page (headless Chromium, the rig's serial port
// on a paced quarv-sim) against the line's model time, beside quarv-flash in the same run; the
// sizes of the module and the page; the time from navigation to the page being ready.
// Usage: node webrig/bench_web.mjs --page DIR --sim EXE --flash EXE --image FILE --work DIR
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, statSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { launchBrowser } from './browser.mjs';
import { launchPlainBrowser } from './cdp_browser.mjs';
import { serve } from './serve.mjs';

const { values: args } = parseArgs({ options: { page: { type: 'string' }, sim: { type: 'string' },
  flash: { type: 'string' }, image: { type: 'string' }, work: { type: 'string' } } });
const BYTE_S = 11 / 115200;
const REQUEST_BYTES = { crc: 13, reset: 5 };
const REPLY_BYTES = { crc: 15, write: 10 };

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

const served = await serve(args.page);
const browser = await launchBrowser();
const ready = [];
const roundTrips = [];
// The rig's serial port carries every frame and reply across this; median of 50, in ms.
const ROUND_TRIP = `(async () => { const times = [];
  for (let i = 0; i < 50; i++) { const t = performance.now(); await quarvSerial('ping', null);
    times.push(performance.now() - t); }
  return times.sort((a, b) => a - b)[25]; })()`;
const rows = [];
try {
  for (let i = 0; i < 5; i++) {
    const page = await browser.context.newPage();
    await page.goto(served.url);
    await page.waitForSelector('body[data-ready]');
    ready.push(Number(await page.getAttribute('body', 'data-ready')));
    await page.close();
  }
  {
    const page = await browser.context.newPage();
    await page.goto(served.url);
    await page.waitForSelector('body[data-ready]');
    roundTrips.push(['automation binding', await page.evaluate(ROUND_TRIP)]);
    await page.close();
  }
  rows.push(['page', await withSim('bench-web', async (link) => {
    const page = await browser.context.newPage();
    await page.goto(served.url);
    await page.waitForSelector('body[data-ready]');
    await page.setInputFiles('#file', args.image);
    await page.waitForFunction(() => /CRC/.test(document.querySelector('#firmware').textContent));
    browser.bridge.offer = link;
    await page.click('#connect');
    await page.waitForFunction(() => /Connected/.test(document.querySelector('#device').textContent));
    await page.click('#update');
    await page.waitForSelector('#result:not([hidden])', { timeout: 120000 });
    if (await page.textContent('#verdict') !== 'OK') throw new Error('the page did not verify');
    await page.close();
  })]);
  rows.push(['quarv-flash', await withSim('bench-flash', async (link) => {
    const run = spawnSync(args.flash, ['--image', args.image, link], { stdio: 'ignore' });
    if (run.status !== 0) throw new Error(`quarv-flash exited ${run.status}`);
  })]);
} finally {
  await browser.close();
}

// The same update in a browser with its own defaults, the tab in front and then behind another
// one from the moment Update is pressed: timers there run once a second at most.
const plain = await launchPlainBrowser();
const tabs = [];
try {
  for (const hidden of [false, true]) {
    tabs.push([hidden ? 'hidden tab' : 'front tab', await withSim(`bench-tab-${hidden}`, async (link) => {
      const page = await plain.open(served.url);
      const text = (id) => `document.querySelector('${id}').textContent`;
      await page.waitFor("document.body?.dataset.ready !== undefined");
      await page.pick(args.image);
      await page.waitFor(`/CRC/.test(${text('#firmware')})`);
      plain.bridge.offer = link;
      if (!hidden) roundTrips.push(['DevTools binding', await page.evaluate(ROUND_TRIP)]);
      await page.evaluate("document.querySelector('#connect').click()");
      await page.waitFor(`/Connected/.test(${text('#device')})`);
      await page.evaluate("document.querySelector('#update').click()");
      if (hidden) await page.hide();
      const seen = await page.evaluate('document.visibilityState');
      if (seen !== (hidden ? 'hidden' : 'visible')) throw new Error(`the tab was ${seen}`);
      await page.waitFor("!document.querySelector('#result').hidden");
      if (await page.evaluate(text('#verdict')) !== 'OK') throw new Error('the page did not verify');
      await page.close();
    })]);
  }
} finally {
  await plain.close();
  await served.close();
}

console.log('64 KiB image, first probe to reset request, programming 0 ms:');
console.log(`  ${''.padEnd(12)} ${'measured'.padStart(10)} ${'model'.padStart(10)} ${'ratio'.padStart(7)}`);
for (const [label, [measured, model]] of rows) {
  console.log(`  ${label.padEnd(12)} ${measured.toFixed(3).padStart(8)} s ${model.toFixed(3)
    .padStart(8)} s ${(measured / model).toFixed(3).padStart(7)}`);
}
console.log('The same, the browser\'s throttling of hidden tabs left on:');
for (const [label, [measured, model]] of tabs) {
  console.log(`  ${label.padEnd(12)} ${measured.toFixed(3).padStart(8)} s ${model.toFixed(3)
    .padStart(8)} s ${(measured / model).toFixed(3).padStart(7)}`);
}
console.log(`  hidden against front: ${(tabs[1][1][0] / tabs[0][1][0]).toFixed(3)}`);
for (const [label, ms] of roundTrips)
  console.log(`rig's serial round trip through the ${label}: median ${ms.toFixed(2)} ms`);
const files = readdirSync(args.page).filter((f) => !['firmware.json'].includes(f));
const size = (f) => statSync(join(args.page, f)).size;
const total = files.reduce((sum, f) => sum + size(f), 0);
ready.sort((a, b) => a - b);
console.log(`module quarv-web.wasm: ${size('quarv-web.wasm')} bytes (limit 65,536)`);
console.log(`page (${files.length} files, no firmware): ${total} bytes (limit 153,600)`);
console.log(`ready after navigation, 5 loads: median ${ready[2]} ms, fastest ${ready[0]} ms ` +
  '(limit 200 ms)');
