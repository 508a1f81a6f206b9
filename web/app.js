// The page: firmware, device, update, result, trace and log, wired to the engine's module.
import { loadEngine, compileModule, crcText } from './engine.js';
import { loadCarried, loadPicked, MANIFEST } from './firmware.js';
import { startClock } from './clock.js';
import { newLog, logEvent, logTrace, logImage, logText } from './log.js';
import { serialProblem, openLine, closeLine, lineLost } from './serial.js';
import { runUpdate, cancelUpdate, lineHost, lineNotes, stateWords, PHASES } from './update.js';
import { drawNow, showText, showNote, showProgress, showTrace, clearTrace } from './view.js';

const $ = (id) => document.getElementById(id);
const page = { engine: null, image: null, line: null, simulated: false, run: null,
  log: newLog(), phase: '', audio: null };

const PROBLEMS = {
  missing: 'This browser cannot reach serial ports (it has no Web Serial). Open this page in ' +
    'Chrome, Edge or Opera (version 89 or later), Chrome on Android, or Firefox 151 or later. ' +
    'The simulated device works here all the same.',
  insecure: 'Browsers offer serial ports only to secure pages. Open this page over https:// ' +
    'or from http://localhost. The simulated device works here all the same.',
};

function showProblem(text) {
  $('problem').textContent = text;
  $('problem').hidden = !text;
}

function refresh() {
  const running = page.run !== null;
  const haveDevice = page.line !== null || page.simulated;
  $('update').disabled = running || !page.image || !haveDevice || !page.engine;
  $('cancel').disabled = !running;
  $('connect').disabled = running || serialProblem() !== '';
  $('simulate').disabled = running || !page.engine;
  $('file').disabled = running;
  $('log').disabled = page.log.lines.length === 0;
}

function showImage(image) {
  page.image = image;
  const version = image.version ? `, version ${image.version}` : '';
  $('firmware').textContent = `${image.name} (${image.source}${version}): ${image.format}, ` +
    `${image.range}, ${image.length} bytes (${image.size} padded), CRC ${image.crcText}`;
  logImage(page.log, image);
  refresh();
}

async function pickFile(file) {
  if (!file || page.run) return;
  try {
    showImage(await loadPicked(page.engine, file));
    showProblem('');
  } catch (error) {
    showProblem(error.message);
  }
}

function portName(port) {
  const info = port.getInfo ? port.getInfo() : {};
  const hex = (v) => v.toString(16).padStart(4, '0');
  return info.usbVendorId !== undefined
    ? `USB serial ${hex(info.usbVendorId)}:${hex(info.usbProductId)}` : 'serial port';
}

async function dropLine() {
  const line = page.line;
  page.line = null;
  if (line) await closeLine(line);
}

async function connect() {
  showProblem('');
  let port;
  try {
    port = await navigator.serial.requestPort();
  } catch (error) {
    if (error.name === 'NotFoundError')
      return showProblem('No port was chosen. Plug the adapter in, press Connect and pick its port.');
    return showProblem(`The port list could not be shown (${error.message}).`);
  }
  await dropLine();
  try {
    page.line = await openLine(port);
  } catch (error) {
    const busy = error.name === 'NetworkError' || error.name === 'InvalidStateError';
    showProblem(busy
      ? 'The port is in use by another program or browser tab. Close it there, then press Connect again.'
      : `The port could not be opened (${error.name}: ${error.message}).`);
    return refresh();
  }
  page.line.name = portName(port);
  page.simulated = false;
  $('device').textContent = `Connected: ${page.line.name}, 115200 baud 8E1.`;
  refresh();
}

function simulate() {
  page.simulated = true;
  dropLine();
  $('device').textContent = 'Simulated device (no hardware), paced as a real line.';
  refresh();
}

function beep() {
  // The updater's completion beep: 2,000 Hz for 100 ms.
  const audio = page.audio;
  if (!audio) return;
  const tone = audio.createOscillator();
  tone.frequency.value = 2000;
  tone.connect(audio.destination);
  tone.start();
  tone.stop(audio.currentTime + 0.1);
}

function showNumbers(state, offset, started) {
  const size = page.image.size;
  showProgress('progress', offset / size);
  if (!started.writing) return;
  if (state !== 3) started.wrote ??= performance.now(); // the blocks are all written
  const seconds = ((started.wrote || performance.now()) - started.writing) / 1000;
  const rate = seconds > 0 ? offset / seconds : 0;
  const left = rate > 0 ? Math.ceil((size - offset) / rate) : 0;
  showText('numbers', `${offset} of ${size} bytes, ${Math.round(rate)} bytes/s, ${left} s left`);
}

const ADVICE = {
  OK: (r) => `The device reports CRC ${crcText(r.deviceCrc)}, the image's. It has been reset.`,
  FAILED: (r) => `The device reports CRC ${crcText(r.deviceCrc)}, not the image's ` +
    `${crcText(page.image.crc)}: its flash is not as written. Update again; if it fails again, ` +
    'the device needs service.',
  'PORT LOST': () => 'Device lost: the adapter was unplugged or the port went away. ' +
    'Plug it back in, press Connect and update again.',
  INTERRUPTED: () => 'Cancelled. The device may hold a partial image: update it again before use.',
};

