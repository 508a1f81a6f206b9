// The serial line through Web Serial, shaped as the engine's byte channel: reads that end as
// the updater's do (100 ms in all, 20 ms after the last byte), or as soon as a reply is whole.
// A read's 100 ms count from when the bytes written before it have crossed the line, as they do
// behind a write that returns once the port has sent them: the browser's write returns at once,
// and a block takes 99 ms to cross, so its reply would come just after each first read ended.
import { after } from './clock.js';

export const LINE = { baudRate: 115200, dataBits: 8, parity: 'even', stopBits: 1,
  flowControl: 'none', bufferSize: 4096 };
const READ_TOTAL_MS = 100;
const READ_INTERVAL_MS = 20;
const BYTE_MS = (1 + LINE.dataBits + 1 + LINE.stopBits) * 1000 / LINE.baudRate; // 8E1: 11 bits
// Errors after which the standard hands out a fresh readable: the port itself is still there.
const PASSING = ['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'];

// Why the page cannot use serial ports here, or '' when it can.
export function serialProblem() {
  if (!globalThis.isSecureContext) return 'insecure';
  if (!('serial' in navigator)) return 'missing';
  return '';
}

export async function openLine(port) {
  await port.open(LINE);
  const line = { port, rx: [], lost: null, closed: false, wakers: new Set(), sentBy: 0,
    writer: port.writable.getWriter(), reader: null, pumping: null };
  // The updater keeps DTR and RTS inactive; an adapter may wire them to the device's reset.
  await port.setSignals({ dataTerminalReady: false, requestToSend: false }).catch(() => {});
  line.pumping = pump(line);
  return line;
}

function wakeAll(line) {
  for (const wake of [...line.wakers]) wake();
}

export function lineLost(line, error) {
  if (!line.lost && !line.closed) line.lost = error || new DOMException('lost', 'NetworkError');
  wakeAll(line);
}

async function pump(line) {
  while (!line.closed && line.port.readable) {
    line.reader = line.port.readable.getReader();
    try {
      for (;;) {
        const { value, done } = await line.reader.read();
        if (done) break;
        for (const byte of value) line.rx.push(byte);
        wakeAll(line);
      }
    } catch (error) {
      if (!PASSING.includes(error.name)) return lineLost(line, error);
    } finally {
      line.reader.releaseLock();
      line.reader = null;
    }
  }
  if (!line.closed) lineLost(line, null);
}

export function lineWrite(line, bytes) {
  if (line.lost || line.closed) return 0;
  line.sentBy = Math.max(performance.now(), line.sentBy) + bytes.length * BYTE_MS;
  line.writer.write(bytes).catch((error) => lineLost(line, error));
  return bytes.length;
}

export function linePurge(line) {
  line.rx.length = 0;
}

// Resolves with at most count bytes; isReply ends it early once the bytes so far are a reply.
export function lineRead(line, count, isReply) {
  return new Promise((done) => {
    const now = performance.now();
    const started = Math.max(now, line.sentBy || 0);
    let lastByte = line.rx.length ? now : 0;
    let seen = line.rx.length;
    let cancelTimer = () => {};
    const finish = (taken = count) => {
      cancelTimer();
      line.wakers.delete(check);
      done(Uint8Array.from(line.rx.splice(0, Math.min(taken, count))));
    };
    const deadline = () =>
      Math.min(started + READ_TOTAL_MS, lastByte ? lastByte + READ_INTERVAL_MS : Infinity);
    function check() {
      const now = performance.now();
      if (line.rx.length > seen) {
        // Bytes that came after the read should have ended, its timer late behind a busy page,
        // are the next read's: taken here, a reply in pieces would be split between two reads.
        if (now >= deadline()) return finish(seen);
        seen = line.rx.length;
        lastByte = now;
      }
      const have = Math.min(line.rx.length, count);
      if (line.lost || line.closed || line.cancelled || have === count ||
          (have && isReply(Uint8Array.from(line.rx.slice(0, have))))) return finish();
      const end = deadline();
      if (now >= end) return finish();
      cancelTimer();
      cancelTimer = after(end - now, check);
    }
    line.wakers.add(check);
    check();
  });
}

// A sleep that a cancel or a lost port cuts short.
export function lineSleep(line, ms) {
  return new Promise((done) => {
    let cancelTimer = () => {};
    const stop = () => {
      cancelTimer();
      line.wakers.delete(poke);
      done();
    };
    const poke = () => { if (line.lost || line.closed || line.cancelled) stop(); };
    cancelTimer = after(ms, stop);
    line.wakers.add(poke);
  });
}

export function lineCancel(line, cancelled) {
  line.cancelled = cancelled;
  wakeAll(line);
}

// Closes the port whatever state it is in, so that Connect can open it again.
export async function closeLine(line) {
  line.closed = true;
  wakeAll(line);
  await line.reader?.cancel().catch(() => {});
  await line.pumping?.catch(() => {});
  await line.writer.close().catch(() => {});
  line.writer.releaseLock();
  await line.port.close().catch(() => {});
}
