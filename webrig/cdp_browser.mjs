// Debian's chromium driven over its DevTools pipe alone, with the browser's own defaults: the
// automation library keeps every page it drives active and visible, and turns off the throttling
// of timers in hidden tabs, so a page behind another tab can only be seen through this. The
// rig's serial port is the same as under the library: fake_serial.js, carried by a binding.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { OMNIBOX_OFF, serialScript } from './browser.mjs';
import { serialBridge } from './serial_bridge.mjs';

// The binding takes one string and returns nothing: each call carries a number, and the answer
// comes back through quarvSerialReply.
const BINDING_SHIM = `(() => {
  const raw = globalThis.quarvSerialRaw;
  const waiting = new Map();
  let next = 0;
  globalThis.quarvSerialReply = (id, value) => { waiting.get(id)(value); waiting.delete(id); };
  globalThis.quarvSerial = (...args) => new Promise((done) => {
    waiting.set(++next, done);
    raw(JSON.stringify({ id: next, args }));
  });
})();`;
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--remote-debugging-pipe', OMNIBOX_OFF];

export async function launchPlainBrowser({ over = 'binding' } = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'quarv-chromium-'));
  const child = spawn(process.env.QUARV_CHROMIUM || '/usr/bin/chromium',
    [...FLAGS, `--user-data-dir=${profile}`, 'about:blank'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
  const exited = new Promise((done) => child.on('exit', done));
  const bridge = serialBridge();
  const waiting = new Map();
  let next = 0;
  let pending = '';
  const send = (method, params = {}, sessionId = undefined) => new Promise((done, fail) => {
    waiting.set(++next, (reply) => (reply.error ? fail(new Error(`${method}: ${reply.error.message}`))
      : done(reply.result)));
    child.stdio[3].write(JSON.stringify({ id: next, method, params, sessionId }) + '\0');
  });
  const answer = async ({ params, sessionId }) => {
    const { id, args } = JSON.parse(params.payload);
    const value = await bridge.handle({ page: sessionId }, ...args);
    await send('Runtime.evaluate', { expression: `quarvSerialReply(${id}, ${JSON.stringify(value ?? null)})`,
      contextId: params.executionContextId }, sessionId).catch(() => {});
  };
  child.stdio[4].on('data', (data) => {
    pending += data;
    for (let end; (end = pending.indexOf('\0')) >= 0;) {
      const message = JSON.parse(pending.slice(0, end));
      pending = pending.slice(end + 1);
      if (message.id) {
        waiting.get(message.id)?.(message);
        waiting.delete(message.id);
      } else if (message.method === 'Runtime.bindingCalled') answer(message);
    }
  });

  // A tab in the browser's one window, the serial port injected before the page's scripts run.
  async function open(url) {
    const { targetId } = await send('Target.createTarget', { url: 'about:blank', newWindow: false });
    const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
    await send('Runtime.enable', {}, sessionId);
    await send('Page.enable', {}, sessionId);
    await send('Runtime.addBinding', { name: 'quarvSerialRaw' }, sessionId);
    await send('Page.addScriptToEvaluateOnNewDocument', { source: BINDING_SHIM + serialScript(over) },
      sessionId);
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
      close: async () => {
        if (page.cover) await send('Target.closeTarget', { targetId: page.cover });
        bridge.pageClosed(sessionId);
        await send('Target.closeTarget', { targetId });
      },
    };
    return page;
  }

  return { bridge, open,
    close: async () => {
      bridge.closeAll();
      await send('Browser.close').catch(() => {});
      await exited;
      rmSync(profile, { recursive: true, force: true, maxRetries: 5 });
    } };
}
