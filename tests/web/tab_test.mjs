// The page in a browser with its own defaults, its throttling of hidden tabs on, the rig's port
// over its WebSocket: a tab hidden once Update is pressed keeps the pace of the front one.
// Usage: QUARV_WEB_PAGE=DIR QUARV_SIM=EXE node --test tab_test.mjs
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { launchPlainBrowser } from '../../webrig/cdp_browser.mjs';
import { serve } from '../../webrig/serve.mjs';
import { serialBridge } from '../../webrig/serial_bridge.mjs';

const work = mkdtempSync(join(tmpdir(), 'quarv-tab-test-'));
const bridge = serialBridge();
let browser, server;
const sims = [];

before(async () => {
  browser = await launchPlainBrowser();
  server = await serve(process.env.QUARV_WEB_PAGE, 0, bridge);
});
after(async () => {
  for (const sim of sims) sim.kill('SIGKILL');
  await browser.close();
  await server.close();
  rmSync(work, { recursive: true, force: true });
});

function image(length) {
  const bytes = Buffer.alloc(length);
  for (let i = 0; i < length; i++) bytes[i] = (i * 7 + (i >> 8)) & 0xff;
  const file = join(work, `fw-${length}.bin`);
  writeFileSync(file, bytes);
  return { file, bytes };
}

// Opens the page with the image picked and the port at link connected (the simulated device
// without one), then Update, and puts another tab in front unless shown; resolves with the
// verdict, the seconds it took, and what the page shows.
async function hiddenUpdate(file, link, waitMs, shownTab = false) {
  const page = await browser.open(server.url);
  await page.setUp(file, { bridge, link });
  const began = performance.now();
  await page.press('#update');
  if (!shownTab) await page.hide();
  assert.equal(await page.evaluate('document.visibilityState'), shownTab ? 'visible' : 'hidden');
  await page.waitFor("!document.querySelector('#result').hidden", waitMs);
  const seconds = (performance.now() - began) / 1000;
  const verdict = await page.text('#verdict');
  // Drawn whole with the verdict, hidden or not; shown again, nothing drawn over it.
  const trace = await page.text('#trace');
  await page.show();
  await page.waitFor("document.visibilityState === 'visible'");
  await page.evaluate('new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)))');
  const state = await page.text('#state');
  await page.close();
  return { verdict, seconds, state, trace };
}

test('hidden on a port: probes keep their pace until the device is powered, and it verifies',
  async () => {
    const { file, bytes } = image(3000);
    const link = join(work, 'port');
    const dump = `${link}.bin`;
    const sim = spawn(process.env.QUARV_SIM, ['--link', link, '--dump', dump, '--power-off-ms', '5000'],
      { stdio: 'ignore' });
    sims.push(sim);
    const ended = new Promise((done) => sim.on('exit', done));
    while (!existsSync(link)) await new Promise((done) => setTimeout(done, 10));
    bridge.times = [];
    const result = await hiddenUpdate(file, link, 60000);
    assert.deepEqual([result.verdict, result.state], ['OK', 'Done']);
    assert.match(result.trace, /CRCs match\n[^]*bytes received & OK\n$/);
    // Held to the page's own timers, a hidden tab would probe once a second at most; on the
    // worker's it probes about three times a second.
    const firstAnswer = bridge.times.findIndex(([kind]) => kind === 'read');
    const probes = bridge.times.slice(0, firstAnswer).filter(([kind]) => kind === 'write')
      .map(([, at]) => at);
    const perSecond = (probes.length - 1) / ((probes.at(-1) - probes[0]) / 1000);
    assert.ok(probes.length >= 4 && perSecond >= 2, `${probes.length} probes, ${perSecond} a second`);
    bridge.times = null;
    sim.kill('SIGTERM');
    await ended;
    assert.deepEqual(readFileSync(dump).subarray(0, bytes.length), bytes);
  });

test('hidden with the simulated device: it keeps the pace of the front tab', async () => {
  // Some hundred steps: held to the page's own timers, once a second each, they take minutes.
  const { file } = image(16384);
  const front = await hiddenUpdate(file, null, 60000, true);
  const hidden = await hiddenUpdate(file, null, 60000);
  assert.deepEqual([front.verdict, hidden.verdict], ['OK', 'OK']);
  assert.ok(hidden.seconds < 2 * front.seconds + 1, `hidden ${hidden.seconds} s, front ${front.seconds} s`);
});
