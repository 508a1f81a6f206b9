// The rig's side of the injected navigator.serial: each port is a quarv-sim pseudo-terminal
// (its --link path), opened exclusively as a real port is, its bytes carried both ways. A port
// named loopback:NAME is an adapter looped back, with no device: what is written is read back.
// A page reads by listening: each byte is pushed to it as it comes, and bridge.pieces holds, by
// port, the size of the pieces it goes in, each a message of its own, as USB adapters hand
// replies over.
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
  port.listener = null;
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
  // times: the bench's, an array to note each time bytes go to the page (read) and each write.
  const bridge = { offer: null, ports, pieces: new Map(), times: null };
  const portOf = (link) => {
    if (!ports.has(link)) {
      const port = { link, rx: [], open: false, lost: false, options: null, signals: [],
        listener: null };
      port.wake = () => { if (port.listener) pushTo(port); };
      ports.set(link, port);
    }
    return ports.get(link);
  };
  // What a listening page has not had yet: the bytes, then the loss of the port, once.
  const pushTo = (port) => {
    const bytes = Buffer.from(port.rx.splice(0));
    const piece = bridge.pieces.get(port.link) || bytes.length;
    for (let at = 0; at < bytes.length; at += piece) {
      bridge.times?.push(['read', performance.now()]);
      port.listener({ bytes: bytes.subarray(at, at + piece) });
    }
    if (port.lost) {
      port.listener({ lost: true });
      port.listener = null;
    }
  };
  const ops = {
    request: () => bridge.offer,
    open: (link, options, source) => {
      const port = portOf(link);
      if (port.open) return { ok: false };
      try {
        Object.assign(port, { rx: [], lost: false, options, signals: [], page: source.page,
          listener: null });
        openPty(port);
        port.open = true;
        return { ok: true };
      } catch {
        return { ok: false };
      }
    },
    listen: (link, _arg, source) => {
      const port = portOf(link);
      if (!port.open && !port.lost) return { closed: true };
      port.listener = (got) => source.push(link, got);
      pushTo(port);
      return {};
    },
    write: async (link, bytes) => {
      bridge.times?.push(['write', performance.now()]);
      const port = portOf(link);
      if (!port.open || port.lost) return { lost: true };
      return (await writeAll(port, Buffer.from(bytes))) ? {} : { lost: true };
    },
    signals: (link, signals) => { portOf(link).signals.push(signals); },
    purge: (link) => {
      portOf(link).rx = [];
      portOf(link).listener = null;
    },
    close: (link) => closePty(portOf(link)),
    ping: () => ({}), // the bench's measure of the rig's own round trip
  };
  bridge.ops = ops;
  // source: { page, push(link, got) }
  bridge.handle = (source, op, link, arg) => ops[op](link, arg, source);
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
