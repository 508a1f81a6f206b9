// What the page's browser tests share: Debian's chromium with the rig's serial port, the page
// served with the rig's bridge, quarv-sim devices on pseudo-terminals, and an update's steps.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before } from 'node:test';
import { launchBrowser } from '../../webrig/browser.mjs';
import { serve } from '../../webrig/serve.mjs';

export const work = mkdtempSync(join(tmpdir(), 'quarv-web-test-'));
export const rig = { browser: null, server: null };
const sims = [];

// Called once by each test file: its browser and server for all its tests.
export function useRig() {
  before(async () => {
    rig.browser = await launchBrowser();
    rig.server = await serve(process.env.QUARV_WEB_PAGE, 0, rig.browser.bridge);
  });
  after(async () => {
    for (const sim of sims) sim.process.kill('SIGKILL');
    await rig.browser.close();
    await rig.server.close();
    rmSync(work, { recursive: true, force: true });
  });
}

export async function startSim(name, ...options) {
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
export function image(length, seed) {
  const bytes = new Uint8Array(Math.ceil(length / 1024) * 1024);
  for (let i = 0; i < length; i++) bytes[i] = (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24;
  const file = join(work, `fw-${length}-${seed}.bin`);
  writeFileSync(file, bytes.subarray(0, length));
  return { file, padded: bytes };
}

export async function openPage(query = '') {
  const page = await rig.browser.context.newPage();
  await page.goto(rig.server.url + query);
  await page.waitForSelector('body[data-ready]');
  return page;
}

export const text = (page, id) => page.textContent(id);

// Picks a file and waits for the page's verdict on it, which names it either way.
export async function pick(page, file) {
  const name = typeof file === 'string' ? file.split('/').pop() : file.name;
  await page.setInputFiles('#file', file);
  await page.waitForFunction((n) => ['#firmware', '#problem'].some((id) =>
    document.querySelector(id).textContent.includes(n)), name);
}

export async function connect(page, link) {
  rig.browser.bridge.offer = link;
  await page.click('#connect');
  await page.waitForFunction(() => !document.querySelector('#device').textContent
    .startsWith('No device') || !document.querySelector('#problem').hidden);
}

export async function updateTo(page, verdict) {
  await page.click('#update');
  await page.waitForSelector('#result:not([hidden])', { timeout: 30000 });
  assert.equal(await text(page, '#verdict'), verdict, await text(page, '#advice'));
}

// Update pressed, and the first block on its way.
export async function startWriting(page) {
  await page.click('#update');
  await page.waitForFunction(() => document.querySelector('#state').textContent === 'Writing');
}
