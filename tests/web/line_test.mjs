// The page's line faults in headless Chromium against quarv-sim: a device pulled, a tab closed,
// a device that never answers, a line that gives back what is sent.
// Usage: QUARV_WEB_PAGE=DIR QUARV_SIM=EXE node --test line_test.mjs
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { rig, useRig, startSim, image, openPage, text, pick, connect, updateTo, startWriting }
  from './page_rig.mjs';

useRig();

test('a device pulled mid-update is lost; plugged back, Connect works without reload', async () => {
  const { file, padded } = image(20000, 3);
  const first = await startSim('pulled');
  const page = await openPage();
  await pick(page, file);
  await connect(page, first.link);
  await startWriting(page);
  first.process.kill('SIGKILL');
  await page.waitForSelector('#result:not([hidden])', { timeout: 10000 });
  assert.equal(await text(page, '#verdict'), 'DEVICE LOST');
  assert.match(await text(page, '#advice'), /Plug it back in, press Connect/);
  const again = await startSim('pulled');
  await connect(page, again.link);
  await updateTo(page, 'OK');
  assert.deepEqual(new Uint8Array(await again.flash(padded.length)), padded);
  // Pulled while nothing is written, the port's reads alone tell the page.
  await page.waitForFunction(() => /^Device lost/.test(document.querySelector('#device').textContent));
  await page.close();
});

test('a tab closed mid-update leaves nothing running on the port', async () => {
  const { file } = image(30000, 6);
  const sim = await startSim('closed');
  const page = await openPage();
  await pick(page, file);
  await connect(page, sim.link);
  await startWriting(page);
  await page.close();
  await new Promise((done) => setTimeout(done, 300));
  const sent = sim.requests().length;
  await new Promise((done) => setTimeout(done, 700));
  assert.equal(sim.requests().length, sent);
  assert.ok(sim.requests().filter((r) => r.command === 'write').length < 30);
  assert.equal(rig.browser.bridge.ports.get(sim.link).open, false);
});

test('a device that never answers: the prompt stays, Cancel ends it, the port stays usable',
  async () => {
    const { file } = image(1500, 4);
    const sim = await startSim('silent', '--power-on-signal');
    const page = await openPage();
    await pick(page, file);
    await connect(page, sim.link);
    await page.click('#update');
    await page.waitForTimeout(1200);
    assert.equal(await text(page, '#state'), 'Waiting for the device: power it now');
    // A second tab on the same port is told it is busy.
    const other = await openPage();
    await connect(other, sim.link);
    assert.match(await text(other, '#problem'), /in use by another program or browser tab/);
    await other.close();
    const cancelled = Date.now();
    await page.click('#cancel');
    await page.waitForSelector('#result:not([hidden])');
    assert.ok(Date.now() - cancelled < 1000);
    assert.equal(await text(page, '#verdict'), 'CANCELLED');
    sim.process.kill('SIGUSR1');
    await updateTo(page, 'OK');
    await page.close();
  });

const QUIET = 'No answer from the device for 10 s: check the adapter, the cable and the power.';
const ECHO = 'The line gives back what is sent: the adapter is looped back, or no device is on it.';

test('a line that does not answer is named, the update going on; the page stays usable',
  async () => {
    const errors = [];
    const page = await openPage();
    page.on('pageerror', (error) => errors.push(error.message));
    await pick(page, image(1500, 7).file);
    await connect(page, 'loopback:plug');
    await page.click('#update');
    const lineSays = (words) => page.waitForFunction((w) =>
      document.querySelector('#line').textContent.includes(w), words, { timeout: 15000 });
    await lineSays(ECHO);
    assert.equal(await text(page, '#line'), ECHO);
    // Echoes pass for replies, so the job reaches the query; nothing has answered since the start.
    await lineSays(QUIET);
    assert.equal(await text(page, '#line'), `${QUIET} ${ECHO}`);
    assert.equal(await text(page, '#state'), 'Verifying');
    assert.equal(await page.isDisabled('#cancel'), false);
    await page.click('#cancel');
    await page.waitForSelector('#result:not([hidden])');
    assert.equal(await text(page, '#verdict'), 'CANCELLED');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#log')]);
    const warnings = readFileSync(await download.path(), 'utf8').trim().split('\n').map(JSON.parse)
      .filter((e) => e.event === 'warning');
    assert.deepEqual(warnings.map((e) => e.text), [ECHO, QUIET]);
    assert.ok(warnings[0].echoes > 0 && warnings[1].quiet_ms >= 10000, JSON.stringify(warnings));
    const { file, padded } = image(2500, 8);
    const sim = await startSim('after-loopback');
    await pick(page, file);
    await connect(page, sim.link);
    await updateTo(page, 'OK');
    assert.equal(await page.isHidden('#line'), true);
    assert.deepEqual(errors, []);
    await page.close();
    assert.deepEqual(new Uint8Array(await sim.flash(padded.length)), padded);
  });