// The line's notes, each logged when it first shows in an update.
function showLineNotes(shown) {
  const notes = page.simulated ? [] : lineNotes(page.engine);
  for (const note of notes) {
    if (shown.has(note.text)) continue;
    shown.add(note.text);
    logEvent(page.log, 'warning', note.text, note.fields);
  }
  showNote('line', notes.map((note) => note.text).join(' '));
}

function showResult(result) {
  drawNow();
  $('result').hidden = false;
  $('result').className = `result ${result.verdict === 'OK' ? 'ok' : 'bad'}`;
  $('verdict').textContent = result.verdict === 'OK' ? 'OK' :
    result.verdict === 'INTERRUPTED' ? 'CANCELLED' : result.verdict === 'PORT LOST' ? 'DEVICE LOST' :
      'FAILED';
  $('advice').textContent = ADVICE[result.verdict](result);
  $('state').textContent = stateWords(result.verdict === 'OK' ? 'Programming Completed OK' :
    result.verdict === 'FAILED' ? 'FAILED' : $('state').textContent);
}

function logResult(result, started) {
  const fields = { seconds: Number(((performance.now() - started.at) / 1000).toFixed(3)),
    image_size: page.image.size, image_crc: crcText(page.image.crc) };
  if (result.deviceCrc >= 0) fields.device_crc = crcText(result.deviceCrc);
  if (result.detail) fields.detail = result.detail;
  logEvent(page.log, 'result', result.verdict, fields);
}

// Trace and status to the page and the log, whichever channel carries the bytes.
function pageReport() {
  return {
    trace: (piece) => { showTrace(piece); logTrace(page.log, piece); },
    status: (text) => { showText('state', stateWords(text)); logEvent(page.log, 'status', text); },
  };
}

async function update() {
  page.audio ??= globalThis.AudioContext ? new AudioContext() : null;
  page.audio?.resume().catch(() => {});
  showProblem('');
  $('result').hidden = true;
  clearTrace();
  const started = { at: performance.now(), writing: 0 };
  const log = page.log;
  log.port = page.simulated ? 'simulated device' : page.line.name;
  page.run = { cancelled: false, line: page.line };
  refresh();
  page.engine.host = page.simulated ? pageReport() : lineHost(page.engine, page.line, pageReport());
  showText('state', stateWords('Contacting Device...'));
  logEvent(log, 'status', 'Contacting Device...');
  let phase = '';
  const noted = new Set();
  $('line').hidden = true; // the last update's, until this one's facts are in
  const result = await runUpdate(page.engine, { line: page.line, simulated: page.simulated,
    run: page.run }, (state, offset) => {
    if (PHASES[state] && PHASES[state] !== phase) {
      phase = PHASES[state];
      logEvent(log, 'phase', phase);
      if (phase === 'writing') started.writing = performance.now();
    }
    showNumbers(state, offset, started);
    showLineNotes(noted);
  });
  logEvent(log, 'phase', result.verdict);
  logResult(result, started);
  showResult(result);
  if (result.verdict === 'OK') beep();
  if (result.verdict === 'PORT LOST') await dropLine();
  if (!page.line && !page.simulated) $('device').textContent = 'No device chosen.';
  page.run = null;
  log.port = null;
  refresh();
}

function download() {
  const blob = new Blob([logText(page.log)], { type: 'application/jsonl' });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = 'quarv-web-log.jsonl';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

function wire() {
  $('connect').onclick = connect;
  $('simulate').onclick = simulate;
  $('update').onclick = update;
  $('cancel').onclick = () => page.run && cancelUpdate(page.run);
  $('log').onclick = download;
  $('file').onchange = (event) => pickFile(event.target.files[0]);
  const drop = $('drop');
  drop.ondragover = (event) => { event.preventDefault(); drop.classList.add('over'); };
  drop.ondragleave = () => drop.classList.remove('over');
  drop.ondrop = (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    pickFile(event.dataTransfer.files[0]);
  };
  if (navigator.serial) {
    navigator.serial.addEventListener('disconnect', (event) => {
      if (!page.line || event.target !== page.line.port) return;
      lineLost(page.line, new DOMException('The device has been lost.', 'NetworkError'));
      if (page.run) return; // the update ends itself and says so
      dropLine();
      $('device').textContent = 'Device lost: plug it back in and press Connect.';
      refresh();
    });
  }
}

// Both requested at once, before anything else runs, the module compiling as it arrives: the
// page is ready when both are in.
const moduleAsked = fetch('quarv-web.wasm')
  .then((response) => (response.ok ? compileModule(response) : response));
const manifestAsked = fetch(MANIFEST, { cache: 'no-store' });

async function start() {
  wire();
  const problem = serialProblem();
  if (problem) showProblem(PROBLEMS[problem]);
  refresh();
  const module = await moduleAsked;
  if (module instanceof Response)
    return showProblem(`The page is incomplete: quarv-web.wasm (${module.status}).`);
  page.engine = await loadEngine(module, pageReport());
  try {
    const carried = await loadCarried(page.engine, manifestAsked);
    if (carried) showImage(carried);
    else $('firmware').textContent = 'No firmware is published with this page: choose a file.';
  } catch (error) {
    $('firmware').textContent = 'No firmware loaded.';
    showProblem(error.message);
  }
  refresh();
  document.body.dataset.ready = String(Math.round(performance.now()));
  startClock();
}

start();
