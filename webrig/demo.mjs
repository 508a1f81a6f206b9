// make web-demo: the page against the simulated device in the module. With a display it serves
// the page until Ctrl-C; without one, headless Chromium runs one update, saves a screenshot and
// prints the result. Usage: node webrig/demo.mjs --page DIR --image FILE --screenshot PNG
import { parseArgs } from 'node:util';
import { launchBrowser } from './browser.mjs';
import { serve } from './serve.mjs';

const { values: args } = parseArgs({ options: { page: { type: 'string' },
  image: { type: 'string' }, screenshot: { type: 'string' } } });

if (process.env.DISPLAY) {
  const served = await serve(args.page, 8019).catch(() => serve(args.page));
  console.log(`The page is at ${served.url} (Chromium, Chrome or Edge; "Use a simulated ` +
    'device" needs no hardware). Ctrl-C ends.');
} else {
  const served = await serve(args.page);
  const browser = await launchBrowser();
  try {
    const page = await browser.context.newPage();
    await page.goto(served.url);
    await page.waitForSelector('body[data-ready]');
    await page.setInputFiles('#file', args.image);
    await page.waitForFunction(() => /CRC/.test(document.querySelector('#firmware').textContent));
    console.log(`firmware: ${await page.textContent('#firmware')}`);
    await page.click('#simulate');
    const started = Date.now();
    await page.click('#update');
    await page.waitForSelector('#result:not([hidden])', { timeout: 120000 });
    await page.click('#trace-box summary');
    await page.screenshot({ path: args.screenshot, fullPage: true });
    const verdict = await page.textContent('#verdict');
    console.log(`result: ${verdict} after ${((Date.now() - started) / 1000).toFixed(2)} s: ` +
      `${await page.textContent('#advice')}`);
    console.log(`screenshot: ${args.screenshot}`);
    process.exitCode = verdict === 'OK' ? 0 : 1;
  } finally {
    await browser.close();
    await served.close();
  }
}
