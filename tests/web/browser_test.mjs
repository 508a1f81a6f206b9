// The page in headless Chromium against quarv-sim on a pseudo-terminal, through the rig's
// injected navigator.serial. Usage: QUARV_WEB_PAGE=DIR QUARV_SIM=EXE node --test browser_test.mjs
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { launchBrowser } from '../../webrig/browser.mjs';
import { serve } from '../../webrig/serve.mjs';

const work = mkdtempSync(join(tmpdir(), 'quarv-web-test-'));
let browser, server;
const sims = [];

before(async () => {
  browser = await launchBrowser();
  server = await serve(process.env.QUARV_WEB_PAGE, 0, browser.bridge);
});
after(async () => {
  for (const sim of sims) sim.process.kill('SIGKILL');
  await browser.close();
  await server.close();
  rmSync(work, { recursive: true, force: true });
});

async function startSim(name, ...options) {
  const link = join(work, name);
  const dump = link + '.bin';
  const log = link + '.log';
  const child = spawn(process.env.QUARV_SIM, ['--link', link, '--dump', dump, '--log', log, ...options],
    { stdio: 'ignore' });
  const sim = { link, process: child, ended: new Promise((done) => child.on('exit', done)) };
  sims.push(sim);
  while (!existsSync(link)) await new Promise((done) => setTimeout(done, 10));
  sim.requests = () => readFileSync(log, 'utf8').trim().split('\n').map(JSON.parse)
    .filter((r) => r.command);
  sim.flash = async (length) => {
    child.kill('SIGTERM');
    await sim.ended;
    return readFileSync(dump).subarray(0, length);
  };
  return sim;
}

