// The page in headless Chromium against quarv-sim on a pseudo-terminal, through the rig's
// injected navigator.serial. Usage: QUARV_WEB_PAGE=DIR QUARV_SIM=EXE node --test browser_test.mjs
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { serve } from '../../webrig/serve.mjs';
import { rig, work, useRig, startSim, image, openPage, text, pick, connect, updateTo } from './page_rig.mjs';

useRig();

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
  rig.browser.bridge.pieces.set(sim.link, 3);
  await connect(page, sim.link);
  rig.browser.bridge.times = [];
  await updateTo(page, 'OK');
  const pieces = rig.browser.bridge.times.filter(([kind]) => kind === 'read').length;
  rig.browser.bridge.times = null;
  assert.ok(pieces >= 4 * 7, `${pieces} pieces`); // a probe, 5 blocks and the CRC answered
  assert.doesNotMatch(await text(page, '#trace'), /TIMEOUT/);
  assert.equal(sim.requests().filter((r) => r.command === 'write').length, 5); // none resent
  assert.match(await text(page, '#advice'), /CRC 0x[0-9a-f]{4}, the image's/);
  assert.equal(await text(page, '#state'), 'Done');
  const port = rig.browser.bridge.ports.get(sim.link);
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
        const page = await rig.browser.context.newPage();
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
