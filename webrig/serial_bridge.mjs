// The rig's side of the injected navigator.serial: each port is a quarv-sim pseudo-terminal
// (its --link path), opened exclusively as a real port is, its bytes carried both ways. A port
// named loopback:NAME is an adapter looped back, with no device: what is written is read back.
// bridge.pieces holds, by port, the size of the chunks the port's readable hands the page, as
// USB adapters hand replies over in pieces.
import { openSync, writeSync, constants } from 'node:fs';
import tty from 'node:tty';

function openPty(port) {
  if (port.link.startsWith('loopback:')) return;
  const fd = openSync(port.link, constants.O_RDWR | constants.O_NOCTTY | constants.O_NONBLOCK);
  const stream = new tty.ReadStream(fd);
  port.fd = fd;
  port.stream = stream;
  stream.on('data', (chunk) => { port.rx.push(...chunk); port.wake(); });
  const lost = () => { if (port.open) port.lost = true; port.wake(); };
  stream.on('error', lost);
  stream.on('end', lost);
}

function closePty(port) {
  port.open = false;
  port.stream?.destroy();
  port.stream = null;
  port.wake();
}

// The pseudo-terminal's queue is small: a write that finds it full waits its turn.
async function writeAll(port, bytes) {
  if (!port.fd) {
    port.rx.push(...bytes);
    port.wake();
    return true;
  }
  let at = 0;
  while (at < bytes.length) {
    try {
      at += writeSync(port.fd, bytes, at);
    } catch (error) {
      if (error.code !== 'EAGAIN') return false;
      await new Promise((done) => setTimeout(done, 1));
    }
  }
  return true;
}

export function serialBridge() {
  const ports = new Map();
  // times: the bench's, an array to note each read answered with bytes and each write taken.
  const bridge = { offer: null, ports, pieces: new Map(), times: null };
  const portOf = (link) => {
    if (!ports.has(link)) {
      const port = { link, rx: [], open: false, lost: false, options: null, signals: [],
        waiters: [] };
      port.wake = () => port.waiters.splice(0).forEach((wake) => wake());
      ports.set(link, port);
    }
    return ports.get(link);
  };
  const ops = {
    request: () => bridge.offer,
    open: (link, options, page) => {
      const port = portOf(link);
      if (port.open) return { ok: false };
      try {
        Object.assign(port, { rx: [], lost: false, options, signals: [], page });
        openPty(port);
        port.open = true;
        return { ok: true };
      } catch {
        return { ok: false };
      }
    },
    read: async (link) => {
      const port = portOf(link);
      while (port.open && !port.lost && port.rx.length === 0)
        await new Promise((wake) => port.waiters.push(wake));
      if (port.rx.length) {
        bridge.times?.push(['read', performance.now()]);
        return { bytes: port.rx.splice(0), piece: bridge.pieces.get(link) };
      }
      return port.lost ? { lost: true } : { closed: true };
    },
    write: async (link, bytes) => {
      bridge.times?.push(['write', performance.now()]);
      const port = portOf(link);
      if (!port.open || port.lost) return { lost: true };
      return (await writeAll(port, Buffer.from(bytes))) ? {} : { lost: true };
    },
    signals: (link, signals) => { portOf(link).signals.push(signals); },
    purge: (link) => { portOf(link).rx = []; },
    close: (link) => closePty(portOf(link)),
    ping: () => ({}), // the bench's measure of the rig's own round trip
  };
  bridge.ops = ops;
  bridge.handle = (source, op, link, arg) => ops[op](link, arg, source.page);
  // A closed tab closes its ports, as the browser closes a real one.
  bridge.pageClosed = (page) => ports.forEach((port) => { if (port.page === page) closePty(port); });
  // Pulls the plug: the page sees the device lost, whatever it was doing.
  bridge.pull = (link) => {
    const port = portOf(link);
    port.lost = true;
    port.wake();
  };
  bridge.closeAll = () => ports.forEach(closePty);
  return bridge;
}