// Random bytes padded as the loader pads them; file holds them unpadded.
function image(length, seed) {
  const bytes = new Uint8Array(Math.ceil(length / 1024) * 1024);
  for (let i = 0; i < length; i++) bytes[i] = (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24;
  const file = join(work, `fw-${length}-${seed}.bin`);
  writeFileSync(file, bytes.subarray(0, length));
  return { file, padded: bytes };
}

async function openPage(query = '') {
  const page = await browser.context.newPage();
  await page.goto(server.url + query);
  await page.waitForSelector('body[data-ready]');
  return page;
}

const text = (page, id) => page.textContent(id);

// Picks a file and waits for the page's verdict on it, which names it either way.
async function pick(page, file) {
  const name = typeof file === 'string' ? file.split('/').pop() : file.name;
  await page.setInputFiles('#file', file);
  await page.waitForFunction((n) => ['#firmware', '#problem'].some((id) =>
    document.querySelector(id).textContent.includes(n)), name);
}

async function connect(page, link) {
  browser.bridge.offer = link;
  await page.click('#connect');
  await page.waitForFunction(() => !document.querySelector('#device').textContent
    .startsWith('No device') || !document.querySelector('#problem').hidden);
}

async function updateTo(page, verdict) {
  await page.click('#update');
  await page.waitForSelector('#result:not([hidden])', { timeout: 30000 });
  assert.equal(await text(page, '#verdict'), verdict, await text(page, '#advice'));
}

test('a whole update of a multi-block image: flash, line settings, result and log', async () => {
  const { file, padded } = image(5000, 1);
  const sim = await startSim('whole');
  const page = await openPage();
  await pick(page, file);
  const shown = /raw binary, 0x08000000-0x08001387, 5000 bytes \(5120 padded\)/;
  assert.match(await text(page, '#firmware'), shown);
  // A picture picked after it is refused, and the image shown stays the one written.
  await pick(page, { name: 'photo.png', mimeType: 'image/png',
    buffer: Buffer.from('89504e470d0a1a0a0000000d49484452', 'hex') });
  assert.match(await text(page, '#problem'), /^Not firmware: photo\.png is a PNG picture, not firmware\./);
  assert.match(await text(page, '#firmware'), shown);
  // Every reply reaches the page in chunks of 3 bytes, as USB adapters hand them over.
  browser.bridge.pieces.set(sim.link, 3);
  await connect(page, sim.link);
  await updateTo(page, 'OK');
  assert.doesNotMatch(await text(page, '#trace'), /TIMEOUT/);
  assert.equal(sim.requests().filter((r) => r.command === 'write').length, 5); // none resent
  assert.match(await text(page, '#advice'), /CRC 0x[0-9a-f]{4}, the image's/);
  assert.equal(await text(page, '#state'), 'Done');
  const port = browser.bridge.ports.get(sim.link);
  assert.deepEqual([port.options.baudRate, port.options.dataBits, port.options.parity,
    port.options.stopBits], [115200, 8, 'even', 1]);
  assert.deepEqual(port.signals[0], { dataTerminalReady: false, requestToSend: false });
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#log')]);
  const events = readFileSync(await download.path(), 'utf8').trim().split('\n').map(JSON.parse);
  const result = events.find((e) => e.event === 'result');
  assert.equal(result.text, 'OK');
  assert.equal(result.device_crc, result.image_crc);
  assert.ok(events.some((e) => e.event === 'trace' && e.text === 'CRCs match'));
  assert.equal(events.find((e) => e.event === 'image').padded_size, 5120);
  await page.close();
  assert.deepEqual(new Uint8Array(await sim.flash(5120)), padded);
});

test('a flipped bit is never OK: the device CRC is shown beside the image\'s', async () => {
  const { file } = image(3000, 2);
  const sim = await startSim('flip', '--flip-write', '2:5');
  const page = await openPage();
  await pick(page, file);
  await connect(page, sim.link);
  await updateTo(page, 'FAILED');
  // quarv-flash's link set-up: one probe, its reply read, the first block at once. The device
  // logs a request once it is in: the reply and the block take 100 ms on the line, and the
  // dialog would pause 100 ms more.
  const [probe, first] = sim.requests();
  assert.deepEqual([probe.command, first.command], ['crc', 'write']);
  assert.ok(first.time_ms - probe.time_ms < 180, `${first.time_ms - probe.time_ms} ms`);
  assert.match(await text(page, '#trace'), /^CONTACTING\.\.\.\nRX: [0-9a-f ]+\nREMOTE DEVICE LINK ESTABLISHED\nPROG ADDR 0x8000000/);
  assert.match(await text(page, '#advice'), /reports CRC 0x[0-9a-f]{4}, not the image's 0x/);
  assert.doesNotMatch(await text(page, '#trace'), /CRCs match/);
  await page.close();
});

test('a device pulled mid-update is lost; plugged back, Connect works without reload', async () => {
  const { file, padded } = image(20000, 3);
  const first = await startSim('pulled');
  const page = await openPage();
  await pick(page, file);
  await connect(page, first.link);
  await page.click('#update');
  await page.waitForFunction(() => document.querySelector('#state').textContent === 'Writing');
  first.process.kill('SIGKILL');
  await page.waitForSelector('#result:not([hidden])', { timeout: 10000 });
  assert.equal(await text(page, '#verdict'), 'DEVICE LOST');
  assert.match(await text(page, '#advice'), /Plug it back in, press Connect/);
  const again = await startSim('pulled');
  await connect(page, again.link);
  await updateTo(page, 'OK');
  await page.close();
  assert.deepEqual(new Uint8Array(await again.flash(padded.length)), padded);
});

test('a tab closed mid-update leaves nothing running on the port', async () => {
  const { file } = image(30000, 6);
  const sim = await startSim('closed');
  const page = await openPage();
  await pick(page, file);
  await connect(page, sim.link);
  await page.click('#update');
  await page.waitForFunction(() => document.querySelector('#state').textContent === 'Writing');
  await page.close();
  await new Promise((done) => setTimeout(done, 300));
  const sent = sim.requests().length;
  await new Promise((done) => setTimeout(done, 700));
  assert.equal(sim.requests().length, sent);
  assert.ok(sim.requests().filter((r) => r.command === 'write').length < 30);
  assert.equal(browser.bridge.ports.get(sim.link).open, false);
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

test('firmware files: HEX accepted, text refused in words, picker closed', async () => {
  const page = await openPage();
  const cases = [
    { name: 'notes.txt', data: 'Release notes\nnothing here is firmware\n',
      problem: /Not firmware: .*notes\.txt is all printable text.*Pick a raw binary, Intel HEX/ },
    { name: 'fw.hex', data: ':020000040800F2\n:0400000001020304F2\n:00000001FF\n',
      firmware: /fw\.hex \(chosen file\): Intel HEX, 0x08000000-0x08000003, 4 bytes/ },
    { name: 'README', data: 'not firmware either\n', problem: /Not firmware: .*README/,
      firmware: /fw\.hex/ },
  ];
  for (const c of cases) {
    await pick(page, { name: c.name, mimeType: 'text/plain', buffer: Buffer.from(c.data) });
    if (c.problem) assert.match(await text(page, '#problem'), c.problem);
    if (c.firmware) assert.match(await text(page, '#firmware'), c.firmware);
  }
  await connect(page, null);
  assert.match(await text(page, '#problem'), /No port was chosen/);
  assert.equal(await page.isDisabled('#update'), true);
  await page.close();
});

test('a browser without Web Serial is told which browsers have it', async () => {
  const page = await openPage('?quarv-no-serial');
  assert.match(await text(page, '#problem'), /Chrome, Edge or Opera .*Firefox 151/);
  assert.equal(await page.isDisabled('#connect'), true);
  await page.close();
});

test('the published page carries its image; a manifest that lies or reaches out is refused',
  async () => {
    const { execFileSync } = await import('node:child_process');
    const site = join(work, 'site');
    mkdirSync(site);
    const { file } = image(4000, 5);
    const publish = (dir, from) => execFileSync(process.env.QUARV_STAMP, ['--web',
      join(site, dir), '--image', from, '--page', process.env.QUARV_WEB_PAGE]);
    publish('good', file);
    const manifest = JSON.parse(readFileSync(join(site, 'good', 'firmware.json'), 'utf8'));
    // Images whose own names the page could not take, and a HEX file, whose size is not the
    // image's: each published so that the page accepts it, the page itself intact.
    const renamed = (name) => {
      const copy = join(work, name);
      writeFileSync(copy, readFileSync(file));
      return copy;
    };
    const hex = join(process.env.QUARV_STAMP, '../../tests/loader/oracle_fw.hex');
    const variants = [
      { dir: 'good', firmware: /fw-4000-\d+\.bin \(published with this page.*4000 bytes \(4096 padded\), CRC/ },
      { dir: 'hex', publish: hex, firmware: /^oracle_fw\.hex \(published with this page.*Intel HEX/ },
      { dir: 'dot', publish: renamed('.fw.bin'), firmware: /^firmware\.fw\.bin \(published.*4000 bytes/ },
      { dir: 'index', publish: renamed('index.html'), firmware: /^firmware-index\.html \(published/ },
      { dir: 'manifest', publish: renamed('firmware.json'), firmware: /^firmware-firmware\.json \(published/ },
      { dir: 'outside', change: { file: '../good/firmware.json' }, problem: /not a file in the page's own folder/ },
      { dir: 'climbs', change: { file: 'x/../../good/fw.bin' }, problem: /not a file in the page's own folder/ },
      { dir: 'parent', change: { file: '..' }, problem: /names "\.\.", which is not a file in the page's own folder/ },
      { dir: 'hidden', change: { file: '.hidden.bin' }, problem: /names "\.hidden\.bin", which is not a file/ },
      { dir: 'missing', change: { file: 'gone.bin' }, problem: /gone\.bin named by the page is missing/ },
      { dir: 'crc', change: { crc: '0x0000' }, problem: /has CRC 0x[0-9a-f]{4}, the page says 0x0000/ },
      { dir: 'size', change: { size: 3999 }, problem: /has 4000 bytes, the page says 3999/ },
    ];
    const served = await serve(site);
    try {
      for (const v of variants) {
        if (v.publish) publish(v.dir, v.publish);
        if (v.change) {
          execFileSync('cp', ['-r', join(site, 'good'), join(site, v.dir)]);
          writeFileSync(join(site, v.dir, 'firmware.json'),
            JSON.stringify({ ...manifest, ...v.change }));
        }
        const page = await browser.context.newPage();
        await page.goto(`${served.url}${v.dir}/`);
        await page.waitForSelector('body[data-ready]');
        if (v.firmware) assert.match(await text(page, '#firmware'), v.firmware);
        if (v.problem) assert.match(await text(page, '#problem'), v.problem, v.dir);
        assert.equal(await page.isDisabled('#update'), true);
        await page.close();
      }
    } finally {
      await served.close();
    }
  });
