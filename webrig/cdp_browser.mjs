// Debian's chromium driven over its DevTools pipe alone, with the browser's own defaults: the
// automation library keeps every page it drives active and visible, and turns off the throttling
// of timers in hidden tabs, so a page behind another tab can only be seen through this, and its
// instruments cost the page several per cent. The rig's serial port is the same as under the
// library: fake_serial.js, over the WebSocket of serve() given a bridge.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { OMNIBOX_OFF, serialScript } from './browser.mjs';

const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--remote-debugging-pipe', OMNIBOX_OFF];

export async function launchPlainBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'quarv-chromium-'));
  const child = spawn(process.env.QUARV_CHROMIUM || '/usr/bin/chromium',
    [...FLAGS, `--user-data-dir=${profile}`, 'about:blank'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
  const exited = new Promise((done) => child.on('exit', done));
  const waiting = new Map();
  let next = 0;
  let pending = '';
  const send = (method, params = {}, sessionId = undefined) => new Promise((done, fail) => {
    waiting.set(++next, (reply) => (reply.error ? fail(new Error(`${method}: ${reply.error.message}`))
      : done(reply.result)));
    child.stdio[3].write(JSON.stringify({ id: next, method, params, sessionId }) + '\0');
  });
  child.stdio[4].on('data', (data) => {
    pending += data;
    for (let end; (end = pending.indexOf('\0')) >= 0;) {
      const message = JSON.parse(pending.slice(0, end));
      pending = pending.slice(end + 1);
      if (message.id) {
        waiting.get(message.id)?.(message);
        waiting.delete(message.id);
      }
    }
  });

  // A tab in the browser's one window, the serial port injected before the page's scripts run;
  // serial: false gives the page alone, as a user's browser loads it, for timing its start.
  async function open(url, { serial = true } = {}) {
    const { targetId } = await send('Target.createTarget', { url: 'about:blank', newWindow: false });
    const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
    await send('Runtime.enable', {}, sessionId);
    await send('Page.enable', {}, sessionId);
    if (serial)
      await send('Page.addScriptToEvaluateOnNewDocument', { source: serialScript() }, sessionId);
    await send('Page.navigate', { url }, sessionId);
    const page = {
      evaluate: async (expression) => (await send('Runtime.evaluate', { expression,
        awaitPromise: true, returnByValue: true }, sessionId)).result.value,
      // Waits, without touching the page's own timers, until expression is true.
      waitFor: async (expression, timeoutMs = 120000) => {
        const until = Date.now() + timeoutMs;
        while (!(await page.evaluate(expression))) {
          if (Date.now() > until) throw new Error(`timed out waiting for ${expression}`);
          await new Promise((done) => setTimeout(done, 50));
        }
      },
      // The same, asked once and answered by the page when its document changes, so nothing of
      // the rig's knocks on the page while it works.
      until: async (expression, timeoutMs = 120000) => {
        let timer;
        const late = new Promise((_, fail) => {
          timer = setTimeout(() => fail(new Error(`timed out waiting for ${expression}`)), timeoutMs);
        });
        const seen = page.evaluate(`new Promise((done) => {
          const check = () => { if (${expression}) { watch.disconnect(); done(true); } };
          const watch = new MutationObserver(check);
          watch.observe(document, { subtree: true, childList: true, attributes: true,
            characterData: true });
          check(); })`);
        try {
          return await Promise.race([seen, late]);
        } finally {
          clearTimeout(timer);
        }
      },
      text: (id) => page.evaluate(`document.querySelector('${id}').textContent`),
      press: (id) => page.evaluate(`document.querySelector('${id}').click()`),
      // Ready for Update: the page started, file picked and, given a link, the rig's port there
      // connected through bridge; the simulated device chosen without one.
      setUp: async (file, { bridge, link } = {}) => {
        await page.waitFor('document.body?.dataset.ready !== undefined');
        await page.pick(file);
        await page.until("/CRC/.test(document.querySelector('#firmware').textContent)");
        if (!link) return page.press('#simulate');
        bridge.offer = link;
        await page.press('#connect');
        await page.until("/Connected/.test(document.querySelector('#device').textContent)");
      },
      pick: async (file) => {
        const { root } = await send('DOM.getDocument', {}, sessionId);
        const { nodeId } = await send('DOM.querySelector', { nodeId: root.nodeId, selector: '#file' },
          sessionId);
        await send('DOM.setFileInputFiles', { files: [resolve(file)], nodeId }, sessionId);
      },
      // Another tab in front of this one, as a user switching tabs: this one is hidden.
      hide: async () => {
        page.cover = (await send('Target.createTarget', { url: 'about:blank', newWindow: false }))
          .targetId;
      },
      // This tab in front again, as a user coming back to it.
      show: async () => {
        if (page.cover) await send('Target.closeTarget', { targetId: page.cover });
        page.cover = null;
        await send('Target.activateTarget', { targetId });
      },
      close: async () => {
        if (page.cover) await send('Target.closeTarget', { targetId: page.cover });
        await send('Target.closeTarget', { targetId });
      },
    };
    return page;
  }

  return { open,
    close: async () => {
      await send('Browser.close').catch(() => {});
      await exited;
      rmSync(profile, { recursive: true, force: true, maxRetries: 5 });
    } };
}
