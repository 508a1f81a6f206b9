// Debian's chromium, headless, through playwright-core: no browser of its own downloaded.
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { serialBridge } from './serial_bridge.mjs';
import { SERIAL_PATH } from './serve.mjs';

const HERE = dirname(fileURLToPath(import.meta.url));
export const FAKE_SERIAL = readFileSync(join(HERE, 'fake_serial.js'), 'utf8');
// Without the networking flags the browser keeps calling addresses this machine cannot reach.
// Each page of a headless browser is a window of its own, and each window loaded the address
// bar's popup (a page of the browser's own) beside the page, on the same two cores.
export const OMNIBOX_OFF = '--disable-features=WebUIOmniboxPopup,WebUIOmniboxFullPopup,WebUIOmniboxAimPopup';
const FLAGS = ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', OMNIBOX_OFF];

// The init script of the rig's serial port, whose bytes cross the WebSocket of serve() given the
// bridge.
export const serialScript = () =>
  `globalThis.quarvSerialSocket = ${JSON.stringify(SERIAL_PATH)};\n${FAKE_SERIAL}`;

// The page's server is to carry the bridge's port: serve(dir, 0, browser.bridge).
export async function launchBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'quarv-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.QUARV_CHROMIUM || '/usr/bin/chromium', headless: true,
    chromiumSandbox: false, args: FLAGS, viewport: { width: 900, height: 1000 } });
  const bridge = serialBridge();
  await context.addInitScript(serialScript());
  return { context, bridge,
    close: async () => {
      bridge.closeAll();
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    } };
}
